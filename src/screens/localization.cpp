// SPDX-License-Identifier: Apache-2.0
#include <zelk/localization.hpp>

#include "screens/resources.hpp"

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <locale>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace zelk {

namespace {

// A process-wide function the host may replace. Callers take a reference to the current one
// and call it without the lock, so the function may itself replace the hook.
template <typename Function>
class Hook {
 public:
  void set(Function function) {
    std::shared_ptr<const Function> replacement;
    if (function) replacement = std::make_shared<const Function>(std::move(function));
    std::shared_ptr<const Function> previous;
    {
      std::lock_guard lock(mutex_);
      previous = std::exchange(current_, std::move(replacement));
    }
    // `previous` is released here, outside the lock, so its captures may do anything when
    // they are destroyed.
  }

  // Null while the default is in force.
  std::shared_ptr<const Function> get() const {
    std::lock_guard lock(mutex_);
    return current_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Function> current_;
};

Hook<Localizer>& localizerHook() {
  static Hook<Localizer> hook;
  return hook;
}

Hook<DateFormatter>& dateFormatterHook() {
  static Hook<DateFormatter> hook;
  return hook;
}

Hook<DateFormatter>& platformDateFormatterHook() {
  static Hook<DateFormatter> hook;
  return hook;
}

// Closes up runs of spaces and trims both ends: "%c" pads single-digit days with a space
// ("Tue Dec  8 07:38:55 2026").
std::string closedUp(const std::string& text) {
  std::string result;
  for (const char c : text) {
    if (c == ' ' && (result.empty() || result.back() == ' ')) continue;
    result.push_back(c);
  }
  if (!result.empty() && result.back() == ' ') result.pop_back();
  return result;
}

// The locale the host asked for date and time texts, or the classic one when the name is
// unset or unknown to this system.
std::locale timeLocale() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    try {
      return std::locale(value);
    } catch (const std::runtime_error&) {
      break;
    }
  }
  return std::locale::classic();
}

std::string defaultDateText(Date date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(date));
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return "-";
  std::ostringstream text;
  text.imbue(timeLocale());
  text << std::put_time(&local, "%c");
  return closedUp(text.str());
}

}  // namespace

void setLocalizer(Localizer localizer) {
  localizerHook().set(std::move(localizer));
}

std::string localized(std::string_view key) {
  const auto current = localizerHook().get();
  if (current) {
    std::string text = (*current)(key);
    if (text != key) return text;  // the host's own entry
  }
  if (const auto translation = screens::switchedOnTranslation(key))
    return std::string(*translation);
  return std::string(key);
}

std::string localized(std::string_view key, std::string_view value) {
  std::string text = localized(key);
  const auto placeholder = text.find("%@");
  if (placeholder == std::string::npos) return text.append(value);
  return text.replace(placeholder, 2, value);
}

void setDateFormatter(DateFormatter formatter) {
  dateFormatterHook().set(std::move(formatter));
}

void setPlatformDateFormatter(DateFormatter formatter) {
  platformDateFormatterHook().set(std::move(formatter));
}

std::string formattedDate(Date date) {
  if (const auto host = dateFormatterHook().get()) return (*host)(date);
  if (const auto platform = platformDateFormatterHook().get()) return (*platform)(date);
  return defaultDateText(date);
}

}  // namespace zelk
