// SPDX-License-Identifier: Apache-2.0
#include "realtime/relay.hpp"

#include <iostream>
#include <vector>

#include "realtime/push.hpp"

namespace zelk::server {

Relay::Relay(Store& store, Service& service, Hub& hub, Metrics& metrics)
    : store_(store), service_(service), hub_(hub), metrics_(metrics) {}

Relay::~Relay() {
  stop();
}

void Relay::start() {
  {
    std::lock_guard lock(mutex_);
    if (started_ || !store_.shared()) return;
    started_ = true;
  }
  store_.listen([this](const StoreNotice& notice) { onNotice(notice); });
}

void Relay::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!started_ || stopped_) return;
    stopped_ = true;
  }
  store_.stopListening();
}

void Relay::onNotice(const StoreNotice& notice) {
  try {
    switch (notice.kind) {
      case StoreNotice::Kind::user:
        service_.userChanged(notice.user, notice.version);
        break;
      case StoreNotice::Kind::project:
        service_.projectChanged(notice.key);
        break;
      case StoreNotice::Kind::streams:
        service_.streamsChanged(notice.sender, notice.streams);
        break;
      case StoreNotice::Kind::messages: {
        std::vector<Delivery> carried;
        for (const StoreNotice::Message& message : notice.deliveries) {
          if (message.data) {
            carried.push_back({message.device, message.id, *message.data});
          } else {
            catchUp(message.device);
          }
        }
        if (pushMessages(hub_, metrics_, carried) > 0)
          metrics_.observeNotifyLag(Clock::now() - notice.sentAt);
        break;
      }
      case StoreNotice::Kind::resync:
        // Notices may have been missed meanwhile: everything held is read afresh, and so is
        // what every stream held here may lack.
        service_.resync();
        for (const auto& [device, streams] : hub_.openStreamsByDevice()) catchUp(device);
        break;
    }
  } catch (const StoreError& error) {
    // The store loses its listening connection with the database, and then says resync.
    std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
  }
}

void Relay::catchUp(const std::string& device) {
  const std::optional<std::uint64_t> known = hub_.knownUpTo(device);
  if (!known) return;  // no stream of it here
  const std::vector<KeptMessage> messages = store_.messagesAfter(device, *known);
  std::vector<Delivery> missed;
  for (const KeptMessage& message : messages) missed.push_back({device, message.id, message.data});
  if (messages.empty()) {
    // Detached on some instance: its streams hear the logout order (once: a stream that has it
    // skips it).
    if (const std::optional<DetachedDevice> detached = store_.readDetached(device))
      missed.push_back({device, detached->logoutId, logoutData()});
  }
  pushMessages(hub_, metrics_, missed);
}

}  // namespace zelk::server
