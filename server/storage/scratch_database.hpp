// SPDX-License-Identifier: Apache-2.0
// A PostgreSQL database of its own for one test or one sandbox: made with a random name on the
// server an administrator's URL points to, and dropped (with any connection left to it) when the
// object goes.
#pragma once

#include <string>

namespace zelk::server {

class ScratchDatabase {
 public:
  // Throws StoreError when the server cannot be reached or the database cannot be made.
  explicit ScratchDatabase(const std::string& adminUrl);
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  // The admin URL with the new database in place of its own.
  const std::string& url() const { return url_; }
  const std::string& name() const { return name_; }

 private:
  std::string adminUrl_, name_, url_;
};

// `url` with its database (the path after host and port) replaced by `database`.
std::string withDatabase(const std::string& url, const std::string& database);

}  // namespace zelk::server
