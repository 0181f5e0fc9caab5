// SPDX-License-Identifier: Apache-2.0
// The PostgreSQL store of a build made without libpq.
#include "storage/store.hpp"

namespace zelk::server {

std::unique_ptr<Store> makePostgresStore(const std::string& /*url*/, int /*connections*/) {
  throw StoreError("this zelk-server was built without PostgreSQL (libpq was not found)");
}

}  // namespace zelk::server
