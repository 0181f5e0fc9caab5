// SPDX-License-Identifier: Apache-2.0
// The PostgreSQL store of a build made without libpq.
#include "storage/scratch_database.hpp"
#include "storage/store.hpp"

namespace zelk::server {

std::unique_ptr<Store> makePostgresStore(const std::string& /*url*/, int /*connections*/) {
  throw StoreError("this zelk-server was built without PostgreSQL (libpq was not found)");
}

ScratchDatabase::ScratchDatabase(const std::string& /*adminUrl*/) {
  throw StoreError("this build has no PostgreSQL (libpq was not found)");
}

ScratchDatabase::~ScratchDatabase() = default;

std::string withDatabase(const std::string& url, const std::string& /*database*/) {
  return url;
}

}  // namespace zelk::server
