// SPDX-License-Identifier: Apache-2.0
// zelk-server in sandbox mode, in-process, for integration tests and the demo.
//
// A Sandbox serves the /v2/ operations (attach, detach, identify, listen and the challenge calls)
// over HTTP or HTTPS from a background event loop, keeps every project's settings, users,
// devices, challenges and identities (in memory, or in a SQLite file), raises a challenge when an
// attach takes a user over a device limit, records each /v2/ request it receives, and can be told
// to answer the next request of an operation with a canned status and body. Listen requests stay
// open as server-sent event streams that receive whatever is pushed to their device. Admin
// endpoints under /_sandbox/ expose the same controls over HTTP.
//
// Every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hooks/hooks.hpp"
#include "realtime/events.hpp"
#include "storage/settings.hpp"

namespace zelk::server {
class App;
class Service;
}  // namespace zelk::server

namespace zelk::sandbox {

using zelk::server::Event;
using zelk::server::LimitPolicy;
using zelk::server::ProjectSettings;
using zelk::server::RecordedRequest;
using zelk::server::UserProfile;
using ServiceState = zelk::server::Service;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Both set: serve HTTPS with this PEM certificate (chain) and PEM private key.
  std::string tlsCertFile, tlsKeyFile;
  // "" (library default) or "1.0", "1.1", "1.2", "1.3": the highest TLS version offered. "1.0" and
  // "1.1" also lower the minimum version and the OpenSSL security level so they really work.
  std::string tlsMaxVersion;
  // A SQLite database to keep the records in; "" keeps them in memory, unless the environment
  // variable ZELK_SANDBOX_STORE is "sqlite": then a fresh database in a temporary folder is used,
  // and removed with the Sandbox (the tests run that way once more); when it is "postgres", a
  // fresh database on the PostgreSQL server ZELK_TEST_POSTGRES (an administrator's URL) names,
  // dropped with the Sandbox.
  std::string dataFile;
  // How long a client may take to send a request once started, and between heartbeats.
  std::chrono::milliseconds headerTimeout{10'000};
  std::chrono::milliseconds heartbeat{25'000};
};

class Sandbox {
 public:
  // Throws std::runtime_error when the data file cannot be opened.
  explicit Sandbox(Options options = {});
  ~Sandbox();  // stops and joins
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Binds and serves on a background thread; returns once the socket is listening. False (with a
  // reason in *error) when already running, the TLS setup fails or the port cannot be bound.
  // After stop(), start() may be called again: it binds the same port as before when
  // Options::port was 0, so base URLs handed out earlier stay valid. State survives restarts.
  bool start(std::string* error = nullptr);
  void stop();
  bool running() const;

  int port() const;             // the bound port; 0 before the first successful start()
  std::string baseURL() const;  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"

  // The requests to /v2/..., in arrival order, including rejected ones: the last 10,000
  // (kMaxRecordedRequests), older ones are dropped so that a long-running sandbox stays bounded.
  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  // Answer the next request of `operation` with this status and raw body (sent as
  // application/json) instead of the normal handling, authentication included. Operations:
  // "attach", "detach", "identify", "listen", "challenge" (GET /v2/challenge/<id>),
  // "challenge-devices" (GET .../<id>/devices), "device-limit" (GET .../<id>/device-limit),
  // "attempt", "verify" and "resend" (POST /v2/challenge/attempt, verify, resend). Several scripts
  // for one operation are used in the order given. Throws std::invalid_argument for an unknown
  // operation or a status outside 100..599.
  void script(std::string operation, int status, std::string body);

  // Listen streams. GET /v2/access/device/<device id>/listen?access=<access>&auth=Basic <client
  // id>: (percent-encoded) for a device attached in that project with an access token handed out
  // for it stays open as a text/event-stream response. Each stream receives everything pushed to
  // its device after it was opened; pieces queued on a stream are written in order, each as one
  // HTTP chunk. A stream whose client went away is forgotten as soon as its connection closes.
  //
  // Messages of the service (challenge notices, logout orders) carry an event id that increases
  // per device; a stream opened with a Last-Event-ID header first receives the kept messages
  // (the last 100, at most a day old) that came after that id. A fresh stream (without one)
  // first receives the newest open challenge of the device's user, see
  // setRepeatOpenChallenges().

  // Queues the event on every open stream of `device`; returns on how many streams. Throws
  // std::invalid_argument for an event without fields or comment, a type or id with a line
  // break, or a negative retry.
  int push(const std::string& device, const Event& event);
  // Queues exactly these bytes (not empty: std::invalid_argument) on every open stream of
  // `device`; returns on how many streams.
  int pushRaw(const std::string& device, std::string bytes);
  // Ends the open streams of `device` ("": of every device) once what was queued on them is
  // written: with the final empty chunk, or, with `abort`, by closing the connection without it.
  // Returns how many streams it ends; they no longer count as open.
  int endStreams(const std::string& device, bool abort = false);
  // The streams of `device` currently open (stalled ones included, ended ones not).
  int openStreams(const std::string& device) const;
  // Waits until at least `count` streams of `device` are open; false if the timeout passes first.
  // It blocks the calling thread and runs no one's event loop: a client whose stream opens from
  // its main loop must not be waited for this way on that loop's thread.
  bool waitForStreams(const std::string& device, int count,
                      std::chrono::milliseconds timeout) const;
  // Waits until no stream of `device` is open; false if the timeout passes first.
  bool waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const;

  // Scripted listen answers, queued with the script() answers of "listen" and, like them, used
  // before authentication. `device` "" matches the next listen of any device.
  void scriptListen(std::string device, int status, std::string body);
  // The next listen gets 200 and the stream headers, then nothing at all until the stream is
  // ended; pushes do not reach it.
  void stallListen(std::string device = "");
  // The next listen gets 200 and the stream headers, then `bytes` in HTTP chunks of `chunk` bytes
  // (>= 1), written `interval` apart; afterwards it is an ordinary open stream, and what was
  // pushed meanwhile follows. Throws std::invalid_argument for a zero chunk or negative interval.
  void dripListen(std::string device, std::string bytes, std::size_t chunk,
                  std::chrono::milliseconds interval = std::chrono::milliseconds(0));

  // Projects and users. A project or user not configured has the default settings and no e-mail
  // address or phone number. Throws std::invalid_argument for an empty client id or user, or a
  // negative limit. Settings apply from the next request on; devices already attached stay.
  void configureProject(const std::string& clientID, ProjectSettings settings);
  ProjectSettings projectSettings(const std::string& clientID) const;
  void configureUser(const std::string& clientID, const std::string& user, UserProfile profile);

  // Challenges. An attach that takes a user over a limit raises one by itself (see
  // ProjectSettings); raiseChallenge() raises one by hand and returns its id ("ch_<hex>"). Raising
  // a challenge sends {"action":"challenge","challenge":{"_id":"<id>"}} as the data of an event to
  // the open streams of every device of the user. A challenge stays open until a right code
  // verifies it, or, for one raised by an attach, until a detach brings the user back within the
  // limits.
  std::string raiseChallenge(const std::string& clientID, const std::string& user);
  // Whether every fresh stream of a device hears the newest open challenge of its user again
  // (true, the default). With false, a device without an open stream hears of a new challenge on
  // its next stream instead, once, and the device whose attach raised it on the first stream opened
  // with the access token that attach handed out.
  void setRepeatOpenChallenges(bool repeat);
  // The ids of the user's challenges, oldest first.
  std::vector<std::string> challenges(const std::string& clientID, const std::string& user) const;
  // The last code sent for the challenge (by attempt or resend); nullopt when none was sent or
  // the challenge is unknown.
  std::optional<std::string> lastCode(const std::string& challengeID) const;
  // Sends a new code of the challenge now, whatever the resend limits say, and returns it;
  // nullopt for an unknown challenge. For tests that walk the screens more than once: a code
  // verifies once.
  std::optional<std::string> sendCode(const std::string& challengeID);
  // Sends an event whose data is "logout" (with the double quotes) to the open streams of
  // `device`; returns on how many streams. Detach does the same for the device it removes.
  int pushLogout(const std::string& device);

  // The service behind the HTTP routes (thread-safe), for in-process inspection.
  ServiceState& state();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zelk::sandbox
