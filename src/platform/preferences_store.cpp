// SPDX-License-Identifier: Apache-2.0
#include <zelk/preferences.hpp>

#include "platform/console.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace zelk {
namespace {

using Values = std::map<std::string, std::string, std::less<>>;

// Temporary files of a crashed writer older than this are removed when the store is loaded.
// Younger ones may belong to another process that is writing right now.
constexpr auto kStaleTempFileAge = std::chrono::hours(1);

std::string errnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

class MemoryStore final : public PreferencesStore {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  void set(const std::string& key, std::optional<std::string> value) override {
    std::lock_guard lock(mutex_);
    if (value) {
      values_.insert_or_assign(key, std::move(*value));
    } else {
      values_.erase(key);
    }
  }

 private:
  mutable std::mutex mutex_;
  Values values_;
};

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const { return fd_; }

  // Closes now; returns 0 or the errno of a failed close.
  int close() {
    if (fd_ < 0) return 0;
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Creates `dir` and any missing parents with mode 0700. Returns 0 or an errno.
int makeDirectories(const std::filesystem::path& dir) {
  if (dir.empty()) return 0;
  if (::mkdir(dir.c_str(), 0700) == 0) return 0;
  int error = errno;
  if (error == EEXIST) {
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  }
  if (error != ENOENT) return error;
  std::filesystem::path parent = dir.parent_path();
  if (parent.empty() || parent == dir) return error;
  if (int parentError = makeDirectories(parent)) return parentError;
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return 0;
  return errno;
}

// Reads the whole file at `path` into `contents`. Returns 0 or an errno.
int readFile(const std::filesystem::path& path, std::string& contents) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return errno;
  char buffer[8192];
  for (;;) {
    ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (count == 0) return 0;
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

int writeAll(int fd, const std::string& data) {
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

class FileStore final : public PreferencesStore {
 public:
  explicit FileStore(std::filesystem::path path)
      : path_(std::move(path)),
        directory_(path_.has_parent_path() ? path_.parent_path() : std::filesystem::path(".")),
        tempPrefix_("." + path_.filename().string() + ".tmp-") {}

  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    loadLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  void set(const std::string& key, std::optional<std::string> value) override {
    std::lock_guard lock(mutex_);
    loadLocked();
    auto it = values_.find(key);
    if (value) {
      if (it != values_.end() && it->second == *value && fileMatchesMemory_) return;
      values_.insert_or_assign(key, std::move(*value));
    } else {
      if (it == values_.end() && fileMatchesMemory_) return;
      if (it != values_.end()) values_.erase(it);
    }
    fileMatchesMemory_ = saveLocked();
  }

 private:
  void loadLocked() const {
    if (loaded_) return;
    loaded_ = true;
    removeStaleTempFiles();

    std::string contents;
    if (int error = readFile(path_, contents)) {
      if (error != ENOENT) reportUnreadable(errnoText(error));
      return;
    }

    nlohmann::json document;
    try {
      document = nlohmann::json::parse(contents);
    } catch (const nlohmann::json::parse_error& e) {
      reportUnreadable("not valid JSON at byte " + std::to_string(e.byte));
      return;
    }
    if (!document.is_object()) {
      reportUnreadable(std::string("a JSON ") + document.type_name() + " instead of an object");
      return;
    }

    std::size_t skipped = 0;
    for (auto& [key, member] : document.items()) {
      if (member.is_string()) {
        values_.insert_or_assign(key, member.get<std::string>());
      } else {
        ++skipped;
      }
    }
    if (skipped > 0) {
      fileMatchesMemory_ = false;
      detail::printSDKMessage("preferences file " + path_.string() + ": ignoring " +
                              std::to_string(skipped) + " non-text " +
                              (skipped == 1 ? "entry" : "entries"));
    }
  }

  void reportUnreadable(const std::string& reason) const {
    fileMatchesMemory_ = false;
    detail::printSDKMessage("preferences file " + path_.string() + " is unreadable (" + reason +
                            "); starting empty");
  }

  // Removes temporary files that a writer killed between creating and renaming them left behind.
  void removeStaleTempFiles() const {
    std::error_code ec;
    std::filesystem::directory_iterator entries(directory_, ec);
    if (ec) return;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto& entry : entries) {
      const std::string name = entry.path().filename().string();
      if (name.size() != tempPrefix_.size() + 6 || name.compare(0, tempPrefix_.size(), tempPrefix_))
        continue;
      std::error_code entryError;
      if (!entry.is_regular_file(entryError)) continue;
      auto modified = entry.last_write_time(entryError);
      if (entryError || now - modified < kStaleTempFileAge) continue;
      std::filesystem::remove(entry.path(), entryError);
    }
  }

  // Replaces the file with the contents of memory. Returns whether the file now holds them.
  bool saveLocked() const {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [key, value] : values_) document[key] = value;
    std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    text.push_back('\n');

    std::string failure = writeFile(text);
    if (failure.empty()) return true;
    detail::printSDKMessage("could not save preferences file " + path_.string() + " (" + failure +
                            "); the change is kept in memory only");
    return false;
  }

  // Writes `text` to a new file next to the target and renames it over the target, so that
  // readers and crashes see either the old or the new contents. Returns "" or what failed.
  std::string writeFile(const std::string& text) const {
    if (int error = makeDirectories(directory_)) {
      return "cannot create directory " + directory_.string() + ": " + errnoText(error);
    }

    std::string tempPath = (directory_ / (tempPrefix_ + "XXXXXX")).string();
    std::vector<char> tempName(tempPath.begin(), tempPath.end());
    tempName.push_back('\0');
    FileDescriptor temp(::mkostemp(tempName.data(), O_CLOEXEC));
    if (temp.get() < 0) return "cannot create temporary file: " + errnoText(errno);
    tempPath.assign(tempName.data());

    auto discard = [&](std::string what, int error) {
      temp.close();
      ::unlink(tempPath.c_str());
      return what + ": " + errnoText(error);
    };
    if (int error = writeAll(temp.get(), text)) return discard("write failed", error);
    if (::fsync(temp.get()) != 0) return discard("fsync failed", errno);
    if (int error = temp.close()) return discard("close failed", error);
    if (::rename(tempPath.c_str(), path_.c_str()) != 0) return discard("rename failed", errno);

    // Make the rename itself durable. The new contents are in place either way, so a directory
    // that cannot be synced (some file systems refuse) is not a failure of the write.
    FileDescriptor dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return {};
  }

  const std::filesystem::path path_;
  const std::filesystem::path directory_;
  const std::string tempPrefix_;

  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  // False when the file may differ from memory: it was unreadable, had entries that were
  // skipped, or the last write failed. The next set then rewrites it even if nothing changed.
  mutable bool fileMatchesMemory_ = true;
  mutable Values values_;
};

}  // namespace

std::shared_ptr<PreferencesStore> PreferencesStore::file(std::filesystem::path path) {
  return std::make_shared<FileStore>(std::move(path));
}

std::shared_ptr<PreferencesStore> PreferencesStore::inMemory() {
  return std::make_shared<MemoryStore>();
}

std::filesystem::path PreferencesStore::defaultPath() {
  const std::filesystem::path relative = std::filesystem::path("zelk") / "preferences.json";
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::filesystem::path(config) / relative;
  }
  if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
    return std::filesystem::path(home) / ".config" / relative;
  }
  return std::filesystem::path(".") / relative;
}

}  // namespace zelk
