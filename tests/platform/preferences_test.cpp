// SPDX-License-Identifier: Apache-2.0
#include <zelk/preferences.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zelk {
namespace {

namespace fs = std::filesystem;

// A fresh directory under the test temp directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::path(testing::TempDir()) / "zelk-prefs-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

// The file's contents parsed as JSON; fails the test when it is not valid JSON.
nlohmann::json readJSON(const fs::path& path) {
  std::string text = readText(path);
  nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(document.is_discarded()) << "not JSON: " << text;
  return document;
}

std::vector<std::string> directoryNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// The value the killed writer below stores for sequence number `seq`: the number followed by a
// few kilobytes that depend on it, so a torn or mixed write cannot pass for a real value.
std::string writerValue(std::uint64_t seq) {
  std::string value = "seq:" + std::to_string(seq) + ":";
  for (std::size_t i = 0; i < 4096; ++i)
    value.push_back(static_cast<char>('a' + (seq * 7 + i) % 26));
  return value;
}

// The sequence number of a value `writerValue` produced, or nothing for any other text.
std::optional<std::uint64_t> writerSequence(std::string_view value) {
  constexpr std::string_view kPrefix = "seq:";
  if (value.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::size_t colon = value.find(':', kPrefix.size());
  if (colon == std::string_view::npos || colon == kPrefix.size() || colon - kPrefix.size() > 19)
    return std::nullopt;
  std::uint64_t seq = 0;
  for (char c : value.substr(kPrefix.size(), colon - kPrefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    seq = seq * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value != writerValue(seq)) return std::nullopt;
  return seq;
}

std::size_t countLines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(MemoryPreferencesTest, StoresReplacesAndRemovesPerInstance) {
  auto store = PreferencesStore::inMemory();
  auto other = PreferencesStore::inMemory();
  EXPECT_EQ(store->string("k"), std::nullopt);
  store->set("k", "one");
  store->set("k", "two");
  store->set("empty", "");
  EXPECT_EQ(store->string("k"), "two");
  EXPECT_EQ(store->string("empty"), "");
  EXPECT_EQ(other->string("k"), std::nullopt);
  store->set("k", std::nullopt);
  EXPECT_EQ(store->string("k"), std::nullopt);
  EXPECT_EQ(store->string("empty"), "");
}

TEST(FilePreferencesTest, ValuesSurviveIntoAFreshStoreOnTheSameFile) {
  TempDir dir;
  const fs::path file = dir.path() / "a" / "b" / "preferences.json";
  const std::string awkward =
      "quote \" backslash \\ newline \n tab \t unicode \u00e9\u4e2d NUL-free";
  {
    auto store = PreferencesStore::file(file);
    store->set("dorvi_device_identity", "{\"id\":\"X\"}");
    store->set("awkward", awkward);
    store->set("empty", "");
    store->set("replaced", "old");
    store->set("replaced", "new");
    EXPECT_EQ(store->string("replaced"), "new");
  }

  auto fresh = PreferencesStore::file(file);
  EXPECT_EQ(fresh->string("dorvi_device_identity"), "{\"id\":\"X\"}");
  EXPECT_EQ(fresh->string("awkward"), awkward);
  EXPECT_EQ(fresh->string("empty"), "");
  EXPECT_EQ(fresh->string("replaced"), "new");
  EXPECT_EQ(fresh->string("missing"), std::nullopt);

  EXPECT_EQ(readJSON(file), (nlohmann::json{{"dorvi_device_identity", "{\"id\":\"X\"}"},
                                            {"awkward", awkward},
                                            {"empty", ""},
                                            {"replaced", "new"}}));
  EXPECT_EQ(directoryNames(file.parent_path()),
            (std::vector<std::string>{".preferences.json.lock", "preferences.json"}));

  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.parent_path().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(FilePreferencesTest, RemovalPersistsAndKeepsOtherKeys) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  auto store = PreferencesStore::file(file);
  store->set("gone", "1");
  store->set("kept", "2");
  store->set("gone", std::nullopt);
  store->set("never-there", std::nullopt);
  EXPECT_EQ(store->string("gone"), std::nullopt);

  auto fresh = PreferencesStore::file(file);
  EXPECT_EQ(fresh->string("gone"), std::nullopt);
  EXPECT_EQ(fresh->string("kept"), "2");
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"kept", "2"}}));
}

TEST(FilePreferencesTest, AMissingFileIsEmptySilentlyAndReadingCreatesNothing) {
  TempDir dir;
  const fs::path file = dir.path() / "sub" / "preferences.json";
  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("k"), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(dir.path() / "sub"));
}

// Keys and values built piece by piece: GCC 12 at -O3 misreads "literal" + std::string as an
// overlapping copy.
std::string keyOf(int thread, int index) {
  std::string key = "t";
  key += std::to_string(thread);
  key += '-';
  key += std::to_string(index);
  return key;
}

std::string valueOf(const std::string& key) {
  return std::string("value of ").append(key);
}

TEST(FilePreferencesTest, ConcurrentSetsFromSeveralThreadsKeepEveryKey) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  auto store = PreferencesStore::file(file);
  constexpr int kThreads = 6;
  constexpr int kKeysPerThread = 15;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < kKeysPerThread; ++i) {
        const std::string key = keyOf(t, i);
        store->set(key, "first");
        store->set(key, valueOf(key));
        // Another thread's key, which may or may not be there yet, must never read as garbage.
        auto other = store->string(keyOf((t + 1) % kThreads, i));
        if (other) {
          EXPECT_TRUE(*other == "first" || other->starts_with("value of ")) << *other;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  nlohmann::json expected = nlohmann::json::object();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeysPerThread; ++i) {
      const std::string key = keyOf(t, i);
      expected[key] = valueOf(key);
    }
  }
  EXPECT_EQ(readJSON(file), expected);
  auto fresh = PreferencesStore::file(file);
  EXPECT_EQ(fresh->string("t0-0"), "value of t0-0");
  EXPECT_EQ(fresh->string("t5-14"), "value of t5-14");
  EXPECT_EQ(directoryNames(dir.path()),
            (std::vector<std::string>{".preferences.json.lock", "preferences.json"}));
}

struct CorruptFile {
  const char* name;
  const char* contents;
};

class CorruptPreferencesTest : public testing::TestWithParam<CorruptFile> {};

TEST_P(CorruptPreferencesTest, IsEmptyReportedOnceAndRepairedByTheNextSet) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  writeText(file, GetParam().contents);

  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("k"), std::nullopt);
  EXPECT_EQ(store->string("k"), std::nullopt);
  EXPECT_EQ(store->string("other"), std::nullopt);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(countLines(output), 1u) << output;
  EXPECT_TRUE(output.starts_with("[Zelk SDK]: ")) << output;
  EXPECT_NE(output.find(file.string()), std::string::npos) << output;
  EXPECT_NE(output.find("unreadable"), std::string::npos) << output;

  testing::internal::CaptureStdout();
  store->set("k", "v");
  EXPECT_EQ(store->string("k"), "v");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"k", "v"}}));
}

TEST_P(CorruptPreferencesTest, IsRepairedEvenByRemovingAnAbsentKey) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  writeText(file, GetParam().contents);

  testing::internal::CaptureStdout();
  PreferencesStore::file(file)->set("absent", std::nullopt);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(readJSON(file), nlohmann::json::object());
}

INSTANTIATE_TEST_SUITE_P(Contents, CorruptPreferencesTest,
                         testing::Values(CorruptFile{"Garbage", "\x01\xff not json at all \n\n"},
                                         CorruptFile{"TruncatedObject", "{\"k\": \"some val"},
                                         CorruptFile{"Array", "[\"k\", \"v\"]"},
                                         CorruptFile{"Number", "42"}, CorruptFile{"Empty", ""},
                                         CorruptFile{"TrailingGarbage", "{\"k\":\"v\"} x"},
                                         CorruptFile{"InvalidUTF8", "{\"k\": \"\xc3\x28\"}"}),
                         [](const testing::TestParamInfo<CorruptFile>& info) {
                           return info.param.name;
                         });

TEST(FilePreferencesTest, NonTextMembersAreSkippedReportedOnceAndDroppedByTheNextSet) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  writeText(file, R"({"text":"kept","number":1,"null":null,"object":{"a":"b"},"list":["x"],)"
                  R"("bool":true})");

  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("text"), "kept");
  for (const char* key : {"number", "null", "object", "list", "bool"}) {
    EXPECT_EQ(store->string(key), std::nullopt) << key;
  }
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(countLines(output), 1u) << output;
  EXPECT_NE(output.find(file.string()), std::string::npos) << output;

  // Setting the value the key already has still rewrites the file, to drop the skipped members.
  store->set("text", "kept");
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"text", "kept"}}));
}

TEST(FilePreferencesTest, AnUnwritableLocationIsReportedAndTheValueKeptInMemory) {
  TempDir dir;
  writeText(dir.path() / "not-a-directory", "x");
  const fs::path file = dir.path() / "not-a-directory" / "preferences.json";

  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  store->set("k", "v");
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(store->string("k"), "v");
  EXPECT_NE(output.find("[Zelk SDK]: could not save preferences file " + file.string()),
            std::string::npos)
      << output;
  EXPECT_EQ(directoryNames(dir.path()), std::vector<std::string>{"not-a-directory"});
}

TEST(FilePreferencesTest, APathThatCannotBeReadIsNeverWrittenOverAndIsRetriedByTheNextSet) {
  TempDir dir;
  // A directory where the file should be: it opens, but reading it fails.
  const fs::path file = dir.path() / "preferences.json";
  fs::create_directory(file);

  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  store->set("k", "v");
  store->set("k2", "v2");
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output, "[Zelk SDK]: preferences file " + file.string() +
                        " could not be read (Is a directory); changes are kept in memory until "
                        "it can be read\n");
  EXPECT_EQ(store->string("k"), "v");
  EXPECT_TRUE(fs::is_directory(file));
  EXPECT_EQ(directoryNames(dir.path()),
            (std::vector<std::string>{".preferences.json.lock", "preferences.json"}));

  fs::remove(file);
  testing::internal::CaptureStdout();
  store->set("k", "v");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"k", "v"}, {"k2", "v2"}}));
}

TEST(FilePreferencesTest, LeftoverTemporaryFilesAreNeverReadAndAreRemovedAtOpen) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  const fs::path oldTemp = dir.path() / ".preferences.json.tmp-Ab12Cd";
  const fs::path recentTemp = dir.path() / ".preferences.json.tmp-Ef34Gh";
  const fs::path unrelated = dir.path() / ".other.json.tmp-Ij56Kl";
  writeText(file, R"({"k":"from the file"})");
  for (const auto& temp : {oldTemp, recentTemp, unrelated}) {
    writeText(temp, R"({"k":"from a temporary file","t":"t"})");
  }
  fs::last_write_time(oldTemp, fs::file_time_type::clock::now() - std::chrono::hours(24 * 3));

  // Every writer holds the lock while its temporary file exists, so whatever is there when the
  // lock is free was left by a crash, however recent.
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("k"), "from the file");
  EXPECT_EQ(store->string("t"), std::nullopt);
  EXPECT_FALSE(fs::exists(oldTemp));
  EXPECT_FALSE(fs::exists(recentTemp));
  EXPECT_TRUE(fs::exists(unrelated));
}

TEST(FilePreferencesTest, ACorruptFileIsKeptAsABackupBeforeItIsReplaced) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  const std::string garbage = "{\"dorvi_device_identity\": \"keep me\", oops";
  writeText(file, garbage);

  testing::internal::CaptureStdout();
  auto store = PreferencesStore::file(file);
  store->set("k", "v");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"k", "v"}}));
  EXPECT_EQ(readText(dir.path() / "preferences.json.corrupt"), garbage);
}

TEST(FilePreferencesTest, ASymbolicLinkIsWrittenThroughToItsTarget) {
  TempDir dir;
  fs::create_directory(dir.path() / "real");
  fs::create_directory(dir.path() / "config");
  const fs::path target = dir.path() / "real" / "prefs.json";
  const fs::path link = dir.path() / "config" / "preferences.json";
  writeText(target, R"({"host key":"host value"})");
  fs::create_symlink("../real/prefs.json", link);

  auto store = PreferencesStore::file(link);
  EXPECT_EQ(store->string("host key"), "host value");
  store->set("dorvi_device_identity", "id-1");

  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readJSON(target),
            (nlohmann::json{{"host key", "host value"}, {"dorvi_device_identity", "id-1"}}));
  EXPECT_EQ(PreferencesStore::file(link)->string("dorvi_device_identity"), "id-1");
}

// Runs `body` in a child process and returns its exit status (the child's own checks) together
// with what it printed on standard output.
template <class Body>
std::pair<int, std::string> inChildProcess(Body body) {
  int output[2];
  if (::pipe(output) != 0) return {-1, ""};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::close(output[0]);
    ::close(output[1]);
    int status = 1;
    try {
      status = body();
    } catch (...) {
    }
    std::fflush(stdout);
    ::_exit(status);
  }
  ::close(output[1]);
  std::string printed;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(output[0], buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    printed.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(output[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), printed};
}

TEST(FilePreferencesTest, AFailedFirstReadNeverWipesTheFile) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  writeText(file, R"({"dorvi_device_identity":"id-1","host key":"host value"})");

  // Out of file descriptors, as a busy host can be: the first read fails. Once descriptors are
  // free again, the next change must keep what the file held.
  auto [status, printed] = inChildProcess([&] {
    auto store = PreferencesStore::file(file);
    // A call on another store of the same kind while descriptors are free: the undefined-behaviour
    // checker verifies an object's type once per type, and it needs a descriptor to do so.
    (void)PreferencesStore::file(dir.path() / "other.json")->string("warm up");
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 512);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> hogs;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hogs.push_back(fd);
    if (errno != EMFILE) return 10;
    const bool readWhileOut = store->string("dorvi_device_identity").has_value();
    store->set("during", "kept in memory");
    for (int fd : hogs) ::close(fd);
    if (readWhileOut) return 11;
    store->set("after", "saved");
    if (store->string("dorvi_device_identity") != "id-1") return 12;
    if (store->string("during") != "kept in memory") return 13;
    return 0;
  });
  EXPECT_EQ(status, 0) << printed;
  EXPECT_NE(printed.find("[Zelk SDK]: preferences file " + file.string() +
                         " could not be read (Too many open files)"),
            std::string::npos)
      << printed;
  EXPECT_EQ(readJSON(file), (nlohmann::json{{"dorvi_device_identity", "id-1"},
                                            {"host key", "host value"},
                                            {"during", "kept in memory"},
                                            {"after", "saved"}}));
}

TEST(FilePreferencesTest, ProcessesSharingAStoreKeepEachOthersKeys) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  constexpr int kProcesses = 4;
  constexpr int kKeys = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto store = PreferencesStore::file(file);
      store->string("anything");  // each process has read the file before the others write
      for (int k = 0; k < kKeys; ++k) {
        store->set("p" + std::to_string(p) + "-" + std::to_string(k), "v");
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  nlohmann::json expected = nlohmann::json::object();
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kKeys; ++k)
      expected["p" + std::to_string(p) + "-" + std::to_string(k)] = "v";
  }
  EXPECT_EQ(readJSON(file), expected);
  // A store that read the file earlier sees the other processes' keys too.
  EXPECT_EQ(PreferencesStore::file(file)->string("p3-14"), "v");
}

TEST(FilePreferencesTest, AStoreSeesWhatAnotherProcessWrote) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("k"), std::nullopt);
  auto [status, printed] = inChildProcess([&] {
    PreferencesStore::file(file)->set("k", "from another process");
    return 0;
  });
  ASSERT_EQ(status, 0) << printed;
  EXPECT_EQ(store->string("k"), "from another process");
}

// Kills a child process that keeps rewriting the store at random moments and checks that the file
// always holds a complete earlier or later version.
TEST(FilePreferencesTest, AWriterKilledAtAnyMomentLeavesAValidFile) {
  TempDir dir;
  const fs::path file = dir.path() / "preferences.json";
  {
    auto store = PreferencesStore::file(file);
    store->set("keep", "kept value");
    store->set("counter", writerValue(0));
  }

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicroseconds(0, 4000);
  std::set<std::uint64_t> seen;
  constexpr int kRounds = 200;
  for (int round = 1; round <= kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child only ever writes until it is killed; it must never return into the test.
      try {
        auto store = PreferencesStore::file(file);
        // One complete write first, so that every round has replaced the file at least once
        // however slow writes are (sanitizers make them slow); the kill lands in later ones.
        std::uint64_t seq = static_cast<std::uint64_t>(round) * 1000000;
        store->set("counter", writerValue(seq));
        const char byte = 'R';
        (void)!::write(ready[1], &byte, 1);
        for (++seq;; ++seq) store->set("counter", writerValue(seq));
      } catch (...) {
      }
      ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t got;
    while ((got = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_EQ(got, 1) << "the writer did not start in round " << round;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended on its own in round " << round << ", status " << status;

    const std::string text = readText(file);
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    ASSERT_TRUE(document.is_object()) << "round " << round << ": " << text.substr(0, 200);
    ASSERT_EQ(document.size(), 2u) << "round " << round;
    ASSERT_EQ(document.value("keep", ""), "kept value") << "round " << round;
    ASSERT_TRUE(document["counter"].is_string()) << "round " << round;
    std::optional<std::uint64_t> seq = writerSequence(document["counter"].get<std::string>());
    ASSERT_TRUE(seq.has_value()) << "round " << round << ": torn value";
    seen.insert(*seq);
  }
  // The writer must actually have replaced the file, or the rounds above proved nothing.
  EXPECT_GT(seen.size(), 1u);
  auto store = PreferencesStore::file(file);
  EXPECT_EQ(store->string("keep"), "kept value");
}

class DefaultPathTest : public testing::Test {
 protected:
  void SetUp() override {
    save("XDG_CONFIG_HOME");
    save("HOME");
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  void save(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DefaultPathTest, PrefersAnAbsoluteXDGConfigHomeThenHomeThenTheCurrentDirectory) {
  ::setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(PreferencesStore::defaultPath(), fs::path("/xdg/config/zelk/preferences.json"));

  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(PreferencesStore::defaultPath(),
            fs::path("/home/someone/.config/zelk/preferences.json"));

  ::setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(PreferencesStore::defaultPath(),
            fs::path("/home/someone/.config/zelk/preferences.json"));

  ::setenv("HOME", "relative/home", 1);
  EXPECT_EQ(PreferencesStore::defaultPath(), fs::path());

  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  EXPECT_EQ(PreferencesStore::defaultPath(), fs::path());
}

TEST_F(DefaultPathTest, WithoutAHomeTheDefaultStoreKeepsValuesInMemoryOnly) {
  TempDir dir;
  auto [status, printed] = inChildProcess([&] {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    if (::chdir(dir.path().c_str()) != 0) return 10;
    auto store = PreferencesStore::defaultStore();
    store->set("dorvi_device_identity", "id-1");
    return store->string("dorvi_device_identity") == "id-1" ? 0 : 11;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(printed,
            "[Zelk SDK]: neither HOME nor XDG_CONFIG_HOME names a directory; preferences are kept "
            "in memory only\n");
  EXPECT_TRUE(directoryNames(dir.path()).empty());
}

}  // namespace
}  // namespace zelk
