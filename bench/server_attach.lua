-- Attaches as the library sends them, for wrk:
--
--   wrk -t2 -c64 -d10s --latency -s server_attach.lua http://127.0.0.1:PORT \
--       -- [client id] [devices per thread] [reattach|new]
--
-- Each request is POST /v2/access with the body of a phone: user, library, version, device
-- facts, vendor identifier, empty metadata. "reattach" (the default) cycles through a fixed set
-- of devices per thread, one user each, as apps coming back to the foreground do: the first pass
-- adds them, later passes attach them again. "new" makes every request a new user and device.
-- Prints one line "RESULT <requests/s> <p50 us> <p99 us> <max us> <requests> <errors>".

local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("id", counter)
end

local devices = 5000
local mode = "reattach"
local sent = 0

function init(args)
  local client_id = args[1] or "bench-attach"
  devices = tonumber(args[2] or "5000")
  mode = args[3] or "reattach"
  if mode ~= "reattach" and mode ~= "new" then
    error("mode must be reattach or new, not " .. mode)
  end
  wrk.method = "POST"
  wrk.path = "/v2/access"
  wrk.headers["Content-Type"] = "application/json"
  wrk.headers["Authorization"] = "Basic " .. client_id .. ":"
end

local body_format = '{"user":"u%d-%d","library":"swift","version":"3.0.2",' ..
  '"device_info":{"os":{"name":"iOS","version":"17.4"},' ..
  '"device":{"vendor":"Apple","model":"iPhone15,2","type":"mobile"}},' ..
  '"signals":{"iosVendorIdentifier":"%08X-0000-4000-8000-%012X"},"metadata":[]}'

function request()
  sent = sent + 1
  local k = sent
  if mode == "reattach" then k = sent % devices end
  return wrk.format(nil, nil, nil, string.format(body_format, id, k, id, k))
end

function done(summary, latency, requests)
  local errors = summary.errors
  local failed = errors.connect + errors.read + errors.write + errors.status + errors.timeout
  io.write(string.format("RESULT %.0f %d %d %d %d %d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50),
    latency:percentile(99), latency.max, summary.requests, failed))
end
