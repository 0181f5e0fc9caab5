// SPDX-License-Identifier: Apache-2.0
#include "eventsource/event_parser.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace zelk::detail {
namespace {

struct Message {
  std::string type;
  MessageEvent event;
  bool operator==(const Message&) const = default;
};

void PrintTo(const Message& message, std::ostream* out) {
  *out << "{" << message.type << ", data \"" << message.event.data << "\", id \""
       << message.event.lastEventId << "\"}";
}

class RecordingHandler : public EventHandler {
 public:
  void onOpened() override {}
  void onClosed() override {}
  void onMessage(std::string_view eventType, const MessageEvent& messageEvent) override {
    messages.push_back({std::string(eventType), messageEvent});
  }
  void onComment(std::string_view comment) override { comments.emplace_back(comment); }
  void onError(const StreamError&) override {}

  std::vector<Message> messages;
  std::vector<std::string> comments;
};

class EventParserTest : public ::testing::Test {
 protected:
  void parse(std::initializer_list<std::string_view> lines) {
    for (const auto line : lines) EXPECT_EQ(parser.parse(line), StreamOverflow::none) << line;
  }

  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  EventParser parser{handler, "", 1.0};
};

TEST_F(EventParserTest, DataLinesJoinIntoOneMessage) {
  parse({"data: a", "data: b", ""});
  EXPECT_EQ(handler->messages, (std::vector<Message>{{"message", {"a\nb", ""}}}));
}

TEST_F(EventParserTest, EmptyDataStillMakesAnEvent) {
  parse({"data", "", "data:", "", "data", "data", ""});
  EXPECT_EQ(handler->messages,
            (std::vector<Message>{
                {"message", {"", ""}}, {"message", {"", ""}}, {"message", {"\n", ""}}}));
}

TEST_F(EventParserTest, OnlyOneLeadingSpaceIsRemoved) {
  parse({"data:  x", "data:y ", "data:a:b", ""});
  ASSERT_EQ(handler->messages.size(), 1u);
  EXPECT_EQ(handler->messages[0].event.data, " x\ny \na:b");
}

TEST_F(EventParserTest, CommentsKeepEverythingAfterTheColon) {
  parse({": hi", ":", ":: a:b "});
  EXPECT_EQ(handler->comments, (std::vector<std::string>{" hi", "", ": a:b "}));
  EXPECT_TRUE(handler->messages.empty());
}

TEST_F(EventParserTest, EventTypeAppliesToOneEventOnly) {
  parse({"event: ping", "", "data: x", "", "event: update", "event: final", "data: y", "",
         "data: z", ""});
  EXPECT_EQ(
      handler->messages,
      (std::vector<Message>{{"message", {"x", ""}}, {"final", {"y", ""}}, {"message", {"z", ""}}}));
}

TEST_F(EventParserTest, FieldNamesMatchExactly) {
  parse({"Data: x", "data : x",
         "\xEF\xBB\xBF"
         "data: x",
         "", "a:b:c", "", "DATA", ""});
  EXPECT_TRUE(handler->messages.empty());
  EXPECT_TRUE(handler->comments.empty());
}

TEST_F(EventParserTest, IdTakesEffectAtTheEndOfTheEvent) {
  parse({"id: 7", "data: x"});
  EXPECT_EQ(parser.getLastEventId(), "");
  parse({""});
  EXPECT_EQ(parser.getLastEventId(), "7");
  // An event without data still moves the id on, and later events carry it.
  parse({"id: 8", "", "data: y", ""});
  EXPECT_EQ(parser.getLastEventId(), "8");
  EXPECT_EQ(handler->messages,
            (std::vector<Message>{{"message", {"x", "7"}}, {"message", {"y", "8"}}}));
}

TEST_F(EventParserTest, IdWithNulIsIgnoredAndEmptyIdClears) {
  using namespace std::string_view_literals;
  parse({"id: 1", "", "id: 2", "id: 3\0"sv, "data: x", ""});
  EXPECT_EQ(parser.getLastEventId(), "2");
  EXPECT_EQ(handler->messages.back().event.lastEventId, "2");

  parse({"id", ""});
  EXPECT_EQ(parser.getLastEventId(), "");
  parse({"id: 4", "", "id:", ""});
  EXPECT_EQ(parser.getLastEventId(), "");
}

TEST(EventParserInitialStateTest, StartsWithTheGivenIdAndRetry) {
  auto handler = std::make_shared<RecordingHandler>();
  EventParser parser(handler, "abc", 3.5);
  EXPECT_EQ(parser.getLastEventId(), "abc");
  parser.parse("data: x");
  parser.parse("");
  EXPECT_EQ(handler->messages.at(0).event.lastEventId, "abc");
  EXPECT_EQ(parser.reset(), 3.5);
}

TEST_F(EventParserTest, RetryAcceptsOnlyDigitsThatFitSixtyFourBits) {
  parse({"retry: 2500"});
  EXPECT_DOUBLE_EQ(parser.currentRetry(), 2.5);
  for (const std::string_view ignored :
       {"retry: 2.5", "retry: -1", "retry: 1e3", "retry:", "retry", "retry: +5", "retry:  5",
        "retry: 5 ", "retry: 99999999999999999999", "retry: 9223372036854775808"}) {
    parse({ignored});
    EXPECT_DOUBLE_EQ(parser.currentRetry(), 2.5) << ignored;
  }
  parse({"retry: 9223372036854775807"});
  EXPECT_DOUBLE_EQ(parser.currentRetry(), 9223372036854775807.0 * 0.001);
  parse({"retry:0"});
  EXPECT_EQ(parser.currentRetry(), 0.0);
  // Retry needs no empty line and survives reset.
  EXPECT_EQ(parser.reset(), 0.0);
}

TEST_F(EventParserTest, ResetDropsTheEventBeingBuilt) {
  parse({"event: e", "id: 5", "data: lost"});
  EXPECT_EQ(parser.reset(), 1.0);
  parse({"data: kept", ""});
  EXPECT_EQ(handler->messages, (std::vector<Message>{{"message", {"kept", ""}}}));
  EXPECT_EQ(parser.getLastEventId(), "");
}

TEST(EventParserLimitTest, EventDataOverLimitIsDroppedAndStopsTheParser) {
  auto handler = std::make_shared<RecordingHandler>();
  EventParser parser(handler, "", 1.0, 10);
  // "12345\n" twice is 12 bytes; "1234\n" twice is exactly 10.
  EXPECT_EQ(parser.parse("data: 1234"), StreamOverflow::none);
  EXPECT_EQ(parser.parse("data: 1234"), StreamOverflow::none);
  EXPECT_EQ(parser.parse(""), StreamOverflow::none);
  ASSERT_EQ(handler->messages.size(), 1u);

  EXPECT_EQ(parser.parse("id: 9"), StreamOverflow::none);
  EXPECT_EQ(parser.parse("data: 12345"), StreamOverflow::none);
  EXPECT_EQ(parser.parse("data: 12345"), StreamOverflow::event);
  EXPECT_TRUE(parser.overflowed());
  EXPECT_EQ(parser.parse(""), StreamOverflow::event);
  EXPECT_EQ(parser.parse(":comment"), StreamOverflow::event);
  EXPECT_EQ(handler->messages.size(), 1u);
  EXPECT_TRUE(handler->comments.empty());
  EXPECT_EQ(parser.getLastEventId(), "");  // the dropped event's id never takes effect

  parser.reset();
  EXPECT_FALSE(parser.overflowed());
  EXPECT_EQ(parser.parse("data: ok"), StreamOverflow::none);
  EXPECT_EQ(parser.parse(""), StreamOverflow::none);
  EXPECT_EQ(handler->messages.back().event.data, "ok");
}

TEST(FeedChunkTest, ReportsWhichLimitBroke) {
  auto handler = std::make_shared<RecordingHandler>();
  UTF8LineParser lines(16);
  EventParser events(handler, "", 1.0, 8);
  EXPECT_EQ(feedChunk(lines, events, "data: a\r\n\r\ndata: 1234"), StreamOverflow::none);
  EXPECT_EQ(feedChunk(lines, events, "5678\n"), StreamOverflow::event);
  lines.closeAndReset();
  events.reset();
  EXPECT_EQ(feedChunk(lines, events, "data: 0123456789abcdef\n"), StreamOverflow::line);
  EXPECT_EQ(handler->messages, (std::vector<Message>{{"message", {"a", ""}}}));
}

TEST(MessageEventTest, EqualityAndHashCoverBothFields) {
  const MessageEvent a{"x", "1"};
  EXPECT_EQ(a, (MessageEvent{"x", "1"}));
  EXPECT_NE(a, (MessageEvent{"x", "2"}));
  EXPECT_NE(a, (MessageEvent{"y", "1"}));
  std::unordered_set<MessageEvent> set{a, {"x", "2"}, {"1", "x"}, {"x", "1"}};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_NE(std::hash<MessageEvent>{}({"ab", ""}), std::hash<MessageEvent>{}({"", "ab"}));
}

TEST(StreamErrorTest, OnlyUnsuccessfulResponsesHaveAResponseCode) {
  EXPECT_EQ(StreamError::unsuccessfulResponse(204).responseCode(), 204);
  EXPECT_EQ(StreamError::transport(204, "timed out").responseCode(), std::nullopt);
  EXPECT_EQ(StreamError::limitExceeded("too long").responseCode(), std::nullopt);
}

}  // namespace
}  // namespace zelk::detail
