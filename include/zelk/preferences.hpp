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

  /// A store backed by one JSON object of texts in the file at `path`, read once on first use.
  /// Each change replaces the whole file atomically (a temporary file in the same directory,
  /// synced and renamed over it), so a crash leaves either the old or the new contents; missing
  /// directories are created with mode 0700 and the file gets mode 0600. A missing file is an
  /// empty store. A file that cannot be read as a JSON object is treated as empty, and members
  /// that are not texts are skipped; either is reported once on standard output, and the next
  /// change rewrites the file. Write failures are reported on standard output and keep the value
  /// in memory; the next change retries the write.
  static std::shared_ptr<PreferencesStore> file(std::filesystem::path path);

  /// The default file: "zelk/preferences.json" under `$XDG_CONFIG_HOME`, else under
  /// `$HOME/.config`, else under the current directory.
  static std::filesystem::path defaultPath();

  /// A store that lives only in memory, for tests and for hosts that keep nothing on disk.
  static std::shared_ptr<PreferencesStore> inMemory();
};

}  // namespace zelk
