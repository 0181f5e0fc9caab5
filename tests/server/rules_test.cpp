// SPDX-License-Identifier: Apache-2.0
// The rules on their own: plain functions over one user's records, called here without any
// store, cache or server. What the service decides for an attach, a detach, a device gone quiet,
// a challenge and a code.
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/challenges.hpp"
#include "service/codes.hpp"
#include "service/devices.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::Activity;
using zelk::server::AttachInput;
using zelk::server::Clock;
using zelk::server::Device;
using zelk::server::LimitPolicy;
using zelk::server::ProjectSettings;
using zelk::server::RuleContext;
using zelk::server::UserEdit;
using zelk::server::UserRecord;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(24 * 365 * 56);

// One user's records and the world the rules see: the time, and which devices stream.
struct World {
  UserRecord user;
  ProjectSettings settings;
  Clock::time_point now = kStart;
  std::map<std::string, Activity> streams;
  bool signedUser = false;  // whether the app's backend vouched for the user's attaches
  std::size_t maxDevices = 0;

  World() { user.key = {"p", "u"}; }

  RuleContext context() const {
    return RuleContext{settings, now, kStart, [this](const Device& device) {
                         const auto found = streams.find(device.id);
                         return found == streams.end() ? Activity{} : found->second;
                       }};
  }

  zelk::server::AttachResult attach(const std::string& vendor, const char* type = "mobile") {
    UserEdit edit(user);
    AttachInput input;
    input.project = "p";
    input.user = "u";
    input.vendorId = vendor;
    input.deviceInfo = {{"device", {{"type", type}}}};
    input.signedUser = signedUser;
    input.maxDevices = maxDevices;
    return zelk::server::attachDevice(edit, std::move(input), context());
  }

  std::string idOf(const std::string& vendor) const {
    for (const Device& device : user.devices) {
      if (device.vendorId == vendor) return device.id;
    }
    return {};
  }
};

TEST(Rules, AnAttachOverALimitRaisesAChallengeEveryDeviceHears) {
  World world;
  world.settings.overallLimit = 2;
  world.settings.mobileLimit = 0;
  EXPECT_FALSE(world.attach("A").challenge);
  EXPECT_FALSE(world.attach("B").challenge);
  // The same device again takes no new slot.
  EXPECT_FALSE(world.attach("A").challenge);
  const auto third = world.attach("C");
  ASSERT_TRUE(third.challenge);
  EXPECT_EQ(third.attachedDevices, 3u);
  ASSERT_EQ(third.challenge->deliveries.size(), 3u);
  for (const auto& delivery : third.challenge->deliveries) {
    EXPECT_EQ(delivery.data, zelk::server::challengeNoticeData(third.challenge->id));
    EXPECT_EQ(delivery.id, 1u);  // each device's first message
  }
  EXPECT_EQ(world.user.challenges.at(0).reason, "overall");
}

TEST(Rules, APerTypeLimitCountsOnlyDevicesOfTheAttachedType) {
  World world;
  world.settings.overallLimit = 10;
  world.settings.tabletLimit = 1;
  world.attach("phone-1");
  world.attach("tablet-1", "tablet");
  EXPECT_FALSE(world.attach("phone-2").challenge);
  const auto second = world.attach("tablet-2", "tablet");
  ASSERT_TRUE(second.challenge);
  EXPECT_EQ(world.user.challenges.at(0).reason, "tablet");
}

TEST(Rules, BlockRefusesANewDeviceAtTheLimitAndChangesNothing) {
  World world;
  world.settings.overallLimit = 1;
  world.settings.limitPolicy = LimitPolicy::block;
  world.attach("A");
  UserEdit edit(world.user);
  AttachInput input;
  input.project = "p";
  input.user = "u";
  input.vendorId = "B";
  const auto refused = zelk::server::attachDevice(edit, input, world.context());
  EXPECT_TRUE(refused.blocked);
  EXPECT_TRUE(refused.blockOverUsage);
  EXPECT_FALSE(edit.changed());
  EXPECT_EQ(world.user.devices.size(), 1u);
  // A device already attached still comes back.
  EXPECT_FALSE(world.attach("A").blocked);
}

TEST(Rules, AUserAtTheServersCapGetsNoOtherDevice) {
  World world;
  world.settings.overallLimit = 10;
  world.maxDevices = 2;
  world.attach("A");
  world.attach("B");
  UserEdit edit(world.user);
  AttachInput input;
  input.user = "u";
  input.vendorId = "C";
  input.maxDevices = 2;
  const auto refused = zelk::server::attachDevice(edit, input, world.context());
  EXPECT_TRUE(refused.full);
  EXPECT_EQ(refused.attachedDevices, 2u);
  EXPECT_FALSE(edit.changed());
  EXPECT_FALSE(world.attach("A").full);
  // Devices gone quiet past their grace make room first.
  world.now += std::chrono::seconds(world.settings.livenessGraceSeconds) + 1s;
  EXPECT_FALSE(world.attach("C").full);
  EXPECT_EQ(world.user.devices.size(), 1u);
}

TEST(Rules, EvictionTakesTheLeastRecentlyActiveAndAStreamIsActiveNow) {
  World world;
  world.settings.overallLimit = 2;
  world.settings.limitPolicy = LimitPolicy::evictOldest;
  world.signedUser = true;
  world.attach("A");
  world.now += 1min;
  world.attach("B");
  world.now += 1min;
  // A attached first, but streams now: B is the least recently active.
  world.streams[world.idOf("A")] = {true, {}};
  const std::string b = world.idOf("B");
  const auto third = world.attach("C");
  ASSERT_EQ(third.evicted.size(), 1u);
  EXPECT_EQ(third.evicted[0].device, b);
  EXPECT_EQ(third.evicted[0].data, zelk::server::logoutData());
  EXPECT_FALSE(third.challenge);
  EXPECT_EQ(world.user.devices.size(), 2u);
  EXPECT_TRUE(world.idOf("B").empty());
}

TEST(Rules, AnUnsignedUserOfAnEvictingProjectIsChallengedAndEvictsNobody) {
  World world;
  world.settings.overallLimit = 1;
  world.settings.limitPolicy = LimitPolicy::evictOldest;
  world.attach("A");
  const auto second = world.attach("B");
  EXPECT_TRUE(second.evicted.empty());
  ASSERT_TRUE(second.challenge);
  EXPECT_EQ(world.user.devices.size(), 2u);
  EXPECT_FALSE(world.idOf("A").empty());
}

TEST(Rules, AUserIsSignedOnlyByTheHMACOfTheirIdUnderTheProjectsSecret) {
  using zelk::server::Signature;
  ProjectSettings settings;
  AttachInput input;
  input.user = "alice";
  // Worked out apart, as the documents show a backend doing it:
  //   printf '%s' alice | openssl dgst -sha256 -hmac 0123456789abcdef
  input.userSignature = "fdbf8b1cacd3d578e062d0e41104357d06aa63eca39f80b6fd7c83afedf1d44a";
  EXPECT_EQ(zelk::server::userSignature("0123456789abcdef", "alice"), *input.userSignature);
  // Without a secret, no signature counts, right or not.
  EXPECT_EQ(zelk::server::checkSignature(settings, input), Signature::none);
  settings.userSecret = "0123456789abcdef";
  EXPECT_EQ(zelk::server::checkSignature(settings, input), Signature::right);
  input.userSignature->back() = input.userSignature->back() == '0' ? '1' : '0';
  EXPECT_EQ(zelk::server::checkSignature(settings, input), Signature::wrong);
  // Another user's signature is not this one's.
  input.userSignature = zelk::server::userSignature("0123456789abcdef", "bob");
  EXPECT_EQ(zelk::server::checkSignature(settings, input), Signature::wrong);
  input.userSignature.reset();
  EXPECT_EQ(zelk::server::checkSignature(settings, input), Signature::none);
}

TEST(Rules, ADeviceCountsWhileItStreamsAndForItsGraceAfter) {
  World world;
  world.settings.livenessGraceSeconds = 60;
  world.attach("A");
  const Device& device = world.user.devices.at(0);
  const auto live = [&] { return zelk::server::isLive(device, world.context()); };
  world.now += 59s;
  EXPECT_TRUE(live());
  world.now += 2s;
  EXPECT_FALSE(live());
  world.streams[device.id] = {true, {}};
  EXPECT_TRUE(live());
  // Its stream ended 30 s ago: the grace counts from there.
  world.streams[device.id] = {false, world.now - 30s};
  EXPECT_TRUE(live());
  world.now += 31s;
  EXPECT_FALSE(live());
  // Expired devices hold no slot at the next attach, and their logout orders are told.
  const std::string quiet = device.id;
  const auto next = world.attach("B");
  ASSERT_EQ(next.expired.size(), 1u);
  EXPECT_EQ(next.expired[0].device, quiet);
  EXPECT_EQ(world.user.devices.size(), 1u);
}

TEST(Rules, BackWithinTheLimitsAnAttachsChallengeCloses) {
  World world;
  world.settings.overallLimit = 1;
  world.attach("A");
  world.attach("B");  // raises one
  {
    UserEdit edit(world.user);
    zelk::server::raiseChallenge(edit, "manual", world.context());
  }
  UserEdit edit(world.user);
  const auto detached = zelk::server::detachDevice(edit, world.idOf("B"), world.context());
  ASSERT_TRUE(detached.found);
  EXPECT_EQ(detached.attachedDevices, 1u);
  ASSERT_EQ(world.user.challenges.size(), 2u);
  EXPECT_TRUE(world.user.challenges[0].resolved);
  EXPECT_FALSE(world.user.challenges[1].resolved);  // by hand: stays
  const auto changes = edit.finish();
  ASSERT_EQ(changes.detached.size(), 1u);
  EXPECT_EQ(changes.detached[0].logoutId, detached.logout.id);
  EXPECT_EQ(changes.removedDevices, std::vector<std::string>{detached.deviceId});
  UserEdit again(world.user);
  EXPECT_FALSE(zelk::server::detachDevice(again, detached.deviceId, world.context()).found);
}

// A device keeps its last messages for a stream that resumes; only those are written, and one
// trim says which older ones go.
TEST(Rules, OnlyTheMessagesStillKeptAreWritten) {
  World world;
  world.attach("A");
  UserEdit edit(world.user);
  Device& device = world.user.devices.at(0);
  for (int i = 0; i < 150; ++i) edit.send(device, "m" + std::to_string(i), world.now);
  const auto changes = edit.finish();
  ASSERT_EQ(changes.messages.size(), zelk::server::kMaxKeptMessages);
  EXPECT_EQ(changes.messages.front().message.id, 51u);
  EXPECT_EQ(changes.messages.back().message.id, 150u);
  ASSERT_EQ(changes.trims.size(), 1u);
  EXPECT_EQ(changes.trims[0].throughId, 50u);
  ASSERT_EQ(changes.devices.size(), 1u);
  EXPECT_EQ(changes.devices[0].lastEventId, 150u);
}

TEST(Rules, SendsToADestinationAreCountedOverAnHourAndTheBookIsBounded) {
  zelk::server::DestinationSends sends(2);
  const auto at = [](int minutes) { return kStart + std::chrono::minutes(minutes); };
  EXPECT_FALSE(sends.take("email:a", 2, at(0)));
  EXPECT_FALSE(sends.take("email:a", 2, at(10)));
  // Full: the next may go an hour after the first of the two.
  EXPECT_EQ(sends.take("email:a", 2, at(20)), at(60));
  EXPECT_FALSE(sends.take("email:b", 2, at(20)));
  EXPECT_FALSE(sends.take("email:a", 2, at(60)));  // the first is an hour old
  EXPECT_EQ(sends.take("email:a", 2, at(61)), at(70));
  // A third destination is one too many for the book: the least recently counted, b, goes and
  // starts afresh; a stays full.
  EXPECT_FALSE(sends.take("text:c", 2, at(62)));
  EXPECT_EQ(sends.take("email:a", 2, at(63)), at(70));
  EXPECT_FALSE(sends.take("email:b", 2, at(64)));
  EXPECT_FALSE(sends.take("email:b", 2, at(65)));
}

TEST(Rules, ACodeIsSentWithinItsLimitsAndChecksCountAgainstIt) {
  World world;
  world.settings.overallLimit = 1;
  world.attach("A");
  world.attach("B");
  zelk::server::CodePolicy policy;
  const std::string key = "key";
  auto& challenge = world.user.challenges.at(0);
  zelk::server::CodeChannels channels;
  channels.email = channels.text = true;  // the server sends both
  const auto codes = [&] {
    return zelk::server::CodeContext{world.settings, policy, key, world.now, channels};
  };
  UserEdit edit(world.user);
  // Without a contact nothing reaches the user, and nothing is sent.
  const auto nowhere = zelk::server::sendCode(edit, challenge, "", codes());
  EXPECT_EQ(nowhere.status, zelk::server::CodeSend::undeliverable);
  EXPECT_EQ(nowhere.why, "no channel reaches the user");
  world.user.profile.email = "owner@example.com";
  EXPECT_EQ(zelk::server::sendCode(edit, challenge, "text", codes()).why,
            "the user has no phone number");
  world.user.profile.phone = "+1 555 010 4821";
  EXPECT_EQ(challenge.codesSent, 0);

  const auto sent = zelk::server::sendCode(edit, challenge, "", codes());
  ASSERT_EQ(sent.status, zelk::server::CodeSend::sent);
  EXPECT_EQ(sent.sent->channel, "email");
  EXPECT_EQ(sent.sent->code.size(), 6u);
  EXPECT_EQ(challenge.codeHash.find(sent.sent->code), std::string::npos);
  // It waits in the outbox sealed under a key only this server can make from its code key.
  ASSERT_EQ(edit.changes().outbox.size(), 1u);
  const std::string& payload = edit.changes().outbox[0].payload;
  EXPECT_EQ(payload.find(sent.sent->code), std::string::npos) << payload;
  const std::string sealed = nlohmann::json::parse(payload).at("sealed");
  EXPECT_EQ(zelk::server::unsealCode(key, sealed), sent.sent->code);
  EXPECT_EQ(zelk::server::unsealCode("another key", sealed), std::nullopt);
  std::string tampered = sealed;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  EXPECT_EQ(zelk::server::unsealCode(key, tampered), std::nullopt);
  // Too soon for another, and the hour's five are a limit too.
  const auto soon = zelk::server::sendCode(edit, challenge, "text", codes());
  EXPECT_EQ(soon.status, zelk::server::CodeSend::tooSoon);
  EXPECT_EQ(soon.retryAfter, 30s);
  std::string last = sent.sent->code;
  for (int i = 0; i < 4; ++i) {
    world.now += 31s;
    const auto next = zelk::server::sendCode(edit, challenge, "text", codes());
    ASSERT_EQ(next.status, zelk::server::CodeSend::sent) << i;
    last = next.sent->code;
  }
  world.now += 31s;
  EXPECT_EQ(zelk::server::sendCode(edit, challenge, "", codes()).status,
            zelk::server::CodeSend::tooSoon);
  EXPECT_EQ(challenge.channel, "text");

  std::string wrong = last;
  wrong[0] = wrong[0] == '9' ? '0' : static_cast<char>(wrong[0] + 1);
  EXPECT_FALSE(zelk::server::checkCode(edit, challenge, wrong, codes()));
  EXPECT_TRUE(zelk::server::checkCode(edit, challenge, last, codes()));
  EXPECT_TRUE(challenge.verified);
  EXPECT_EQ(challenge.codeChecks, 2);
  // It verified once, and only once.
  EXPECT_FALSE(zelk::server::checkCode(edit, challenge, last, codes()));
}

TEST(Rules, ACodeThatCouldNotBeDeliveredHoldsNoSendBack) {
  World world;
  world.settings.overallLimit = 1;
  world.attach("A");
  world.attach("B");
  world.user.profile.email = "owner@example.com";
  zelk::server::CodePolicy policy;
  zelk::server::CodeChannels channels;
  channels.email = true;
  const std::string key = "key";
  auto& challenge = world.user.challenges.at(0);
  const auto codes = [&] {
    return zelk::server::CodeContext{world.settings, policy, key, world.now, channels};
  };
  UserEdit edit(world.user);
  const auto first = zelk::server::sendCode(edit, challenge, "email", codes());
  ASSERT_EQ(first.status, zelk::server::CodeSend::sent);
  world.now += 1s;
  const auto second = zelk::server::sendCode(edit, challenge, "email", codes());
  ASSERT_EQ(second.status, zelk::server::CodeSend::tooSoon);
  // An older code's failure says nothing of the last one; the last one's frees the way.
  zelk::server::codeUndelivered(edit, challenge, "not-the-code", codes());
  EXPECT_EQ(zelk::server::sendCode(edit, challenge, "email", codes()).status,
            zelk::server::CodeSend::tooSoon);
  zelk::server::codeUndelivered(edit, challenge, first.sent->code, codes());
  EXPECT_FALSE(zelk::server::checkCode(edit, challenge, first.sent->code, codes()));
  const auto again = zelk::server::sendCode(edit, challenge, "email", codes());
  ASSERT_EQ(again.status, zelk::server::CodeSend::sent);
  EXPECT_TRUE(zelk::server::checkCode(edit, challenge, again.sent->code, codes()));
}

}  // namespace
