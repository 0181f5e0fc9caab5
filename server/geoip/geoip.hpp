// SPDX-License-Identifier: Apache-2.0
// Where an address is, from a GeoIP database in MaxMind DB format (a City or a Country database
// the operator supplies): the city's English name and the country's ISO 3166-1 code, each when
// the database has it. The file is mapped into memory once; lookups read it in place, take
// microseconds and may run on any thread at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "storage/records.hpp"

namespace zelk::server {

class GeoIP {
 public:
  // Opens `path`; throws std::runtime_error naming the file and what is wrong with it when it
  // cannot be opened or is no MaxMind DB database, or when this build has no GeoIP support.
  explicit GeoIP(const std::string& path);
  ~GeoIP();
  GeoIP(const GeoIP&) = delete;
  GeoIP& operator=(const GeoIP&) = delete;

  // Where `address` (an IPv4 or IPv6 address in text form) is; an unknown Location when the
  // database does not place it, when it is no address, or when what the database holds for it
  // is not a name and a code.
  Location locate(std::string_view address) const;

 private:
  struct Database;
  std::unique_ptr<Database> database_;
};

}  // namespace zelk::server
