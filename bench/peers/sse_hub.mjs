// SPDX-License-Identifier: Apache-2.0
// The comparison server of the stream benchmark: a node:http event-stream hub with the routes
// server_streams uses (project, attach, listen, push to a device, challenge to a user's
// devices), a comment heartbeat every 25 s, everything in memory. Prints
// "sse-hub listening on <base URL>".
//
//   node sse_hub.mjs [port] [heartbeat seconds]

import { createServer } from 'node:http';
import {
  RequestError, Service, clientIdOf, newId, parseObject, readBody, sendJSON,
} from './service.mjs';

const service = new Service();
const streams = new Map(); // device ID → Set of responses
let nextEventId = 1;

function eventText(data, event) {
  let text = `id: ${nextEventId++}\n`;
  if (event) text += `event: ${event}\n`;
  for (const line of String(data).split('\n')) text += `data: ${line}\n`;
  return text + '\n';
}

function pushTo(deviceId, text) {
  const open = streams.get(deviceId);
  if (!open) return 0;
  for (const res of open) res.write(text);
  return open.size;
}

function listen(req, res, deviceId, query) {
  const clientId = clientIdOf(query.get('auth'));
  if (!clientId) throw new RequestError(401, 'missing or malformed auth parameter');
  const device = service.devices.get(deviceId);
  if (!device || device.clientId !== clientId) throw new RequestError(404, 'unknown device');
  if (!device.accesses.has(query.get('access') ?? '')) throw new RequestError(401, 'unknown access');
  res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache' });
  res.flushHeaders();
  let open = streams.get(deviceId);
  if (!open) {
    open = new Set();
    streams.set(deviceId, open);
  }
  open.add(res);
  res.on('close', () => {
    open.delete(res);
    if (open.size === 0 && streams.get(deviceId) === open) streams.delete(deviceId);
  });
}

async function handle(req, res) {
  const url = new URL(req.url, 'http://hub');
  const path = url.pathname;
  const listenPath = /^\/v2\/access\/device\/([^/]+)\/listen$/.exec(path);
  if (req.method === 'GET' && listenPath)
    return listen(req, res, decodeURIComponent(listenPath[1]), url.searchParams);
  if (req.method !== 'POST') throw new RequestError(404, 'not found');
  if (path === '/v2/access') {
    const clientId = clientIdOf(req.headers.authorization);
    if (!clientId) throw new RequestError(401, 'missing or malformed Authorization header');
    return sendJSON(res, 200, service.attach(clientId, parseObject(await readBody(req))));
  }
  const body = parseObject(await readBody(req));
  if (path === '/_sandbox/project' || path === '/admin/projects')
    return sendJSON(res, 200, service.configureProject(body));
  if (path === '/_sandbox/push') {
    if (typeof body.device !== 'string') throw new RequestError(400, 'device must be a string');
    const delivered = pushTo(body.device, eventText(body.data ?? '', body.event));
    return sendJSON(res, 200, { success: true, delivered });
  }
  if (path === '/_sandbox/challenge') {
    const devices = service.projects.get(body.client_id)?.users.get(body.user);
    if (!devices) throw new RequestError(404, 'unknown user');
    const id = newId();
    const text = eventText(JSON.stringify({ action: 'challenge', challenge: { _id: id } }));
    let delivered = 0;
    for (const device of devices.values()) delivered += pushTo(device.id, text);
    return sendJSON(res, 200, { success: true, challenge: id, delivered });
  }
  throw new RequestError(404, 'not found');
}

const server = createServer((req, res) => {
  handle(req, res).catch((error) => {
    const status = error instanceof RequestError ? error.status : 500;
    if (!res.headersSent) sendJSON(res, status, { success: false, error: error.message });
  });
});
server.keepAliveTimeout = 60_000;
server.requestTimeout = 0; // streams stay open; the heartbeat finds departed clients

const heartbeat = Number(process.argv[3] ?? 25) * 1000;
setInterval(() => {
  for (const open of streams.values()) for (const res of open) res.write(':\n\n');
}, heartbeat).unref();

server.listen(Number(process.argv[2] ?? 0), '127.0.0.1', 4096, () => {
  console.log(`sse-hub listening on http://127.0.0.1:${server.address().port}`);
});
process.on('SIGTERM', () => process.exit(0));
