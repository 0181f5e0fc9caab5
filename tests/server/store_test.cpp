// SPDX-License-Identifier: Apache-2.0
// The one storage interface, the same on every backend: in memory, SQLite, and PostgreSQL (when
// env ZELK_TEST_POSTGRES names an administrator's URL; each test works in a database of its
// own). What the rules hand over comes back as it was written, a user's changes are written only
// on the version they were decided on, and the streams' liveness, the idle sweep's candidates,
// the outbox and the audit trail behave alike.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "server_test_support.hpp"
#include "service/user_edit.hpp"
#include "storage/scratch_database.hpp"
#include "storage/store.hpp"

namespace {

using namespace std::chrono_literals;
using zelk::server::AuditEntry;
using zelk::server::Challenge;
using zelk::server::Changes;
using zelk::server::Clock;
using zelk::server::DetachedDevice;
using zelk::server::Device;
using zelk::server::DeviceType;
using zelk::server::fromMillis;
using zelk::server::IdentifyRequest;
using zelk::server::OperatorAccount;
using zelk::server::OperatorSession;
using zelk::server::OutboxMessage;
using zelk::server::OutboxState;
using zelk::server::Store;
using zelk::server::StreamChanges;
using zelk::server::toMillis;
using zelk::server::Unit;
using zelk::server::UserKey;

// Whole milliseconds, as the stores keep times.
Clock::time_point at(std::int64_t millis) {
  return fromMillis(1'800'000'000'000 + millis);
}

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgres") {
      const char* admin = std::getenv("ZELK_TEST_POSTGRES");
      if (!admin || !*admin)
        GTEST_SKIP() << "ZELK_TEST_POSTGRES is not set (start a server with scripts/postgres.sh)";
      database_ = std::make_unique<zelk::server::ScratchDatabase>(admin);
    }
    store_ = open("in_test");
  }

  // Another instance on the same database; the memory store has only the one.
  std::unique_ptr<Store> open(const std::string& instance) {
    std::unique_ptr<Store> store;
    if (GetParam() == "memory") store = zelk::server::makeMemoryStore();
    if (GetParam() == "sqlite") store = zelk::server::makeSQLiteStore(dir_.file("zelk.db"));
    if (GetParam() == "postgres") store = zelk::server::makePostgresStore(database_->url(), 4);
    store->setInstance(instance);
    store->setAuditRetention({});
    return store;
  }

  // Commits one unit; whether it was written.
  bool commit(Unit unit) {
    std::vector<Unit> units;
    units.push_back(std::move(unit));
    store_->commit(units);
    return !units[0].conflict;
  }

  zelk::testing::TempDir dir_;
  std::unique_ptr<zelk::server::ScratchDatabase> database_;
  std::unique_ptr<Store> store_;
};

Device deviceNamed(const std::string& id, DeviceType type, std::uint64_t lastEventId) {
  Device device;
  device.id = id;
  device.vendorId = "vendor-" + id;
  device.type = type;
  device.library = "zelk-cpp";
  device.version = "1.2.3";
  device.identity = "identity-" + id;
  device.accesses = {"access-1-" + id, "access-2-\"" + id + "\",{}"};
  device.deviceInfo = zelk::server::SharedJSON(
      nlohmann::json{{"device", {{"type", "tablet"}, {"name", "Ünïcode ☃"}}}});
  device.metadata = zelk::server::SharedJSON(nlohmann::json{{"quote", "it's \"quoted\" \\ $1"}});
  device.attachedAt = at(1);
  device.lastSeenAt = at(2);
  device.lastEventId = lastEventId;
  return device;
}

const UserKey kAlice{"client-a", "alice"};

// One of each record of a user, as an attach, a challenge and a detach would write them.
Unit everyKind(std::uint64_t base = 0) {
  Unit unit;
  unit.user = kAlice;
  unit.baseVersion = base;
  Changes& changes = unit.changes;
  Changes::ProjectRow project;
  project.clientId = "client-a";
  project.configured = true;
  project.settings.name = "Project A";
  project.settings.overallLimit = 5;
  project.settings.mobileLimit = 2;
  project.settings.tabletLimit = 1;
  project.settings.computerLimit = 0;
  project.settings.logo = "https://example.com/logo.png";
  project.settings.primaryColor = "#123456";
  project.settings.requireVerification = true;
  project.settings.blockOverUsage = true;
  project.settings.limitPolicy = zelk::server::LimitPolicy::evictOldest;
  project.settings.showContacts = true;
  project.settings.livenessGraceSeconds = 60;
  project.settings.webhookUrl = "https://example.com/hook";
  project.settings.webhookSecret = "whsec";
  project.settings.userSecret = "signs the users";
  project.settings.requireSignedUsers = true;
  project.settings.newDeviceNotices = true;
  project.settings.trustedDeviceDays = 14;
  project.settings.deviceChangesLimit = 4;
  project.settings.deviceChangesDays = 7;
  changes.projects.push_back(project);
  changes.profile = {"alice@example.com", "+1 555 010 4821"};
  changes.deviceChanges = {at(30), at(31)};
  zelk::server::KnownDevice told;
  told.vendorId = "vendor-1";
  told.firstSeenAt = at(1);
  told.toldAt = at(2);
  told.code = "c0de";
  told.codeUntil = at(40);
  zelk::server::KnownDevice trusted;
  trusted.vendorId = "vendor-2";
  trusted.firstSeenAt = at(3);
  trusted.trustedUntil = at(50);
  changes.knownDevices = {told, trusted};
  changes.devices.emplace_back(deviceNamed("dev-1", DeviceType::tablet, 2));
  changes.devices.emplace_back(deviceNamed("dev-2", DeviceType::computer, 1));
  changes.messages.push_back({"dev-1", {1, at(10), "{\"type\":\"challenge\"}"}});
  changes.messages.push_back({"dev-1", {2, at(11), "\"logout\""}});
  changes.messages.push_back({"dev-2", {1, at(12), "second device"}});
  Challenge challenge;
  challenge.id = "challenge-1";
  challenge.project = "client-a";
  challenge.user = "alice";
  challenge.reason = "overall";
  challenge.createdAt = at(20);
  challenge.codeHash = "abcdef";
  challenge.channel = "email";
  challenge.codeSentAt = at(21);
  challenge.codeChecks = 1;
  challenge.codesSent = 2;
  challenge.checks = 3;
  challenge.recentSends = {at(21), at(22)};
  challenge.device = "dev-1";
  changes.challenges.push_back(challenge);
  DetachedDevice detached;
  detached.id = "dev-gone";
  detached.project = "client-a";
  detached.accesses = {"old-access"};
  detached.logoutId = 7;
  detached.detachedAt = Clock::now();
  changes.detached.push_back(detached);
  return unit;
}

TEST_P(StoreTest, EveryKindOfRecordComesBackAsWritten) {
  EXPECT_FALSE(store_->readUser(kAlice));
  ASSERT_TRUE(commit(everyKind()));

  const auto project = store_->readProject("client-a");
  ASSERT_TRUE(project);
  EXPECT_TRUE(project->configured);
  const auto& s = project->settings;
  EXPECT_EQ(s.name, "Project A");
  EXPECT_EQ(s.overallLimit, 5);
  EXPECT_EQ(s.mobileLimit, 2);
  EXPECT_EQ(s.tabletLimit, 1);
  EXPECT_EQ(s.computerLimit, 0);
  EXPECT_EQ(s.logo, "https://example.com/logo.png");
  EXPECT_EQ(s.primaryColor, "#123456");
  EXPECT_TRUE(s.requireVerification);
  EXPECT_TRUE(s.blockOverUsage);
  EXPECT_EQ(s.limitPolicy, zelk::server::LimitPolicy::evictOldest);
  EXPECT_TRUE(s.showContacts);
  EXPECT_EQ(s.livenessGraceSeconds, 60);
  EXPECT_EQ(s.webhookUrl, "https://example.com/hook");
  EXPECT_EQ(s.webhookSecret, "whsec");
  EXPECT_EQ(s.userSecret, "signs the users");
  EXPECT_TRUE(s.requireSignedUsers);
  EXPECT_TRUE(s.newDeviceNotices);
  EXPECT_EQ(s.trustedDeviceDays, 14);
  EXPECT_EQ(s.deviceChangesLimit, 4);
  EXPECT_EQ(s.deviceChangesDays, 7);
  EXPECT_EQ(store_->readProjects().size(), 1u);
  EXPECT_FALSE(store_->readProject("client-z"));

  const auto stored = store_->readUser(kAlice);
  ASSERT_TRUE(stored);
  const auto& alice = stored->record;
  EXPECT_EQ(alice.version, 1u);
  EXPECT_EQ(alice.profile.email, "alice@example.com");
  EXPECT_EQ(alice.profile.phone, "+1 555 010 4821");
  EXPECT_EQ(alice.deviceChanges, (std::vector{at(30), at(31)}));
  ASSERT_EQ(alice.knownDevices.size(), 2u);
  EXPECT_EQ(alice.knownDevices[0].vendorId, "vendor-1");
  EXPECT_EQ(alice.knownDevices[0].firstSeenAt, at(1));
  EXPECT_EQ(alice.knownDevices[0].toldAt, at(2));
  EXPECT_EQ(alice.knownDevices[0].code, "c0de");
  EXPECT_EQ(alice.knownDevices[0].codeUntil, at(40));
  EXPECT_EQ(alice.knownDevices[0].trustedUntil, Clock::time_point{});
  EXPECT_EQ(alice.known("vendor-2")->trustedUntil, at(50));
  EXPECT_TRUE(alice.known("vendor-2")->code.empty());
  ASSERT_EQ(alice.devices.size(), 2u);
  const Device& first = alice.devices[0];
  const Device expected = deviceNamed("dev-1", DeviceType::tablet, 2);
  EXPECT_EQ(first.id, "dev-1");
  EXPECT_EQ(first.vendorId, expected.vendorId);
  EXPECT_EQ(first.type, DeviceType::tablet);
  EXPECT_EQ(first.library, expected.library);
  EXPECT_EQ(first.version, expected.version);
  EXPECT_EQ(first.identity, expected.identity);
  EXPECT_EQ(first.accesses, expected.accesses);
  EXPECT_EQ(first.deviceInfo.value(), expected.deviceInfo.value());
  EXPECT_EQ(first.metadata.value(), expected.metadata.value());
  EXPECT_EQ(first.attachedAt, at(1));
  EXPECT_EQ(first.lastSeenAt, at(2));
  EXPECT_EQ(first.lastEventId, 2u);
  ASSERT_EQ(first.messages.size(), 2u);
  EXPECT_EQ(first.messages[0].id, 1u);
  EXPECT_EQ(first.messages[0].sentAt, at(10));
  EXPECT_EQ(first.messages[1].data, "\"logout\"");
  EXPECT_EQ(alice.devices[1].id, "dev-2");
  EXPECT_EQ(alice.devices[1].type, DeviceType::computer);
  ASSERT_EQ(alice.challenges.size(), 1u);
  const Challenge& challenge = alice.challenges[0];
  EXPECT_EQ(challenge.reason, "overall");
  EXPECT_EQ(challenge.codeHash, "abcdef");
  EXPECT_EQ(challenge.channel, "email");
  EXPECT_EQ(challenge.codeSentAt, at(21));
  EXPECT_EQ(challenge.codeChecks, 1);
  EXPECT_EQ(challenge.codesSent, 2);
  EXPECT_EQ(challenge.checks, 3);
  EXPECT_EQ(challenge.recentSends, (std::vector{at(21), at(22)}));
  EXPECT_EQ(challenge.device, "dev-1");
  EXPECT_FALSE(challenge.verified);

  // Found by a device's id, a challenge's id; a device detached lately by its own.
  const auto byDevice = store_->readDevice("dev-2");
  ASSERT_TRUE(byDevice.user);
  EXPECT_EQ(byDevice.user->record.key, kAlice);
  EXPECT_EQ(byDevice.user->record.devices.size(), 2u);
  EXPECT_EQ(store_->challengeOwner("challenge-1"), kAlice);
  EXPECT_FALSE(store_->challengeOwner("challenge-9"));
  const auto gone = store_->readDevice("dev-gone");
  EXPECT_FALSE(gone.user);
  ASSERT_TRUE(gone.detached);
  EXPECT_EQ(gone.detached->accesses, std::vector<std::string>{"old-access"});
  EXPECT_EQ(gone.detached->logoutId, 7u);
  EXPECT_EQ(store_->readDetached("dev-gone")->project, "client-a");
  EXPECT_FALSE(store_->readDevice("dev-none").user);
  EXPECT_FALSE(store_->readDevice("dev-none").detached);
  const auto after = store_->messagesAfter("dev-1", 1);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].id, 2u);

  // Updates, a trim, a removal, on the version just read.
  Unit later;
  later.user = kAlice;
  later.baseVersion = 1;
  later.changes.profile = alice.profile;
  Challenge verified = challenge;
  verified.verified = verified.resolved = true;
  later.changes.challenges.push_back(verified);
  Device renamed = first;
  renamed.lastEventId = 9;
  later.changes.devices.emplace_back(renamed);
  later.changes.trims.push_back({"dev-1", 1, at(0)});
  later.changes.removedDevices.push_back("dev-2");
  ASSERT_TRUE(commit(std::move(later)));
  const auto again = store_->readUser(kAlice);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->record.version, 2u);
  ASSERT_EQ(again->record.devices.size(), 1u);
  EXPECT_EQ(again->record.devices[0].lastEventId, 9u);
  ASSERT_EQ(again->record.devices[0].messages.size(), 1u);
  EXPECT_EQ(again->record.devices[0].messages[0].id, 2u);
  EXPECT_TRUE(again->record.challenges[0].verified);
  EXPECT_TRUE(again->record.challenges[0].resolved);
  EXPECT_TRUE(store_->messagesAfter("dev-2", 0).empty());
  EXPECT_FALSE(store_->readDevice("dev-2").user);
  EXPECT_EQ(store_->countDevices(), 1u);
}

// An operator finds users by id prefix, e-mail address in any case or phone number; erases one,
// the audit trail keeping what happened under a pseudonym; deletes a whole project.
TEST_P(StoreTest, UsersAreFoundErasedAndDeletedWithTheirProject) {
  ASSERT_TRUE(commit(everyKind()));
  for (const std::string name : {"al", "alma", "bob"}) {
    Unit unit;
    unit.user = UserKey{"client-a", name};
    unit.changes.profile = {name + "@Example.com", "+1 555 " + name};
    unit.changes.limitOverride =
        zelk::server::LimitOverride{2, std::nullopt, 1, std::nullopt, at(99)};
    zelk::server::addAudit(unit.changes, "client-a", "admin.user", name,
                           {{"user", name}, {"note", "about \"" + name + "\""}});
    ASSERT_TRUE(commit(std::move(unit)));
  }
  const auto names = [&](const std::string& query, const std::string& after = "") {
    std::vector<std::string> found;
    for (const auto& user : store_->searchUsers("client-a", query, after, 10))
      found.push_back(user.user);
    return found;
  };
  EXPECT_EQ(names("al"), (std::vector<std::string>{"al", "alice", "alma"}));
  EXPECT_EQ(names("al", "alice"), std::vector<std::string>{"alma"});
  EXPECT_EQ(names("BOB@example.com"), std::vector<std::string>{"bob"});
  EXPECT_EQ(names("+1 555 010 4821"), std::vector<std::string>{"alice"});
  EXPECT_EQ(names("").size(), 4u);
  EXPECT_TRUE(names("a%").empty());
  EXPECT_TRUE(store_->searchUsers("client-z", "", "", 10).empty());
  const auto alice = store_->searchUsers("client-a", "alice", "", 10);
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_EQ(alice[0].devices, 2u);
  EXPECT_EQ(alice[0].email, "alice@example.com");
  EXPECT_EQ(store_->readUser({"client-a", "alma"})->record.limitOverride,
            (zelk::server::LimitOverride{2, std::nullopt, 1, std::nullopt, at(99)}));
  ASSERT_EQ(store_->auditEntriesAbout("client-a", "alma", 10).size(), 1u);

  EXPECT_TRUE(store_->eraseUser({"client-a", "alma"}, "erased:0123"));
  EXPECT_FALSE(store_->readUser({"client-a", "alma"}));
  EXPECT_FALSE(store_->eraseUser({"client-a", "alma"}, "erased:0123"));
  EXPECT_TRUE(store_->auditEntriesAbout("client-a", "alma", 10).empty());
  const auto kept = store_->auditEntriesAbout("client-a", "erased:0123", 10);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].detail["user"], "erased:0123");
  EXPECT_EQ(kept[0].detail["note"], "about \"alma\"");  // only the id as a whole string goes
  EXPECT_TRUE(store_->readUser({"client-a", "al"}));

  EXPECT_TRUE(store_->deleteProject("client-a"));
  EXPECT_FALSE(store_->readProject("client-a"));
  EXPECT_FALSE(store_->readUser(kAlice));
  EXPECT_FALSE(store_->readDevice("dev-1").user);
  EXPECT_FALSE(store_->challengeOwner("challenge-1"));
  EXPECT_TRUE(store_->searchUsers("client-a", "", "", 10).empty());
  EXPECT_TRUE(store_->auditEntries("client-a", 0, 10).empty());
  EXPECT_EQ(store_->countDevices(), 0u);
  EXPECT_FALSE(store_->deleteProject("client-a"));
}

// A project has at most the keys it may have, each found by its hash until removed; the users
// worth a look are counted from challenges, devices first seen and device changes refused.
TEST_P(StoreTest, KeysAreKeptByHashAndSuspectsCountedOverAWindow) {
  ASSERT_TRUE(commit(everyKind()));
  const zelk::server::ProjectKey first{"key_1", "client-a", "hash-1", at(1), {}};
  EXPECT_TRUE(store_->addProjectKey(first, 2));
  EXPECT_TRUE(store_->addProjectKey({"key_2", "client-a", "hash-2", at(2), {}}, 2));
  EXPECT_FALSE(store_->addProjectKey({"key_3", "client-a", "hash-3", at(3), {}}, 2));
  EXPECT_TRUE(store_->addProjectKey({"key_4", "client-b", "hash-4", at(4), {}}, 2));
  ASSERT_EQ(store_->projectKeys("client-a").size(), 2u);
  EXPECT_EQ(store_->projectKeys("client-a")[0].id, "key_1");
  const auto used = store_->useProjectKey("hash-1", at(100'000));
  ASSERT_TRUE(used);
  EXPECT_EQ(used->project, "client-a");
  EXPECT_EQ(store_->useProjectKey("hash-1", at(100'001))->lastUsedAt, at(100'000));
  EXPECT_FALSE(store_->useProjectKey("hash-9", at(1)));
  EXPECT_FALSE(store_->removeProjectKey("client-b", "key_1"));
  EXPECT_TRUE(store_->removeProjectKey("client-a", "key_1"));
  EXPECT_FALSE(store_->useProjectKey("hash-1", at(1)));

  Unit later;
  later.user = kAlice;
  later.baseVersion = 1;
  later.changes.profile = {"alice@example.com", ""};
  zelk::server::KnownDevice seen;
  seen.vendorId = "v";
  seen.firstSeenAt = at(25);
  later.changes.knownDevices = {seen};
  zelk::server::addAudit(later.changes, "client-a", "device.change_refused", "alice");
  later.changes.audit.back().at = at(30);
  ASSERT_TRUE(commit(std::move(later)));
  const auto counted = store_->suspects("client-a", at(20), 10);
  ASSERT_EQ(counted.size(), 1u);
  EXPECT_EQ(counted[0].user, "alice");
  EXPECT_EQ(counted[0].challenges, 1u);  // raised at 20
  EXPECT_EQ(counted[0].newDevices, 1u);
  EXPECT_EQ(counted[0].refusedChanges, 1u);
  EXPECT_TRUE(store_->suspects("client-a", at(31), 10).empty());
  EXPECT_TRUE(store_->suspects("client-b", at(0), 10).empty());
}

// Two calls decided on the same records: the second to be written finds them changed, and
// nothing of it is written; the other units of its commit are.
TEST_P(StoreTest, ChangesDecidedOnRecordsChangedSinceAreNotWritten) {
  ASSERT_TRUE(commit(everyKind()));
  std::vector<Unit> units(3);
  units[0].user = kAlice;
  units[0].baseVersion = 0;  // stale: alice is at version 1
  units[0].changes.devices.emplace_back(deviceNamed("dev-stale", DeviceType::mobile, 0));
  units[0].changes.audit.push_back({0, Clock::now(), "client-a", "stale", "alice", {}});
  units[1].user = UserKey{"client-a", "bob"};
  units[1].changes.profile.email = "bob@example.com";
  units[1].changes.devices.emplace_back(deviceNamed("dev-bob", DeviceType::mobile, 0));
  units[2].changes.audit.push_back({0, Clock::now(), "client-a", "loose", "nobody", {}});
  store_->commit(units);
  EXPECT_TRUE(units[0].conflict);
  EXPECT_FALSE(units[1].conflict);
  EXPECT_FALSE(units[2].conflict);
  EXPECT_EQ(store_->readUser(kAlice)->record.devices.size(), 2u);
  EXPECT_FALSE(store_->readDevice("dev-stale").user);
  const auto bob = store_->readUser({"client-a", "bob"});
  ASSERT_TRUE(bob);
  EXPECT_EQ(bob->record.version, 1u);
  EXPECT_EQ(bob->record.profile.email, "bob@example.com");
  std::vector<std::string> kinds;
  for (const AuditEntry& entry : store_->auditEntries("", 0, 10)) kinds.push_back(entry.kind);
  EXPECT_EQ(kinds, std::vector<std::string>{"loose"});

  // Whoever comes second to a new user finds it there.
  Unit late;
  late.user = UserKey{"client-a", "bob"};
  late.changes.profile.email = "someone@example.com";
  EXPECT_FALSE(commit(std::move(late)));
  EXPECT_EQ(store_->readUser({"client-a", "bob"})->record.profile.email, "bob@example.com");
}

TEST_P(StoreTest, AnIdentityIsTheOneNamedOrElseTheVendorsOwn) {
  const auto identify = [&](const std::string& project, const std::string& vendor,
                            const std::string& named, const std::string& fresh) {
    std::vector<Unit> units(1);
    units[0].identify = IdentifyRequest{project, vendor, named, fresh, {{"model", "X"}}, at(5)};
    store_->commit(units);
    return units[0].identified;
  };
  const auto first = identify("client-a", "vendor-1", "", "id_one");
  EXPECT_EQ(first.identity, "id_one");
  EXPECT_FALSE(first.known);
  // The same vendor again: its identity, whatever new id was offered.
  EXPECT_EQ(identify("client-a", "vendor-1", "", "id_two").identity, "id_one");
  EXPECT_EQ(identify("client-a", "vendor-1", "id_unknown", "id_three").identity, "id_one");
  const auto named = identify("client-a", "vendor-2", "id_one", "id_four");
  EXPECT_EQ(named.identity, "id_one");
  EXPECT_TRUE(named.known);
  // Another project knows neither the identity nor the vendor.
  const auto other = identify("client-b", "vendor-1", "id_one", "id_five");
  EXPECT_EQ(other.identity, "id_five");
  EXPECT_FALSE(other.known);
}

// A stream that opens takes its device off the idle sweep's list; one that ends puts it back
// once its grace is over. Writes happen when streams open and end, not as they stay open.
TEST_P(StoreTest, StreamsKeepTheirDevicesFromTheIdleSweepUntilTheyEnd) {
  ASSERT_TRUE(commit(everyKind()));  // both devices last seen at(2)
  const auto quiet = [&](Clock::time_point before) {
    return store_->quietUsers("client-a", before, 10).size();
  };
  // Last active at the moment asked of is past a grace that ends then.
  EXPECT_EQ(quiet(at(1)), 0u);
  EXPECT_EQ(quiet(at(2)), 1u);
  const auto beats = store_->beat(at(0), Clock::now());
  ASSERT_FALSE(beats.empty());
  EXPECT_TRUE(std::any_of(beats.begin(), beats.end(),
                          [](const auto& beat) { return beat.id == "in_test"; }));

  StreamChanges opened;
  opened.opened = {"dev-1", "dev-2"};
  store_->writeStreams(opened);
  EXPECT_EQ(quiet(at(1'000'000)), 0u);
  auto facts = store_->readUser(kAlice)->streams;
  EXPECT_EQ(facts["dev-1"].hosts, std::vector<std::string>{"in_test"});

  StreamChanges ended;
  ended.ended = {{"dev-1", at(500)}};
  store_->writeStreams(ended);
  EXPECT_EQ(quiet(at(499)), 0u);
  EXPECT_EQ(quiet(at(500)), 1u);
  facts = store_->readUser(kAlice)->streams;
  EXPECT_TRUE(facts["dev-1"].hosts.empty());
  EXPECT_EQ(facts["dev-1"].endedAt, at(500));
  EXPECT_EQ(facts["dev-2"].hosts, std::vector<std::string>{"in_test"});
  // What other instances learned of its streams goes with the device.
  Unit removal;
  removal.user = kAlice;
  removal.baseVersion = 1;
  removal.changes.removedDevices = {"dev-1", "dev-2"};
  ASSERT_TRUE(commit(std::move(removal)));
  EXPECT_EQ(quiet(at(1'000'000)), 0u);
}

// The streams of an instance that stopped beating count as ended at its last beat.
TEST_P(StoreTest, TheStreamsOfASilentInstanceEndAtItsLastBeat) {
  if (GetParam() != "postgres")
    GTEST_SKIP() << "one instance serves the records: no other to fall silent";
  ASSERT_TRUE(commit(everyKind()));
  const auto now = fromMillis(zelk::server::toMillis(Clock::now()));
  auto gone = open("in_gone");
  gone->beat(now - 60s, now - 10s);
  StreamChanges opened;
  opened.opened = {"dev-1", "dev-2"};
  gone->writeStreams(opened);
  store_->writeStreams(StreamChanges{{"dev-2"}, {}});
  store_->beat(now - 60s, now);
  EXPECT_EQ(store_->readUser(kAlice)->streams["dev-1"].hosts, std::vector<std::string>{"in_gone"});

  store_->endStreamsOfSilentInstances(now - 5s);
  const auto facts = store_->readUser(kAlice)->streams;
  EXPECT_TRUE(facts.at("dev-1").hosts.empty());
  EXPECT_EQ(facts.at("dev-1").endedAt, now - 10s);
  // A device still streaming on an instance alive keeps counting.
  EXPECT_EQ(facts.at("dev-2").hosts, std::vector<std::string>{"in_test"});
  EXPECT_EQ(store_->quietUsers("client-a", at(3), 10).size(), 1u);
  store_->writeStreams(StreamChanges{{}, {{"dev-2", now}}});
  EXPECT_EQ(store_->readUser(kAlice)->streams.at("dev-2").endedAt, now);
}

TEST_P(StoreTest, OldDetachesAndAuditEntriesBeyondTheRetentionAreForgotten) {
  Unit unit = everyKind();
  unit.changes.detached[0].detachedAt = Clock::now() - 2h;
  ASSERT_TRUE(commit(std::move(unit)));
  store_->setAuditRetention({5, std::chrono::hours(24)});
  for (int i = 0; i < 8; ++i) {
    Unit entry;
    entry.changes.audit.push_back({0,
                                   Clock::now(),
                                   i % 2 ? "client-b" : "client-a",
                                   "code.sent",
                                   "user-" + std::to_string(i),
                                   {{"n", i}}});
    ASSERT_TRUE(commit(std::move(entry)));
  }
  const auto all = store_->auditEntries("", 0, 100);
  ASSERT_EQ(all.size(), 5u);  // the newest five
  EXPECT_EQ(all[0].subject, "user-7");
  EXPECT_GT(all[0].seq, all[1].seq);
  EXPECT_EQ(all[0].detail["n"], 7);
  const auto ofA = store_->auditEntries("client-a", 0, 100);
  ASSERT_EQ(ofA.size(), 2u);
  EXPECT_EQ(ofA[0].subject, "user-6");
  const auto older = store_->auditEntries("", all[1].seq, 2);
  ASSERT_EQ(older.size(), 2u);
  EXPECT_EQ(older[0].seq, all[2].seq);
  Unit stale;
  stale.changes.audit.push_back({0, Clock::now() - 48h, "", "rate_limited", "", {}});
  ASSERT_TRUE(commit(std::move(stale)));  // too old to keep: trimmed at once
  for (const auto& entry : store_->auditEntries("", 0, 100)) EXPECT_NE(entry.kind, "rate_limited");

  EXPECT_TRUE(store_->readDetached("dev-gone"));
  store_->prune(Clock::now() - 1h, {5, std::chrono::hours(24)});
  EXPECT_FALSE(store_->readDetached("dev-gone"));
  EXPECT_EQ(store_->auditEntries("", 0, 100).size(), 5u);
}

TEST_P(StoreTest, TheOutboxHandsOutDueMessagesAndKeepsTheirAttempts) {
  EXPECT_FALSE(store_->nextDue().has_value());
  Unit unit;
  for (int i = 0; i < 3; ++i) {
    OutboxMessage message;
    message.id = "m" + std::to_string(i);
    message.kind = i == 0 ? "webhook" : "email";
    message.project = "client-a";
    message.payload = "{\"n\":" + std::to_string(i) + "}";
    message.createdAt = at(i);
    message.nextAttemptAt = at(100 - i * 10);  // m2 is due first
    unit.changes.outbox.push_back(message);
  }
  ASSERT_TRUE(commit(std::move(unit)));
  EXPECT_EQ(store_->nextDue(), at(80));
  auto due = store_->dueMessages(at(95), 10);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(due[0].id, "m2");
  EXPECT_EQ(due[1].id, "m1");

  OutboxMessage failed = due[0];
  failed.attempts = 5;
  failed.state = OutboxState::failed;
  failed.lastError = "connection refused";
  failed.payload = "{}";
  store_->updateMessage(failed);
  OutboxMessage done = due[1];
  done.attempts = 1;
  done.state = OutboxState::done;
  store_->updateMessage(done);
  EXPECT_EQ(store_->nextDue(), at(100));

  const auto all = store_->messages(std::nullopt, 10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].id, "m2");  // newest first
  const auto failures = store_->messages(OutboxState::failed, 10);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].attempts, 5);
  EXPECT_EQ(failures[0].lastError, "connection refused");
  EXPECT_EQ(failures[0].payload, "{}");

  store_->purgeMessages(at(1000), at(0));  // the done one goes, the failed one is too recent
  EXPECT_EQ(store_->messages(std::nullopt, 10).size(), 2u);
  EXPECT_TRUE(store_->messages(OutboxState::done, 10).empty());

  // A failed code is never sent again (its code is gone); a failed webhook event is, at once.
  EXPECT_FALSE(store_->retryWebhook("m2", at(200)));
  EXPECT_FALSE(store_->retryWebhook("m0", at(200)));  // pending, not failed
  auto webhook = store_->dueMessages(at(100), 10);
  ASSERT_EQ(webhook.size(), 1u);
  webhook[0].attempts = 8;
  webhook[0].state = OutboxState::failed;
  webhook[0].lastError = "HTTP 500";
  store_->updateMessage(webhook[0]);
  EXPECT_FALSE(store_->nextDue().has_value());
  EXPECT_TRUE(store_->retryWebhook("m0", at(200)));
  EXPECT_FALSE(store_->retryWebhook("m0", at(200)));  // it is pending now
  EXPECT_EQ(store_->nextDue(), at(200));
  const auto again = store_->dueMessages(at(200), 10);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].id, "m0");
  EXPECT_EQ(again[0].attempts, 8);
  EXPECT_EQ(again[0].payload, "{\"n\":0}");
}

// Console operators are written whole and found by name; sessions by the hash of their cookie,
// dropped one by one or every one of an operator, and forgotten a month after they were last seen.
TEST_P(StoreTest, OperatorsAreKeptByNameAndSessionsByTheirHash) {
  EXPECT_FALSE(store_->readOperator("root"));
  EXPECT_TRUE(store_->readOperators().empty());
  store_->putOperator({"root", "owner", "", "setup-hash", at(600'000), at(1)});
  store_->putOperator(
      {"ann", "viewer", "$argon2id$v=19$m=65536,t=3,p=1$c2FsdA$aGFzaA", "", {}, at(2)});
  store_->putOperator({"Zed", "operator", "$argon2id$zed", "", {}, at(3)});
  const auto root = store_->readOperator("root");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name, "root");
  EXPECT_EQ(root->role, "owner");
  EXPECT_EQ(root->passwordHash, "");
  EXPECT_EQ(root->setupHash, "setup-hash");
  EXPECT_EQ(root->setupUntil, at(600'000));
  EXPECT_EQ(root->createdAt, at(1));
  EXPECT_EQ(store_->readOperator("ann")->passwordHash,
            "$argon2id$v=19$m=65536,t=3,p=1$c2FsdA$aGFzaA");
  EXPECT_FALSE(store_->readOperator("Root"));

  // The password set and the set-up token used: the account replaced whole.
  store_->putOperator({"root", "operator", "$argon2id$root", "", at(5), at(1)});
  const auto changed = store_->readOperator("root");
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->role, "operator");
  EXPECT_EQ(changed->passwordHash, "$argon2id$root");
  EXPECT_EQ(changed->setupHash, "");
  EXPECT_EQ(changed->setupUntil, at(5));
  std::vector<std::string> names;
  for (const OperatorAccount& account : store_->readOperators()) names.push_back(account.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Zed", "ann", "root"}));  // by name, byte by byte

  EXPECT_FALSE(store_->readSession("hash-1"));
  store_->putSession({"hash-1", "root", "csrf-1", at(10), at(10)});
  store_->putSession({"hash-2", "root", "csrf-2", at(11), at(11)});
  store_->putSession({"hash-3", "ann", "csrf-3", at(12), at(12)});
  const auto first = store_->readSession("hash-1");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->hash, "hash-1");
  EXPECT_EQ(first->name, "root");
  EXPECT_EQ(first->csrf, "csrf-1");
  EXPECT_EQ(first->createdAt, at(10));
  EXPECT_EQ(first->seenAt, at(10));
  // Seen again: written whole, on its own row.
  store_->putSession({"hash-1", "root", "csrf-1", at(10), at(20)});
  EXPECT_EQ(store_->readSession("hash-1")->seenAt, at(20));
  EXPECT_EQ(store_->readSession("hash-1")->createdAt, at(10));
  EXPECT_EQ(store_->readSession("hash-2")->seenAt, at(11));

  store_->dropSession("hash-1");
  store_->dropSession("hash-9");
  EXPECT_FALSE(store_->readSession("hash-1"));
  EXPECT_TRUE(store_->readSession("hash-2"));
  store_->dropSessionsOf("root");
  EXPECT_FALSE(store_->readSession("hash-2"));
  const auto kept = store_->readSession("hash-3");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->name, "ann");
  EXPECT_EQ(kept->csrf, "csrf-3");
  EXPECT_TRUE(store_->readOperator("root"));  // the account stays

  const auto now = fromMillis(toMillis(Clock::now()));
  store_->putSession({"hash-old", "ann", "csrf-4", now - 40 * 24h, now - 31 * 24h});
  store_->putSession({"hash-recent", "ann", "csrf-5", now - 40 * 24h, now - 29 * 24h});
  store_->prune(now - 1h, {});
  EXPECT_FALSE(store_->readSession("hash-old"));
  EXPECT_TRUE(store_->readSession("hash-recent"));
}

// The console's overview counts over every project: what is attached and streaming on an
// instance alive, the challenges and codes since a time, the outbox, the attaches of each of the
// last minutes, and the instances alive.
TEST_P(StoreTest, TheOverviewCountsEveryProjectAndLeavesOutWhatIsOutsideItsWindows) {
  const Clock::time_point now = at(60 * 60'000);
  const Clock::time_point since = now - 2min;
  const auto user = [&](const std::string& project, const std::string& name,
                        std::vector<std::pair<std::string, Clock::time_point>> devices,
                        std::vector<std::tuple<std::string, Clock::time_point, bool>> challenges) {
    Unit unit;
    unit.user = UserKey{project, name};
    for (const auto& [id, attachedAt] : devices) {
      Device device = deviceNamed(id, DeviceType::mobile, 0);
      device.attachedAt = attachedAt;
      device.lastSeenAt = attachedAt;
      unit.changes.devices.emplace_back(device);
    }
    for (const auto& [id, createdAt, verified] : challenges) {
      Challenge challenge;
      challenge.id = id;
      challenge.project = project;
      challenge.user = name;
      challenge.reason = "overall";
      challenge.createdAt = createdAt;
      challenge.verified = challenge.resolved = verified;
      unit.changes.challenges.push_back(challenge);
    }
    return unit;
  };
  // Attaches over the 5 minutes before `now`, each minute's start in it and its end not.
  Unit alice = user("client-a", "alice",
                    {{"a1", now - 5min}, {"a2", now - 4min - 1ms}, {"a3", now - 5min - 1ms}},
                    {{"ch-old", since - 1ms, true}, {"ch-edge", since, true}});
  const auto audit = [](Unit& unit, const std::string& project, const std::string& kind,
                        Clock::time_point when) {
    zelk::server::addAudit(unit.changes, project, kind, unit.user ? unit.user->user : "");
    unit.changes.audit.back().at = when;
  };
  audit(alice, "client-a", "code.sent", since);
  audit(alice, "client-a", "code.sent", since - 1ms);
  audit(alice, "client-a", "code.rejected", now);
  ASSERT_TRUE(commit(std::move(alice)));
  Unit bob = user("client-b", "bob", {{"b1", now - 1ms}, {"b2", now}, {"b3", now - 4min}},
                  {{"ch-open", now - 1min, false}, {"ch-done", now - 30s, true}});
  audit(bob, "client-b", "code.sent", now - 10s);
  ASSERT_TRUE(commit(std::move(bob)));
  Unit outbox;
  const std::pair<const char*, OutboxState> messages[] = {{"client-a", OutboxState::pending},
                                                          {"client-b", OutboxState::pending},
                                                          {"client-b", OutboxState::failed},
                                                          {"client-a", OutboxState::done}};
  for (const auto& [project, state] : messages) {
    OutboxMessage message;
    message.id = "m" + std::to_string(outbox.changes.outbox.size());
    message.kind = "email";
    message.project = project;
    message.payload = "{}";
    message.createdAt = message.nextAttemptAt = now - 1h;
    message.state = state;
    outbox.changes.outbox.push_back(message);
  }
  ASSERT_TRUE(commit(std::move(outbox)));

  // Streams: two here; on the SQL stores also one on an instance that stopped beating (of an
  // earlier run of the process, for SQLite, which one process serves at a time), and on
  // PostgreSQL one device streaming on two instances alive, counted once.
  std::unique_ptr<Store> gone, other;
  if (GetParam() != "memory") {
    if (GetParam() == "sqlite") store_.reset();
    gone = open("in_gone");
    gone->beat(now - 10min, now - 1min);
    gone->writeStreams(StreamChanges{{"b3", "b1"}, {}});
    if (GetParam() == "sqlite") {
      gone.reset();
      store_ = open("in_test");
    }
  }
  if (GetParam() == "postgres") {
    other = open("in_other");
    other->beat(now - 20min, now - 10s);
    other->writeStreams(StreamChanges{{"a1"}, {}});
  }
  store_->beat(now - 30min, now);
  store_->writeStreams(StreamChanges{{"a1", "b1"}, {}});

  const auto figures = store_->overview(now, since, 5, now - 30s);
  EXPECT_EQ(figures.devices, 6u);
  EXPECT_EQ(figures.streams, 2u);
  EXPECT_EQ(figures.challengesRaised, 3u);
  EXPECT_EQ(figures.challengesVerified, 2u);
  EXPECT_EQ(figures.codesSent, 2u);
  EXPECT_EQ(figures.outboxPending, 2u);
  EXPECT_EQ(figures.outboxFailed, 1u);
  EXPECT_EQ(figures.attachesByMinute, (std::vector<std::size_t>{2, 1, 0, 0, 1}));
  std::vector<std::string> alive;
  for (const auto& instance : figures.instances) alive.push_back(instance.id);
  if (GetParam() == "postgres") {
    EXPECT_EQ(alive, (std::vector<std::string>{"in_other", "in_test"}));
  } else {
    EXPECT_EQ(alive, std::vector<std::string>{"in_test"});
  }
  const auto self = std::find_if(figures.instances.begin(), figures.instances.end(),
                                 [](const auto& instance) { return instance.id == "in_test"; });
  ASSERT_NE(self, figures.instances.end());
  EXPECT_EQ(self->startedAt, now - 30min);
  EXPECT_EQ(self->beatAt, now);

  // A minute later, over a window of two: the attaches of the last minute only; and once every
  // instance has been silent past the threshold, neither they nor their streams.
  const auto later = store_->overview(now + 1min, now + 1min, 2, now + 1s);
  EXPECT_EQ(later.devices, 6u);
  EXPECT_EQ(later.attachesByMinute, (std::vector<std::size_t>{1, 1}));  // b1, then b2
  EXPECT_EQ(later.streams, 0u);
  EXPECT_TRUE(later.instances.empty());
  EXPECT_EQ(later.challengesRaised, 0u);
  EXPECT_EQ(later.codesSent, 0u);
  EXPECT_EQ(later.outboxPending, 2u);
  EXPECT_TRUE(store_->overview(now, since, 0, now).attachesByMinute.empty());

  // Devices stop counting however they go: with their user erased, with their project deleted.
  EXPECT_TRUE(store_->eraseUser({"client-b", "bob"}, "erased:b0b"));
  EXPECT_EQ(store_->overview(now, since, 5, now - 30s).devices, 3u);
  EXPECT_EQ(store_->countDevices(), 3u);
  store_->deleteProject("client-a");  // never configured, so "not found", its devices gone still
  EXPECT_EQ(store_->overview(now, since, 5, now - 30s).devices, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("memory", "sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

}  // namespace
