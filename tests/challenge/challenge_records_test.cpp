// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge.hpp>

#include "challenge/challenge_json.hpp"
#include "client/json_reader.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace zelk {
namespace {

using namespace std::chrono;

// Expects `json` to fail as `Record`, with an error message that mentions `mention`.
template <class Record>
void expectRejected(const std::string& json, const std::string& mention) {
  std::string error;
  EXPECT_FALSE(Record::decode(json, &error)) << json;
  EXPECT_NE(error.find(mention), std::string::npos) << json << " gave: " << error;
}

TEST(ChallengeDetailsTest, OnlyTheIdLeavesEverythingElseAbsent) {
  auto details = ChallengeDetails::decode(R"({"_id": "c1"})");
  ASSERT_TRUE(details);
  EXPECT_EQ(details->_id, "c1");
  EXPECT_FALSE(details->project);
  EXPECT_FALSE(details->brand);
  EXPECT_FALSE(details->user);
  EXPECT_FALSE(details->channels);
}

TEST(ChallengeDetailsTest, DecodesEveryMemberAndIgnoresUnknownOnes) {
  auto details = ChallengeDetails::decode(R"({
    "_id": "c1", "status": "open", "expires": {"in": 30},
    "project": {"_id": "p1", "name": "Acme", "plan": "pro"},
    "brand": {"logo": "https://cdn/l.png", "primary_color": "#ff8800",
              "require_verification": true, "font": 3},
    "user": {"_id": "u1", "email": "a@b.c", "phone": "+100", "age": 40},
    "channels": ["text", "email", "text"]})");
  ASSERT_TRUE(details);
  EXPECT_EQ(details->project, (Project{"p1", "Acme"}));
  EXPECT_EQ(details->brand, (Brand{"https://cdn/l.png", "#ff8800", true}));
  EXPECT_EQ(details->user, (User{"u1", "a@b.c", "+100"}));
  EXPECT_EQ(details->channels,
            (std::vector<ChallengeChannel>{ChallengeChannel::text, ChallengeChannel::email,
                                           ChallengeChannel::text}));
}

TEST(ChallengeDetailsTest, ChannelsKeepPresenceAndOrder) {
  auto empty = ChallengeDetails::decode(R"({"_id": "c", "channels": []})");
  ASSERT_TRUE(empty);
  ASSERT_TRUE(empty->channels);
  EXPECT_TRUE(empty->channels->empty());

  auto null = ChallengeDetails::decode(R"({"_id": "c", "channels": null})");
  ASSERT_TRUE(null);
  EXPECT_FALSE(null->channels);

  auto both = ChallengeDetails::decode(R"({"_id": "c", "channels": ["email", "text"]})");
  ASSERT_TRUE(both);
  EXPECT_EQ(both->channels,
            (std::vector<ChallengeChannel>{ChallengeChannel::email, ChallengeChannel::text}));
}

TEST(ChallengeDetailsTest, AnUnknownOrMistypedChannelFailsTheWholeDocument) {
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": ["email", "sms"]})", "sms");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": ["Email"]})", "channels[0]");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": ["email", null]})", "channels[1]");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": ["email", 1]})", "channels[1]");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": "email"})", "channels");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "channels": {"0": "email"}})", "channels");
}

TEST(ChallengeDetailsTest, AnEmptyBrandHasNoFieldsAndANullBrandIsAbsent) {
  auto empty = ChallengeDetails::decode(R"({"_id": "c", "brand": {}})");
  ASSERT_TRUE(empty);
  ASSERT_TRUE(empty->brand);
  EXPECT_FALSE(empty->brand->logo);
  EXPECT_FALSE(empty->brand->primary_color);
  EXPECT_FALSE(empty->brand->require_verification);

  auto null = ChallengeDetails::decode(R"({"_id": "c", "brand": null})");
  ASSERT_TRUE(null);
  EXPECT_FALSE(null->brand);
}

TEST(ChallengeDetailsTest, NullOptionalsInsideNestedRecordsAreAbsent) {
  auto details = ChallengeDetails::decode(R"({"_id": "c",
    "brand": {"logo": null, "primary_color": null, "require_verification": null},
    "user": {"_id": "u", "email": null, "phone": null},
    "project": null, "user_extra": null})");
  ASSERT_TRUE(details);
  EXPECT_EQ(details->brand, Brand{});
  EXPECT_EQ(details->user, (User{"u", std::nullopt, std::nullopt}));
  EXPECT_FALSE(details->project);
}

TEST(ChallengeDetailsTest, AnOptionalMemberOfTheWrongTypeIsNotDropped) {
  expectRejected<ChallengeDetails>(R"({"_id": "c", "brand": {"require_verification": "true"}})",
                                   "brand.require_verification");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "brand": {"require_verification": 1}})",
                                   "brand.require_verification");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "brand": {"logo": 5}})", "brand.logo");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "brand": {"primary_color": ["#fff"]}})",
                                   "brand.primary_color");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "user": {"_id": "u", "email": false}})",
                                   "user.email");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "user": {"_id": "u", "phone": 100}})",
                                   "user.phone");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "brand": "none"})", "brand");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "project": []})", "project");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "user": "u1"})", "user");
}

TEST(ChallengeDetailsTest, ARequiredMemberMissingNullOrMistypedFailsTheDocument) {
  expectRejected<ChallengeDetails>(R"({"id": "c"})", "_id");
  expectRejected<ChallengeDetails>(R"({"_id": null})", "_id");
  expectRejected<ChallengeDetails>(R"({"_id": 7})", "_id");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "project": {"_id": "p1"}})", "project.name");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "project": {"_id": "p1", "name": null}})",
                                   "project.name");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "project": {"name": "Acme"}})", "project._id");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "user": {"email": "a@b.c"}})", "user._id");
  expectRejected<ChallengeDetails>(R"({"_id": "c", "user": {"_id": null}})", "user._id");
}

TEST(ChallengeDetailsTest, DocumentsThatAreNotObjectsFail) {
  for (const char* json : {R"([{"_id": "c"}])", R"("c")", "null", "", R"({"_id": "c")"}) {
    std::string error;
    EXPECT_FALSE(ChallengeDetails::decode(json, &error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
}

TEST(ChallengeDetailsTest, EqualityFollowsTheIdAlone) {
  auto a = ChallengeDetails::decode(R"({"_id": "same", "project": {"_id": "p1", "name": "A"}})");
  auto b = ChallengeDetails::decode(
      R"({"_id": "same", "project": {"_id": "p2", "name": "B"}, "channels": ["text"]})");
  auto c = ChallengeDetails::decode(R"({"_id": "other", "project": {"_id": "p1", "name": "A"}})");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
}

TEST(ChallengeTest, DecodesTheIdAndIgnoresTheRest) {
  auto challenge = Challenge::decode(R"({"_id": "c9", "status": "pending"})");
  ASSERT_TRUE(challenge);
  EXPECT_EQ(challenge->_id, "c9");
  expectRejected<Challenge>(R"({"status": "pending"})", "_id");
  expectRejected<Challenge>(R"({"_id": null})", "_id");
  expectRejected<Challenge>(R"({"_id": 9})", "_id");
}

TEST(ChallengeTest, DecodesFromAMemberOfALargerDocument) {
  const auto message = nlohmann::json::parse(R"({"action": "challenge", "challenge": {"_id": 4}})");
  try {
    detail::decodeChallenge(message["challenge"], "challenge");
    ADD_FAILURE() << "a numeric _id decoded";
  } catch (const detail::DecodeFailure& failure) {
    EXPECT_NE(std::string(failure.what()).find("challenge._id"), std::string::npos)
        << failure.what();
  }
  const auto good = nlohmann::json::parse(R"({"challenge": {"_id": "x"}})");
  EXPECT_EQ(detail::decodeChallenge(good["challenge"], "challenge")._id, "x");
}

TEST(ChallengeChannelTest, RawTextsRoundTripAndAreCaseSensitive) {
  EXPECT_EQ(text(ChallengeChannel::email), "email");
  EXPECT_EQ(text(ChallengeChannel::text), "text");
  EXPECT_EQ(challengeChannelFromText("email"), ChallengeChannel::email);
  EXPECT_EQ(challengeChannelFromText("text"), ChallengeChannel::text);
  EXPECT_FALSE(challengeChannelFromText("Text"));
  EXPECT_FALSE(challengeChannelFromText("sms"));
  EXPECT_FALSE(challengeChannelFromText(""));
}

TEST(VerificationResultTest, SuccessIsARequiredFlag) {
  auto yes = ChallengeVerificationResult::decode(R"({"success": true, "attempts": 2})");
  ASSERT_TRUE(yes);
  EXPECT_TRUE(yes->success);
  auto no = ChallengeVerificationResult::decode(R"({"success": false})");
  ASSERT_TRUE(no);
  EXPECT_FALSE(no->success);
  expectRejected<ChallengeVerificationResult>(R"({})", "success");
  expectRejected<ChallengeVerificationResult>(R"({"success": null})", "success");
  expectRejected<ChallengeVerificationResult>(R"({"success": "true"})", "success");
  expectRejected<ChallengeVerificationResult>(R"({"success": 1})", "success");
}

constexpr const char* kLimits = R"({
  "attached_devices": {"total": 5, "devices": {"computers": 1, "tablets": 0, "mobiles": 4}},
  "default_overall_limit": 3, "computer_device_limit": 1, "tablet_device_limit": 1,
  "mobile_device_limit": 2, "plan": "basic"})";

TEST(DeviceLimitStateTest, DecodesEveryMemberFromItsSnakeCaseKey) {
  auto state = DeviceLimitState::decode(kLimits);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->attachedDevices.total, 5);
  EXPECT_EQ(state->attachedDevices.devices, (AttachedDeviceTypes{1, 0, 4}));
  EXPECT_EQ(state->defaultOverallLimit, 3);
  EXPECT_EQ(state->computerDeviceLimit, 1);
  EXPECT_EQ(state->tabletDeviceLimit, 1);
  EXPECT_EQ(state->mobileDeviceLimit, 2);
}

TEST(DeviceLimitStateTest, EachRequiredMemberIsRequired) {
  for (const char* key : {"attached_devices", "default_overall_limit", "computer_device_limit",
                          "tablet_device_limit", "mobile_device_limit"}) {
    auto document = nlohmann::json::parse(kLimits);
    document.erase(key);
    expectRejected<DeviceLimitState>(document.dump(), key);
    document[key] = nullptr;
    expectRejected<DeviceLimitState>(document.dump(), key);
    document[key] = "1";
    expectRejected<DeviceLimitState>(document.dump(), key);
  }
  auto fraction = nlohmann::json::parse(kLimits);
  fraction["mobile_device_limit"] = 2.5;
  expectRejected<DeviceLimitState>(fraction.dump(), "mobile_device_limit");
}

TEST(DeviceLimitStateTest, AttachedDevicesNeedsTotalAndDevices) {
  auto noTotal = nlohmann::json::parse(kLimits);
  noTotal["attached_devices"].erase("total");
  expectRejected<DeviceLimitState>(noTotal.dump(), "attached_devices.total");
  auto noDevices = nlohmann::json::parse(kLimits);
  noDevices["attached_devices"].erase("devices");
  expectRejected<DeviceLimitState>(noDevices.dump(), "attached_devices.devices");
  auto nullDevices = nlohmann::json::parse(kLimits);
  nullDevices["attached_devices"]["devices"] = nullptr;
  expectRejected<DeviceLimitState>(nullDevices.dump(), "attached_devices.devices");
}

TEST(DeviceLimitStateTest, DeviceCountsByKindAreOptionalButTyped) {
  auto some = nlohmann::json::parse(kLimits);
  some["attached_devices"]["devices"] = {{"mobiles", 2}};
  auto state = DeviceLimitState::decode(some.dump());
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->attachedDevices.devices.computers);
  EXPECT_FALSE(state->attachedDevices.devices.tablets);
  EXPECT_EQ(state->attachedDevices.devices.mobiles, 2);

  auto nulls = AttachedDeviceTypes::decode(R"({"computers": null, "tablets": null})");
  ASSERT_TRUE(nulls);
  EXPECT_EQ(*nulls, AttachedDeviceTypes{});

  expectRejected<AttachedDeviceTypes>(R"({"tablets": "1"})", "tablets");
  expectRejected<AttachedDeviceTypes>(R"({"computers": 1.5})", "computers");
  auto mistyped = nlohmann::json::parse(kLimits);
  mistyped["attached_devices"]["devices"]["mobiles"] = true;
  expectRejected<DeviceLimitState>(mistyped.dump(), "attached_devices.devices.mobiles");
}

TEST(DeviceListTest, DecodesDevicesInOrderWithTheirDates) {
  auto devices = decodeDeviceList(R"([
    {"_id": "d1", "info": {}, "createdAt": "2024-02-29T23:59:58.125Z"},
    {"_id": "d2", "info": {"os": {"name": "iOS"}}, "updatedAt": "2024-03-01T01:00:00.000+01:30"}
  ])");
  ASSERT_TRUE(devices);
  ASSERT_EQ(devices->size(), 2u);
  EXPECT_EQ((*devices)[0].id, "d1");
  EXPECT_EQ((*devices)[0].createdAt, sys_days{2024y / February / 29} + 23h + 59min + 58s + 125ms);
  EXPECT_EQ((*devices)[1].id, "d2");
  EXPECT_EQ((*devices)[1].info.os->name, "iOS");
  EXPECT_EQ((*devices)[1].updatedAt, sys_days{2024y / February / 29} + 23h + 30min);

  auto none = decodeDeviceList("[]");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(DeviceListTest, OneBadDeviceFailsTheWholeList) {
  std::string error;
  EXPECT_FALSE(decodeDeviceList(R"([{"_id": "d1", "info": {}},
    {"_id": "d2", "info": {}, "createdAt": "2024-03-01T12:00:00Z"}])",
                                &error));
  EXPECT_NE(error.find("[1].createdAt"), std::string::npos) << error;

  for (const char* json : {R"([{"_id": "d1"}])", R"([{"_id": "d1", "info": {}}, null])",
                           R"({"_id": "d1", "info": {}})", R"({"devices": []})", "null", ""}) {
    error.clear();
    EXPECT_FALSE(decodeDeviceList(json, &error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
}

}  // namespace
}  // namespace zelk
