// SPDX-License-Identifier: Apache-2.0
#include <zelk/preferences.hpp>

#include "platform/console.hpp"

#include <fcntl.h>
#include <sys/file.h>
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

// Holds an exclusive advisory lock on a file while it lives; released when it closes.
class FileLock {
 public:
  // Opens (creating it if needed) and locks `path`. Returns 0 or an errno.
  int acquire(const std::filesystem::path& path) {
    file_ = std::make_unique<FileDescriptor>(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file_->get() < 0) return errno;
    while (::flock(file_->get(), LOCK_EX) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

 private:
  std::unique_ptr<FileDescriptor> file_;
};

// What the file held when it was last read.
struct FileContents {
  Values values;
  std::size_t skipped = 0;    // members that are not texts
  std::string corruptReason;  // not empty: the file is not a JSON object
  std::string corruptBytes;   // its contents then, kept as a backup before it is replaced
};

// Identifies one version of the file: a rename puts a new inode in place.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

// The stamp of `path`, or an errno other than ENOENT.
int stampOf(const std::filesystem::path& path, FileStamp& stamp) {
  struct stat info {};
  stamp = {};
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
  stamp = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  return 0;
}

// Parses what the file holds. Never fails: bad contents are described in the result.
FileContents parse(std::string text) {
  FileContents contents;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    contents.corruptReason = "not valid JSON at byte " + std::to_string(e.byte);
  }
  if (contents.corruptReason.empty() && !document.is_object()) {
    contents.corruptReason =
        std::string("a JSON ") + document.type_name() + " instead of an object";
  }
  if (!contents.corruptReason.empty()) {
    contents.corruptBytes = std::move(text);
    return contents;
  }
  for (auto& [key, member] : document.items()) {
    if (member.is_string()) {
      contents.values.insert_or_assign(key, member.get<std::string>());
    } else {
      ++contents.skipped;
    }
  }
  return contents;
}

// A store in one JSON file that several threads and processes may share.
//
// Every change is first kept in `pending_`, then saved under an advisory lock on a lock file
// beside the store file: the file is read again, the pending changes are laid over what it holds
// now, and the result replaces it by rename. So processes never lose each other's keys, and a
// file that cannot be read is never written over: its changes wait in memory until it can be.
class FileStore final : public PreferencesStore {
 public:
  explicit FileStore(std::filesystem::path path) : path_(std::move(path)) {}

  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

  void set(const std::string& key, std::optional<std::string> value) override {
    std::lock_guard lock(mutex_);
    pending_.insert_or_assign(key, value);
    if (value) {
      values_.insert_or_assign(key, std::move(*value));
    } else {
      values_.erase(key);
    }
    saveLocked();
  }

 private:
  // Where the file really is: a symbolic link is followed, so that a change is written to its
  // target instead of replacing the link.
  std::filesystem::path targetPath() const {
    std::filesystem::path current = path_;
    for (int hops = 0; hops < 16; ++hops) {
      struct stat info {};
      if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
      std::error_code ec;
      std::filesystem::path target = std::filesystem::read_symlink(current, ec);
      if (ec) return current;
      current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current;
  }

  static std::filesystem::path directoryOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  }
  static std::string tempPrefix(const std::filesystem::path& file) {
    return "." + file.filename().string() + ".tmp-";
  }
  static std::filesystem::path lockPath(const std::filesystem::path& file) {
    return directoryOf(file) / ("." + file.filename().string() + ".lock");
  }

  // Reads the file again if it changed since it was last read, and keeps the pending changes on
  // top. The first time, temporary files of crashed writers are swept as well.
  void refreshLocked() const {
    const std::filesystem::path target = targetPath();
    if (!swept_) {
      struct stat info {};
      if (::stat(directoryOf(target).c_str(), &info) == 0) {
        FileLock lock;
        if (lock.acquire(lockPath(target)) == 0) {
          removeTempFiles(target);
          swept_ = true;
        }
      }
    }
    FileStamp stamp;
    if (int error = stampOf(target, stamp)) return reportReadError(error);
    if (loaded_ && stamp == stamp_) return;

    FileContents contents;
    if (int error = read(target, stamp, contents)) return reportReadError(error);
    adopt(contents, stamp);
    // Changes that waited for the file to become readable are saved now.
    if (!pending_.empty()) saveLocked();
  }

  // Reads the file's contents into `contents`; a missing file holds nothing. Returns 0 or an
  // errno.
  static int read(const std::filesystem::path& target, FileStamp& stamp, FileContents& contents) {
    std::string text;
    int error = readFile(target, text);
    if (error == ENOENT) {
      stamp = {};
      contents = {};
      return 0;
    }
    if (error) return error;
    contents = parse(std::move(text));
    return 0;
  }

  // Makes `contents` the store's view of the file, with the pending changes on top.
  void adopt(const FileContents& contents, const FileStamp& stamp) const {
    const bool changedFile = !loaded_ || !(stamp == stamp_);
    loaded_ = true;
    stamp_ = stamp;
    readErrorReported_ = false;
    if (changedFile && !contents.corruptReason.empty()) {
      detail::printSDKMessage("preferences file " + path_.string() + " is unreadable (" +
                              contents.corruptReason +
                              "); starting empty, and the file is kept as a backup when replaced");
    } else if (changedFile && contents.skipped > 0) {
      detail::printSDKMessage("preferences file " + path_.string() + ": ignoring " +
                              std::to_string(contents.skipped) + " non-text " +
                              (contents.skipped == 1 ? "entry" : "entries"));
    }
    values_ = contents.values;
    for (const auto& [key, value] : pending_) {
      if (value) {
        values_.insert_or_assign(key, *value);
      } else {
        values_.erase(key);
      }
    }
  }

  void reportReadError(int error) const {
    if (std::exchange(readErrorReported_, true)) return;
    detail::printSDKMessage("preferences file " + path_.string() + " could not be read (" +
                            errnoText(error) +
                            "); changes are kept in memory until it can be read");
  }

  void reportWriteError(const std::string& failure) const {
    detail::printSDKMessage("could not save preferences file " + path_.string() + " (" + failure +
                            "); the change is kept in memory only");
  }

  // Saves the pending changes: under the lock, reads the file again, lays the changes over it
  // and replaces it. Nothing is written when the file cannot be read; the changes stay pending.
  void saveLocked() const {
    const std::filesystem::path target = targetPath();
    const std::filesystem::path directory = directoryOf(target);
    if (int error = makeDirectories(directory)) {
      return reportWriteError("cannot create directory " + directory.string() + ": " +
                              errnoText(error));
    }
    FileLock lock;
    if (int error = lock.acquire(lockPath(target))) {
      return reportWriteError("cannot lock it: " + errnoText(error));
    }
    if (!swept_) {
      removeTempFiles(target);
      swept_ = true;
    }

    FileStamp stamp;
    FileContents contents;
    int error = stampOf(target, stamp);
    if (!error) error = read(target, stamp, contents);
    if (error) return reportReadError(error);
    adopt(contents, stamp);

    Values merged = contents.values;
    for (const auto& [key, value] : pending_) {
      if (value) {
        merged.insert_or_assign(key, *value);
      } else {
        merged.erase(key);
      }
    }
    const bool needed = merged != contents.values || contents.skipped > 0 ||
                        !contents.corruptReason.empty() || !stamp.exists;
    if (!needed) {
      pending_.clear();
      return;
    }
    if (!contents.corruptReason.empty()) {
      const std::filesystem::path backup = directory / (target.filename().string() + ".corrupt");
      if (std::string failure = replaceFile(target, backup, contents.corruptBytes);
          !failure.empty()) {
        return reportWriteError("cannot keep the unreadable file as " + backup.string() + ": " +
                                failure);
      }
    }

    nlohmann::json document = nlohmann::json::object();
    for (const auto& [key, value] : merged) document[key] = value;
    std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    text.push_back('\n');
    if (std::string failure = replaceFile(target, target, text); !failure.empty()) {
      return reportWriteError(failure);
    }
    pending_.clear();
    values_ = std::move(merged);
    stampOf(target, stamp_);
  }

  // Removes temporary files that a writer killed between creating and renaming them left behind.
  // Called under the lock, which every writer holds while its temporary file exists.
  static void removeTempFiles(const std::filesystem::path& target) {
    std::error_code ec;
    std::filesystem::directory_iterator entries(directoryOf(target), ec);
    if (ec) return;
    const std::string prefix = tempPrefix(target);
    std::vector<std::filesystem::path> leftovers;
    for (const auto& entry : entries) {
      const std::string name = entry.path().filename().string();
      if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix)) continue;
      std::error_code entryError;
      if (entry.is_regular_file(entryError)) leftovers.push_back(entry.path());
    }
    for (const auto& leftover : leftovers) std::filesystem::remove(leftover, ec);
  }

  // Writes `text` to a new file beside `target` and renames it to `destination`, so that readers
  // and crashes see either the old or the new contents. Returns "" or what failed.
  static std::string replaceFile(const std::filesystem::path& target,
                                 const std::filesystem::path& destination,
                                 const std::string& text) {
    const std::filesystem::path directory = directoryOf(target);
    std::string tempPath = (directory / (tempPrefix(target) + "XXXXXX")).string();
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
    if (::rename(tempPath.c_str(), destination.c_str()) != 0) {
      return discard("rename failed", errno);
    }

    // Make the rename itself durable. The new contents are in place either way, so a directory
    // that cannot be synced (some file systems refuse) is not a failure of the write.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return {};
  }

  const std::filesystem::path path_;

  mutable std::mutex mutex_;
  mutable bool swept_ = false;   // temporary files of crashed writers have been removed
  mutable bool loaded_ = false;  // the file has been read at least once
  mutable FileStamp stamp_;      // the version of the file last read or written
  mutable bool readErrorReported_ = false;
  mutable Values values_;  // the file as last read, with the pending changes on top
  mutable std::map<std::string, std::optional<std::string>, std::less<>> pending_;
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
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    return std::filesystem::path(home) / ".config" / relative;
  }
  return {};
}

std::shared_ptr<PreferencesStore> PreferencesStore::defaultStore() {
  std::filesystem::path path = defaultPath();
  if (!path.empty()) return file(std::move(path));
  detail::printSDKMessage(
      "neither HOME nor XDG_CONFIG_HOME names a directory; preferences are kept in memory only");
  return inMemory();
}

}  // namespace zelk
