// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zelk {

/// A small persistent key-value store of texts. The library keeps one entry in it: the device
/// identity under "dorvi_device_identity". Implementations must be safe to use from any thread.
class ZELK_EXPORT PreferencesStore {
 public:
  virtual ~PreferencesStore() = default;

  /// The text stored under `key`, or nothing.
  virtual std::optional<std::string> string(const std::string& key) const = 0;

  /// Stores `value` under `key`; `std::nullopt` removes the entry.
  virtual void set(const std::string& key, std::optional<std::string> value) = 0;

  /// A store backed by one JSON object of texts in the file at `path`, which several threads
  /// and processes may share. It is read on first use and again whenever another writer has
  /// replaced it. Each change is saved under an advisory lock (`flock` on a hidden ".lock" file
  /// beside it): the file is read again, the change laid over what it holds now, and the whole
  /// file replaced atomically (a temporary file in the same directory, synced and renamed over
  /// it), so writers never lose each other's keys and a crash leaves either the old or the new
  /// contents. Temporary files left by crashed writers are removed on first use. A symbolic link
  /// is followed: its target is written, the link stays. Missing directories are created with
  /// mode 0700 and the file gets mode 0600.
  ///
  /// Failures, each reported once on standard output with a "[Zelk SDK]: " line:
  /// - a missing file is an empty store (not reported);
  /// - a file that cannot be read (any error but a missing file) is never written over: changes
  ///   are kept in memory and saved once a later access can read it;
  /// - a file that is not a JSON object reads as empty and is kept beside it as
  ///   "<name>.corrupt" when the next change replaces it; members that are not texts are
  ///   skipped and dropped by the next change;
  /// - a failed write keeps the change in memory; the next change retries it.
  static std::shared_ptr<PreferencesStore> file(std::filesystem::path path);

  /// The default file: "zelk/preferences.json" under an absolute `$XDG_CONFIG_HOME`, else under
  /// an absolute `$HOME` + "/.config". Empty when neither names a directory.
  static std::filesystem::path defaultPath();

  /// The store the library uses when the host gives none: the file at `defaultPath()`, or, when
  /// there is none, a store in memory (reported on standard output), never a file in the
  /// current directory.
  static std::shared_ptr<PreferencesStore> defaultStore();

  /// A store that lives only in memory, for tests and for hosts that keep nothing on disk.
  static std::shared_ptr<PreferencesStore> inMemory();
};

}  // namespace zelk
