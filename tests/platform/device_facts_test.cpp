// SPDX-License-Identifier: Apache-2.0
#include <zelk/device_facts.hpp>

#include "platform/device_facts_internal.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk {
namespace {

namespace fs = std::filesystem;

// Upper-case 8-4-4-4-12 with version 4 and the RFC 4122 variant.
bool isUpperCaseV4UUID(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  const char variant = text[19];
  return text[14] == '4' && (variant == '8' || variant == '9' || variant == 'A' || variant == 'B');
}

TEST(OsReleaseTest, UnquotesAndUnescapesValuesAsAShellWould) {
  const auto variables = detail::parseOsRelease(
      "NAME=\"Example \\\"Quoted\\\" \\$HOME \\\\ \\`x\\` \\n OS\"\n"
      "VERSION_ID='1.2 \"single\" \\n'\n"
      "ID=plain\\ escaped\n"
      "PRETTY_NAME=\"joined\"'parts'bare\n"
      "EMPTY=\n"
      "EMPTY_QUOTES=\"\"\n"
      "SPACED=  padded value  \n"
      "QUOTED_SPACE=\"  inner  \"  \n"
      "WINDOWS=\"crlf\"\r\n"
      "UNTERMINATED=\"runs to the end\n");
  EXPECT_EQ(variables.at("NAME"), "Example \"Quoted\" $HOME \\ `x` \\n OS");
  EXPECT_EQ(variables.at("VERSION_ID"), "1.2 \"single\" \\n");
  EXPECT_EQ(variables.at("ID"), "plain escaped");
  EXPECT_EQ(variables.at("PRETTY_NAME"), "joinedpartsbare");
  EXPECT_EQ(variables.at("EMPTY"), "");
  EXPECT_EQ(variables.at("EMPTY_QUOTES"), "");
  EXPECT_EQ(variables.at("SPACED"), "padded value");
  EXPECT_EQ(variables.at("QUOTED_SPACE"), "  inner  ");
  EXPECT_EQ(variables.at("WINDOWS"), "crlf");
  EXPECT_EQ(variables.at("UNTERMINATED"), "runs to the end");
  EXPECT_EQ(variables.size(), 10u);
}

TEST(OsReleaseTest, SkipsCommentsBlankLinesAndNonAssignments) {
  const auto variables = detail::parseOsRelease(
      "# NAME=commented\n"
      "   # indented comment\n"
      "\n"
      "   \n"
      "not an assignment\n"
      "1BAD=starts with a digit\n"
      "BAD-NAME=dash\n"
      "=no name\n"
      "  ID=indented\n"
      "VERSION_ID=1\n"
      "VERSION_ID=2\n"
      "LAST=no newline at the end");
  EXPECT_EQ(variables,
            (std::map<std::string, std::string, std::less<>>{
                {"ID", "indented"}, {"VERSION_ID", "2"}, {"LAST", "no newline at the end"}}));
  EXPECT_TRUE(detail::parseOsRelease("").empty());
  EXPECT_TRUE(detail::parseOsRelease("# only a comment\n").empty());
}

TEST(AppSpecificIDTest, MatchesAKnownAnswer) {
  // Derived with:
  //   printf '\x9d\x78\xe4\x39\xaf\x5a\x77\xb6\x49\x2a\xdf\x13\x0f\x43\xa1\x2a' |
  //     openssl dgst -sha256 -mac HMAC -macopt hexkey:5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f
  // (the message is the library's application key) which gives
  //   2d2e61c54d62e394664cbbc00c3bf611 f0cb8c70...
  // Of its first 16 bytes, byte 6 (e3) becomes 43 and byte 8 (66) becomes a6.
  EXPECT_EQ(appSpecificID("5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f"),
            "2D2E61C5-4D62-4394-A64C-BBC00C3BF611");
  EXPECT_EQ(appSpecificID("5F1C0A7E9B2D4C3E8A6F1D0B7C9E2A4F"),
            "2D2E61C5-4D62-4394-A64C-BBC00C3BF611");
  EXPECT_EQ(appSpecificID("5f1C0a7E9b2D4c3E8a6F1d0B7c9E2a4F"),
            "2D2E61C5-4D62-4394-A64C-BBC00C3BF611");
}

TEST(AppSpecificIDTest, GivesDistinctWellFormedIDsForDistinctMachines) {
  std::set<std::string> ids;
  const std::vector<std::string> machines = {
      "00000000000000000000000000000000", "00000000000000000000000000000001",
      "80000000000000000000000000000000", "ffffffffffffffffffffffffffffffff",
      "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f", "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4e"};
  for (const auto& machine : machines) {
    std::optional<std::string> id = appSpecificID(machine);
    ASSERT_TRUE(id.has_value()) << machine;
    EXPECT_TRUE(isUpperCaseV4UUID(*id)) << *id;
    EXPECT_EQ(id->find(machine.substr(0, 8)), std::string::npos) << "machine ID shows through";
    ids.insert(*id);
  }
  EXPECT_EQ(ids.size(), machines.size());
}

TEST(AppSpecificIDTest, RejectsAnythingButThirtyTwoHexDigits) {
  for (const char* bad :
       {"", "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4", "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f0",
        "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4g", "5f1c0a7e-9b2d-4c3e-8a6f-1d0b7c9e2a4f",
        "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f\n", " 5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4",
        "uninitialized"}) {
    EXPECT_EQ(appSpecificID(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(RandomUUIDTest, IsWellFormedAndFreshEachTime) {
  std::set<std::string> uuids;
  for (int i = 0; i < 64; ++i) {
    std::string uuid = randomUUID();
    EXPECT_TRUE(isUpperCaseV4UUID(uuid)) << uuid;
    uuids.insert(uuid);
  }
  EXPECT_EQ(uuids.size(), 64u);
}

// A directory laid out like the root of a system, for reading facts from.
class FakeRootTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(testing::TempDir()) / "zelk-root-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = name.data();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void put(const fs::path& relative, const std::string& contents) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream out(root_ / relative, std::ios::binary);
    out << contents;
  }

  DeviceFacts read() const { return detail::readDeviceFacts(root_, "6.1.0-test"); }

  fs::path root_;
};

TEST_F(FakeRootTest, ReadsModelSystemAndMachineIdentifier) {
  put("sys/class/dmi/id/product_name", "  ThinkPad X1 Carbon Gen 9 \n");
  put("etc/os-release", "NAME=\"Example Linux\"\nVERSION_ID=\"24.04\"\nID=example\n");
  put("usr/lib/os-release", "NAME=Other\nVERSION_ID=1\n");
  put("etc/machine-id", "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4f\n");

  DeviceFacts facts = read();
  EXPECT_EQ(facts.model, "ThinkPad X1 Carbon Gen 9");
  EXPECT_EQ(facts.systemName, "Example Linux");
  EXPECT_EQ(facts.systemVersion, "24.04");
  EXPECT_EQ(facts.identifierForVendor, "2D2E61C5-4D62-4394-A64C-BBC00C3BF611");
}

TEST_F(FakeRootTest, FallsBackOnUsrLibOsReleaseWhenEtcHasNone) {
  put("usr/lib/os-release", "NAME='Vendor OS'\nVERSION_ID=7\n");
  DeviceFacts facts = read();
  EXPECT_EQ(facts.systemName, "Vendor OS");
  EXPECT_EQ(facts.systemVersion, "7");
}

TEST_F(FakeRootTest, FallsBackOnDefaultsWhenFilesAreMissingOrEmpty) {
  DeviceFacts missing = read();
  EXPECT_EQ(missing.model, "Linux");
  EXPECT_EQ(missing.systemName, "Linux");
  EXPECT_EQ(missing.systemVersion, "6.1.0-test");
  EXPECT_EQ(missing.identifierForVendor, std::nullopt);

  put("sys/class/dmi/id/product_name", " \n");
  put("etc/os-release", "ID=minimal\nNAME=\nVERSION_ID=\"\"\n");
  put("etc/machine-id", "");
  DeviceFacts empty = read();
  EXPECT_EQ(empty.model, "Linux");
  EXPECT_EQ(empty.systemName, "Linux");
  EXPECT_EQ(empty.systemVersion, "6.1.0-test");
  EXPECT_EQ(empty.identifierForVendor, std::nullopt);
}

TEST_F(FakeRootTest, AnInvalidMachineIDGivesNoIdentifier) {
  put("etc/machine-id", "uninitialized\n");
  EXPECT_EQ(read().identifierForVendor, std::nullopt);
  put("etc/machine-id", "5f1c0a7e9b2d4c3e8a6f1d0b7c9e2a4\n");
  EXPECT_EQ(read().identifierForVendor, std::nullopt);
}

TEST(CurrentDeviceFactsTest, DescribesThisMachine) {
  DeviceFacts facts = currentDeviceFacts();
  EXPECT_FALSE(facts.model.empty());
  EXPECT_FALSE(facts.systemName.empty());
  EXPECT_FALSE(facts.systemVersion.empty());
  if (facts.identifierForVendor) {
    EXPECT_TRUE(isUpperCaseV4UUID(*facts.identifierForVendor)) << *facts.identifierForVendor;
  }
  EXPECT_EQ(currentDeviceFacts().identifierForVendor, facts.identifierForVendor);
}

}  // namespace
}  // namespace zelk
