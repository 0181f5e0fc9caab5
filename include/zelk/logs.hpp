// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <concepts>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zelk {

/// The library's diagnostics, in one place: the realtime stream's records (constant printf-style
/// messages at four levels, category `Logs::category`) and the lines that tell the developer
/// what went wrong in a call (category `Logs::sdkCategory`, level `warn`).
///
/// Every record goes to one process-wide sink. The default sink writes the developer lines on
/// standard output as "[Zelk SDK]: <message>", and the stream's records on standard error as
/// "[<level>] EventSource: <message>", one line each. A host routes all of them elsewhere with
/// `setSink` (a Qt host, for example, into a logging category). Debug records are dropped before
/// they are formatted unless the host calls `setDebugEnabled(true)`; that holds for every sink.
///
/// Threads: all calls are safe from any thread. The sink is called on the thread that logs (the
/// host's main thread, or the client's network thread), possibly from several threads at once.
class ZELK_EXPORT Logs {
 public:
  /// How important a record is; debug records are off unless `setDebugEnabled(true)`.
  enum class Level { debug, info, warn, error };

  /// One record as the sink receives it. The views are valid only during the sink call.
  struct Record {
    /// How important the record is.
    Level level;
    /// Reverse-DNS label of the library, `Logs::subsystem`.
    std::string_view subsystem;
    /// Short name of the part that logs, `Logs::category`.
    std::string_view category;
    /// The constant message, e.g. "Unsuccessful response: %d".
    std::string_view format;
    /// The message with its arguments filled in, e.g. "Unsuccessful response: 500".
    std::string_view message;
  };

  /// Receives every record that is not dropped; see the threads above.
  using Sink = std::function<void(const Record&)>;

  /// The subsystem every record carries.
  static constexpr std::string_view subsystem = "com.zelk.sdk";
  /// The category of the realtime stream's records.
  static constexpr std::string_view category = "EventSource";
  /// The category of the lines to the developer ("[Zelk SDK]: " on standard output by default).
  static constexpr std::string_view sdkCategory = "Zelk SDK";

  /// A message text checked when the program is compiled: besides plain text it may only hold
  /// the specifiers %@ (text), %d (integer), %.3f (double, three decimals) and %% (a percent
  /// sign).
  class Format {
   public:
    /// Checks `text` while compiling; an unsupported specifier fails the build.
    consteval Format(const char* text) : text_(text) {
      for (std::string_view rest = text_; !rest.empty();) {
        const auto percent = rest.find('%');
        if (percent == std::string_view::npos) break;
        rest.remove_prefix(percent + 1);
        if (rest.starts_with("@") || rest.starts_with("d") || rest.starts_with("%")) {
          rest.remove_prefix(1);
        } else if (rest.starts_with(".3f")) {
          rest.remove_prefix(3);
        } else {
          unsupportedSpecifier();
        }
      }
    }

    /// The message text as written.
    std::string_view text() const { return text_; }

   private:
    static void unsupportedSpecifier() {}  // not constexpr: calling it fails the compilation
    std::string_view text_;
  };

  /// One argument of a message: a text, an integer or a double. Each specifier takes the next
  /// argument and converts it when its type differs (%d truncates a double, %@ writes a number
  /// as text).
  class Argument {
   public:
    /// A text argument; the text must outlive the `log` call.
    Argument(std::string_view text) : kind_(Kind::text), text_(text) {}
    /// A text argument from a C string; the text must outlive the `log` call.
    Argument(const char* text) : kind_(Kind::text), text_(text) {}
    /// A text argument from a string; the string must outlive the `log` call.
    Argument(const std::string& text) : kind_(Kind::text), text_(text) {}
    /// An integer argument of any integral type.
    template <std::integral T>
    Argument(T value) : kind_(Kind::integer), integer_(static_cast<long long>(value)) {}
    /// A floating-point argument.
    Argument(double value) : kind_(Kind::real), real_(value) {}

   private:
    friend class Logs;
    enum class Kind { text, integer, real };
    Kind kind_;
    std::string_view text_;
    long long integer_ = 0;
    double real_ = 0;
  };

  /// A message of the fixed set in `LogMessages`, with the level it is written at.
  struct Message {
    Level level;    ///< The level the message is written at.
    Format format;  ///< The message text.
  };

  Logs() = default;

  /// Writes one record. A specifier without a matching argument is written unchanged; extra
  /// arguments are ignored.
  void log(Level level, Format format) const;
  /// Writes one record with one argument.
  void log(Level level, Format format, Argument argument) const;
  /// Writes one record with two arguments.
  void log(Level level, Format format, Argument first, Argument second) const;
  /// Writes one of the fixed messages at its level.
  void log(const Message& message) const { log(message.level, message.format); }
  /// Writes one of the fixed messages at its level, with one argument.
  void log(const Message& message, Argument argument) const {
    log(message.level, message.format, argument);
  }
  /// Writes one of the fixed messages at its level, with two arguments.
  void log(const Message& message, Argument first, Argument second) const {
    log(message.level, message.format, first, second);
  }

  /// Replaces the process-wide sink for every record. An empty sink restores the default one
  /// (standard output for the developer lines, standard error for the rest).
  static void setSink(Sink sink);
  /// Turns debug records on or off (off at start).
  static void setDebugEnabled(bool enabled);
  /// Whether debug records are on.
  static bool debugEnabled();

  /// "debug", "info", "warn" or "error".
  static std::string_view levelName(Level level);

  /// The text a message with these arguments is written as.
  static std::string format(std::string_view format, std::initializer_list<Argument> arguments);

 private:
  static void write(Level level, std::string_view format,
                    std::initializer_list<Argument> arguments);
};

/// The messages the realtime stream writes, each with its level.
struct LogMessages {
  /// The stream moved from one state to another (debug).
  static constexpr Logs::Message stateChange{Logs::Level::debug, "State: %@ -> %@"};
  /// The server's reply headers arrived (debug).
  static constexpr Logs::Message initialReplyReceived{Logs::Level::debug, "Initial reply received"};
  /// `start` was called on a running stream and did nothing.
  static constexpr Logs::Message alreadyStarted{
      Logs::Level::info, "start() called on already-started EventSource object. Returning"};
  /// The stream starts.
  static constexpr Logs::Message starting{Logs::Level::info, "Starting EventSource client"};
  /// The server answered with a status the stream does not accept.
  static constexpr Logs::Message unsuccessfulResponse{Logs::Level::info,
                                                      "Unsuccessful response: %d"};
  /// The error policy chose to end the stream.
  static constexpr Logs::Message shutDownByErrorHandler{
      Logs::Level::info, "Connection has been explicitly shut down by error handler"};
  /// A connection failed below HTTP.
  static constexpr Logs::Message connectionError{Logs::Level::info, "Connection error: %@"};
  /// The server closed an open stream.
  static constexpr Logs::Message unexpectedlyClosed{Logs::Level::info,
                                                    "Connection unexpectedly closed."};
  /// The delay before the next connection.
  static constexpr Logs::Message waitingBeforeReconnecting{
      Logs::Level::info, "Waiting %.3f seconds before reconnecting..."};
};

}  // namespace zelk
