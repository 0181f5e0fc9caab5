// SPDX-License-Identifier: Apache-2.0
#include <zelk/records.hpp>

#include <gtest/gtest.h>

#include <unordered_set>

namespace zelk {
namespace {

using namespace std::chrono;

TEST(AttachResponseTest, DecodesRequiredMembersAndLeavesOptionalsAbsent) {
  auto reply = ZelkAttachResponse::decode(R"({"success": true, "attached_devices": 2})");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->success);
  EXPECT_EQ(reply->attachedDevices, 2);
  EXPECT_FALSE(reply->access);
  EXPECT_FALSE(reply->deviceID);
  EXPECT_FALSE(reply->blockOverUsage);
  EXPECT_FALSE(reply->defaultDeviceLimit);
}

TEST(AttachResponseTest, DecodesEveryMemberAndIgnoresUnknownOnes) {
  auto reply = ZelkAttachResponse::decode(
      R"({"success": false, "attached_devices": 3, "access": "a1", "device_id": "d1",
          "block_over_usage": true, "default_device_limit": 9223372036854775807,
          "extra": {"nested": [1, 2]}})");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->success);
  EXPECT_EQ(reply->access, "a1");
  EXPECT_EQ(reply->deviceID, "d1");
  EXPECT_EQ(reply->blockOverUsage, true);
  EXPECT_EQ(reply->defaultDeviceLimit, INT64_MAX);
}

TEST(AttachResponseTest, NullOptionalsAreAbsent) {
  auto reply = ZelkAttachResponse::decode(
      R"({"success": true, "attached_devices": 0, "access": null, "device_id": null})");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->access);
  EXPECT_FALSE(reply->deviceID);
}

TEST(AttachResponseTest, RejectsWrongTypesAndMissingMembersWithAMessage) {
  const char* invalid[] = {
      R"({"success": "true", "attached_devices": 2})",
      R"({"success": true, "attached_devices": 2.5})",
      R"({"success": true, "attached_devices": "2"})",
      R"({"success": true, "attached_devices": 9223372036854775808})",
      R"({"success": 1, "attached_devices": 2})",
      R"({"attached_devices": 2})",
      R"({"success": true})",
      R"({"success": true, "attached_devices": null})",
      R"({"success": true, "attached_devices": 1, "device_id": 7})",
      R"({"success": true, "attached_devices": 1, "block_over_usage": "no"})",
      R"([{"success": true, "attached_devices": 1}])",
      R"({"success": true, "attached_devices": 1)",
      "",
  };
  for (const char* json : invalid) {
    std::string error;
    EXPECT_FALSE(ZelkAttachResponse::decode(json, &error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
}

TEST(AttachResponseTest, AcceptsWholeNumbersWrittenWithAFraction) {
  auto reply = ZelkAttachResponse::decode(R"({"success": true, "attached_devices": 2.0})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->attachedDevices, 2);
}

TEST(AttachResponseTest, ErrorNamesTheOffendingMember) {
  std::string error;
  EXPECT_FALSE(ZelkAttachResponse::decode(R"({"success": "yes", "attached_devices": 1})", &error));
  EXPECT_NE(error.find("success"), std::string::npos) << error;
}

TEST(DeviceIdentityTest, ConfidenceAcceptsAnyNumber) {
  auto whole = ZelkDeviceIdentity::decode(R"({"identity": "x", "confidence": 1})");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->identity, "x");
  EXPECT_DOUBLE_EQ(whole->confidence, 1.0);
  auto fraction = ZelkDeviceIdentity::decode(R"({"identity": "x", "confidence": 0.25})");
  ASSERT_TRUE(fraction);
  EXPECT_DOUBLE_EQ(fraction->confidence, 0.25);
  EXPECT_FALSE(ZelkDeviceIdentity::decode(R"({"identity": "x"})"));
  EXPECT_FALSE(ZelkDeviceIdentity::decode(R"({"identity": "x", "confidence": "1"})"));
  EXPECT_FALSE(ZelkDeviceIdentity::decode(R"({"identity": 5, "confidence": 1})"));
}

TEST(DeviceTest, DecodesMinimalDevice) {
  auto device = ZelkDevice::decode(R"({"_id": "d1", "info": {}})");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->id, "d1");
  EXPECT_FALSE(device->info.os);
  EXPECT_FALSE(device->info.device);
  EXPECT_FALSE(device->createdAt);
  EXPECT_FALSE(device->updatedAt);
  EXPECT_FALSE(device->lastAccess);
  EXPECT_FALSE(ZelkDevice::decode(R"({"id": "d1", "info": {}})"));
  EXPECT_FALSE(ZelkDevice::decode(R"({"_id": "d1"})"));
  EXPECT_FALSE(ZelkDevice::decode(R"({"_id": "d1", "info": []})"));
}

TEST(DeviceTest, DecodesNestedRecordsAndDates) {
  auto device = ZelkDevice::decode(R"({
    "_id": "d1",
    "info": {"os": {"name": "iOS", "version": "17.1"},
             "device": {"vendor": "Apple", "type": "tablet", "model": "iPad"}},
    "createdAt": "2024-02-29T23:59:58.125Z",
    "updatedAt": "2024-03-01T01:00:00.000+01:30",
    "last_access": {"geolocation": {"city": "Lyon", "country": null}}})");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->info.os->version, "17.1");
  EXPECT_EQ(device->info.device->type, "tablet");
  EXPECT_EQ(device->createdAt, sys_days{2024y / February / 29} + 23h + 59min + 58s + 125ms);
  EXPECT_EQ(device->updatedAt, sys_days{2024y / February / 29} + 23h + 30min);
  EXPECT_EQ(device->lastAccess->geolocation->city, "Lyon");
  EXPECT_FALSE(device->lastAccess->geolocation->country);
}

TEST(DeviceTest, AMalformedDateFailsTheDevice) {
  for (const char* date :
       {"2024-03-01T12:00:00Z", "2024-03-01T12:00:00.00Z", "2024-03-01 12:00:00.000Z",
        "2023-02-29T12:00:00.000Z", "2024-03-01T24:00:00.000Z", "2024-03-01T12:00:00.000",
        "2024-03-01T12:00:00.000+0100", "2024-03-01T12:00:00.000Zjunk"}) {
    const std::string json =
        std::string(R"({"_id": "d1", "info": {}, "createdAt": ")") + date + "\"}";
    EXPECT_FALSE(ZelkDevice::decode(json)) << date;
  }
}

TEST(DeviceTest, EqualityAndHashFollowTheIdAlone) {
  auto a = ZelkDevice::decode(R"({"_id": "same", "info": {"os": {"name": "A"}}})");
  auto b = ZelkDevice::decode(R"({"_id": "same", "info": {"os": {"name": "B"}}})");
  auto c = ZelkDevice::decode(R"({"_id": "other", "info": {"os": {"name": "A"}}})");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_EQ(std::hash<ZelkDevice>{}(*a), std::hash<ZelkDevice>{}(*b));
  std::unordered_set<ZelkDevice> set{*a, *b, *c};
  EXPECT_EQ(set.size(), 2u);
}

TEST(DeviceTest, EncodingRoundTripsAndLeavesAbsentMembersOut) {
  ZelkDevice device;
  device.id = "d9";
  device.info.device = ZelkDeviceDetails{"Apple", "mobile", std::nullopt};
  device.createdAt = sys_days{2025y / January / 5} + 7h + 8min + 9s + 10ms;
  const std::string json = device.toJson();
  EXPECT_EQ(
      json,
      R"({"_id":"d9","createdAt":"2025-01-05T07:08:09.010Z","info":{"device":{"type":"mobile","vendor":"Apple"}}})");
  auto decoded = ZelkDevice::decode(json);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->info, device.info);
  EXPECT_EQ(decoded->createdAt, device.createdAt);
}

TEST(DeviceTypeTest, BuiltFromExactText) {
  EXPECT_EQ(deviceTypeFromText("tablet"), ZelkDeviceType::tablet);
  EXPECT_EQ(deviceTypeFromText("computer"), ZelkDeviceType::computer);
  EXPECT_FALSE(deviceTypeFromText("Tablet"));
  EXPECT_FALSE(deviceTypeFromText(""));
  for (auto type : {ZelkDeviceType::mobile, ZelkDeviceType::tablet, ZelkDeviceType::computer}) {
    EXPECT_EQ(deviceTypeFromText(text(type)), type);
  }
}

TEST(DateFormatTest, FormatsInUTCAndParsesItsOwnOutput) {
  const Date date = sys_days{1999y / December / 31} + 23h + 59min + 59s + 999ms;
  EXPECT_EQ(iso8601Full().string(date), "1999-12-31T23:59:59.999Z");
  EXPECT_EQ(iso8601Full().date("1999-12-31T23:59:59.999Z"), date);
  EXPECT_EQ(iso8601Full().date("2000-01-01T01:29:59.999+01:30"), date);
  EXPECT_EQ(iso8601Full().date("1999-12-31T20:59:59.999-03:00"), date);
}

// The list of the user's own devices: each entry a device record with "current" and, for a
// trusted device, "trusted_until".
TEST(UserDevicesTest, DecodesTheListWithItsMarkersAndTheCapOnChanges) {
  auto reply = ZelkUserDevices::decode(R"({
      "device_id": "d1",
      "devices": [
        {"_id": "d1", "info": {"device": {"type": "mobile", "model": "iPhone"}},
         "createdAt": "2026-12-01T01:02:03.456Z", "updatedAt": "2026-12-08T01:02:03.456Z",
         "last_access": {"geolocation": {"city": "Berlin", "country": "Germany"}},
         "current": true},
        {"_id": "d2", "info": {}, "current": false,
         "trusted_until": "2027-01-08T10:00:00.000Z"}],
      "swaps": {"limit": 4, "days": 30, "used": 4, "next_change_at": "2027-01-08T10:00:00.000Z"}})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->deviceID, "d1");
  ASSERT_EQ(reply->devices.size(), 2u);
  EXPECT_TRUE(reply->devices[0].current);
  EXPECT_EQ(reply->devices[0].device.id, "d1");
  EXPECT_EQ(reply->devices[0].device.info.device->model, "iPhone");
  EXPECT_EQ(reply->devices[0].device.lastAccess->geolocation->country, "Germany");
  EXPECT_FALSE(reply->devices[0].trustedUntil);
  EXPECT_FALSE(reply->devices[1].current);
  const Date until = sys_days{2027y / January / 8} + 10h;
  EXPECT_EQ(reply->devices[1].trustedUntil, until);
  ASSERT_TRUE(reply->swaps);
  EXPECT_EQ(reply->swaps->limit, 4);
  EXPECT_EQ(reply->swaps->days, 30);
  EXPECT_EQ(reply->swaps->used, 4);
  EXPECT_EQ(reply->swaps->nextChangeAt, until);
}

TEST(UserDevicesTest, TheCapAndItsNextChangeAreOptional) {
  auto reply = ZelkUserDevices::decode(R"({"device_id": "d1", "devices": []})");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->devices.empty());
  EXPECT_FALSE(reply->swaps);
  auto swaps = ZelkSwapAllowance::decode(R"({"limit": 4, "days": 30, "used": 1})");
  ASSERT_TRUE(swaps);
  EXPECT_FALSE(swaps->nextChangeAt);
}

TEST(UserDevicesTest, RejectsMalformedListsNamingTheMember) {
  struct Case {
    const char* json;
    const char* names;
  };
  const Case invalid[] = {
      {R"({"devices": []})", "device_id"},
      {R"({"device_id": "d1"})", "devices"},
      {R"({"device_id": "d1", "devices": {}})", "devices"},
      {R"({"device_id": "d1", "devices": [{"_id": "d2", "info": {}}]})", "devices[0].current"},
      {R"({"device_id": "d1", "devices": [{"_id": "d2", "current": true}]})", "devices[0].info"},
      {R"({"device_id": "d1", "devices": [{"_id": "d2", "info": {}, "current": false,
           "trusted_until": "next week"}]})",
       "devices[0].trusted_until"},
      {R"({"device_id": "d1", "devices": [], "swaps": {"limit": 4, "days": 30}})", "swaps.used"},
  };
  for (const Case& each : invalid) {
    std::string error;
    EXPECT_FALSE(ZelkUserDevices::decode(each.json, &error)) << each.json;
    EXPECT_NE(error.find(each.names), std::string::npos) << error;
  }
  EXPECT_FALSE(ZelkUserDevice::decode(R"({"_id": "d2", "info": {}, "current": "yes"})"));
}

}  // namespace
}  // namespace zelk
