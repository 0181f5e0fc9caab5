// SPDX-License-Identifier: Apache-2.0
// A build without libmaxminddb: a GeoIP database cannot be read, and asking for one is a start
// error that says why.
#include <stdexcept>

#include "geoip/geoip.hpp"

namespace zelk::server {

struct GeoIP::Database {};

GeoIP::GeoIP(const std::string& path) {
  throw std::runtime_error("cannot open the GeoIP database " + path +
                           ": this zelk-server was built without GeoIP support (libmaxminddb)");
}

GeoIP::~GeoIP() = default;

Location GeoIP::locate(std::string_view) const {
  return {};
}

}  // namespace zelk::server
