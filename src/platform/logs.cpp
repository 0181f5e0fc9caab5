// SPDX-License-Identifier: Apache-2.0
#include <zelk/logs.hpp>

#include "platform/console.hpp"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace zelk {

namespace {

std::atomic<bool> debugRecords{false};

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Null while the default sink is in use.
std::shared_ptr<const Logs::Sink>& installedSink() {
  static std::shared_ptr<const Logs::Sink> sink;
  return sink;
}

// Lines written from several threads never interleave.
void writeLine(const std::string& line, std::FILE* stream) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

void writeByDefault(const Logs::Record& record) {
  std::string line;
  if (record.category == Logs::sdkCategory) {
    line.reserve(record.message.size() + 14);
    line.append("[Zelk SDK]: ").append(record.message).push_back('\n');
    return writeLine(line, stdout);
  }
  line.reserve(record.message.size() + record.category.size() + 12);
  line.append("[")
      .append(Logs::levelName(record.level))
      .append("] ")
      .append(record.category)
      .append(": ")
      .append(record.message)
      .push_back('\n');
  writeLine(line, stderr);
}

void deliver(const Logs::Record& record) {
  std::shared_ptr<const Logs::Sink> sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = installedSink();
  }
  if (sink) {
    (*sink)(record);
  } else {
    writeByDefault(record);
  }
}

void appendInteger(std::string& out, long long value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendDouble(std::string& out, double value) {
  char buffer[512];  // "%.3f" of the largest double has 309 digits before the point
  const int length = std::snprintf(buffer, sizeof buffer, "%.3f", value);
  if (length > 0) out.append(buffer, static_cast<std::size_t>(length));
}

}  // namespace

void Logs::log(Level level, Format format) const {
  write(level, format.text(), {});
}

void Logs::log(Level level, Format format, Argument argument) const {
  write(level, format.text(), {argument});
}

void Logs::log(Level level, Format format, Argument first, Argument second) const {
  write(level, format.text(), {first, second});
}

void Logs::setSink(Sink sink) {
  std::shared_ptr<const Sink> installed;
  if (sink) installed = std::make_shared<const Sink>(std::move(sink));
  std::lock_guard lock(sinkMutex());
  installedSink().swap(installed);
}

void Logs::setDebugEnabled(bool enabled) {
  debugRecords.store(enabled);
}

bool Logs::debugEnabled() {
  return debugRecords.load();
}

std::string_view Logs::levelName(Level level) {
  switch (level) {
    case Level::debug:
      return "debug";
    case Level::info:
      return "info";
    case Level::warn:
      return "warn";
    case Level::error:
      return "error";
  }
  return "unknown";
}

std::string Logs::format(std::string_view format, std::initializer_list<Argument> arguments) {
  std::string out;
  out.reserve(format.size() + 16);
  auto next = arguments.begin();
  while (!format.empty()) {
    const auto percent = format.find('%');
    out.append(format.substr(0, percent));
    if (percent == std::string_view::npos) break;
    format.remove_prefix(percent);
    std::size_t specifierLength;
    char conversion;
    if (format.starts_with("%.3f")) {
      specifierLength = 4;
      conversion = 'f';
    } else if (format.size() >= 2 && (format[1] == '@' || format[1] == 'd' || format[1] == '%')) {
      specifierLength = 2;
      conversion = format[1];
    } else {
      out.push_back('%');  // not a specifier: written as it is
      format.remove_prefix(1);
      continue;
    }
    if (conversion == '%') {
      out.push_back('%');
    } else if (next == arguments.end()) {
      out.append(format.substr(0, specifierLength));
    } else {
      const Argument& argument = *next++;
      switch (argument.kind_) {
        case Argument::Kind::text:
          out.append(argument.text_);
          break;
        case Argument::Kind::integer:
          if (conversion == 'f') {
            appendDouble(out, static_cast<double>(argument.integer_));
          } else {
            appendInteger(out, argument.integer_);
          }
          break;
        case Argument::Kind::real:
          if (conversion == 'd') {
            // Truncated toward zero as a C cast would; values out of range are clamped.
            const double value = argument.real_;
            long long whole = 0;
            if (value >= 9.2233720368547758e18) {
              whole = std::numeric_limits<long long>::max();
            } else if (value <= -9.2233720368547758e18) {
              whole = std::numeric_limits<long long>::min();
            } else if (value == value) {
              whole = static_cast<long long>(value);
            }
            appendInteger(out, whole);
          } else if (conversion == 'f') {
            appendDouble(out, argument.real_);
          } else {
            char buffer[32];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, argument.real_);
            out.append(buffer, result.ptr);
          }
          break;
      }
    }
    format.remove_prefix(specifierLength);
  }
  return out;
}

void Logs::write(Level level, std::string_view format, std::initializer_list<Argument> arguments) {
  if (level == Level::debug && !debugEnabled()) return;
  const std::string message = Logs::format(format, arguments);
  deliver(Record{level, subsystem, category, format, message});
}

namespace detail {

void printSDKMessage(std::string_view message) {
  deliver(Logs::Record{Logs::Level::warn, Logs::subsystem, Logs::sdkCategory, message, message});
}

}  // namespace detail

}  // namespace zelk
