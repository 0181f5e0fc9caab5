// SPDX-License-Identifier: Apache-2.0
#include <zelk/logs.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zelk {
namespace {

struct Captured {
  Logs::Level level;
  std::string subsystem;
  std::string category;
  std::string format;
  std::string message;
};

class LogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs::setSink([this](const Logs::Record& record) {
      records.push_back({record.level, std::string(record.subsystem), std::string(record.category),
                         std::string(record.format), std::string(record.message)});
    });
  }
  void TearDown() override {
    Logs::setSink({});
    Logs::setDebugEnabled(false);
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : records) out.push_back(record.message);
    return out;
  }

  Logs logs;
  std::vector<Captured> records;
};

TEST_F(LogsTest, FormatsTextIntegerAndDoubleArguments) {
  logs.log(LogMessages::waitingBeforeReconnecting, 1.23456);
  logs.log(LogMessages::unsuccessfulResponse, 204);
  logs.log(LogMessages::connectionError, std::string("timed out"));
  logs.log(LogMessages::starting);
  logs.log(Logs::Level::warn, "%d%% of %@", -7, "data");
  logs.log(Logs::Level::warn, "in %.3f s", 0.0005);
  EXPECT_EQ(messages(), (std::vector<std::string>{
                            "Waiting 1.235 seconds before reconnecting...",
                            "Unsuccessful response: 204",
                            "Connection error: timed out",
                            "Starting EventSource client",
                            "-7% of data",
                            "in 0.001 s",
                        }));
}

TEST_F(LogsTest, RecordCarriesLevelLabelsAndConstantFormat) {
  logs.log(LogMessages::unsuccessfulResponse, 500);
  logs.log(Logs::Level::error, "boom");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, Logs::Level::info);
  EXPECT_EQ(records[0].format, "Unsuccessful response: %d");
  EXPECT_EQ(records[0].subsystem, Logs::subsystem);
  EXPECT_EQ(records[0].category, Logs::category);
  EXPECT_EQ(records[1].level, Logs::Level::error);
}

TEST_F(LogsTest, DebugRecordsOnlyWhenTurnedOn) {
  logs.log(LogMessages::stateChange, "raw", "connecting");
  EXPECT_TRUE(records.empty());
  Logs::setDebugEnabled(true);
  logs.log(LogMessages::stateChange, "raw", "connecting");
  logs.log(LogMessages::initialReplyReceived);
  EXPECT_EQ(messages(),
            (std::vector<std::string>{"State: raw -> connecting", "Initial reply received"}));
  EXPECT_EQ(records[0].level, Logs::Level::debug);
}

TEST_F(LogsTest, ArgumentsConvertToTheSpecifier) {
  EXPECT_EQ(Logs::format("%d|%.3f|%@|%@", {2.9, 2, 1.5, 42}), "2|2.000|1.5|42");
  EXPECT_EQ(Logs::format("%d|%d", {-2.9, 1e300}), "-2|9223372036854775807");
  // A specifier without an argument stays as it is; extra arguments are ignored.
  EXPECT_EQ(Logs::format("%@ -> %@", {"raw"}), "raw -> %@");
  EXPECT_EQ(Logs::format("none", {1, 2}), "none");
  EXPECT_EQ(Logs::format("50%", {}), "50%");
}

// Points standard error at a temporary file while alive.
class StandardErrorCapture {
 public:
  StandardErrorCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StandardErrorCapture() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buffer[256];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file_)) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

TEST_F(LogsTest, DefaultSinkWritesOneLinePerRecordToStandardError) {
  Logs::setSink({});
  StandardErrorCapture capture;
  logs.log(LogMessages::unexpectedlyClosed);
  logs.log(LogMessages::initialReplyReceived);  // debug: off by default
  Logs::setDebugEnabled(true);
  logs.log(LogMessages::stateChange, "open", "closed");
  logs.log(Logs::Level::warn, "careful");
  EXPECT_EQ(capture.text(),
            "[info] EventSource: Connection unexpectedly closed.\n"
            "[debug] EventSource: State: open -> closed\n"
            "[warn] EventSource: careful\n");
  EXPECT_TRUE(records.empty());
}

}  // namespace
}  // namespace zelk
