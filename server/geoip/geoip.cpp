// SPDX-License-Identifier: Apache-2.0
#include "geoip/geoip.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <maxminddb.h>
#include <unistd.h>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

// The text at `path` under `entry`, when there is a UTF-8 string there.
std::string textAt(MMDB_entry_s& entry, const char* const* path) {
  MMDB_entry_data_s data{};
  if (MMDB_aget_value(&entry, &data, path) != MMDB_SUCCESS || !data.has_data ||
      data.type != MMDB_DATA_TYPE_UTF8_STRING)
    return {};
  return std::string(data.utf8_string, data.data_size);
}

bool isCountryCode(const std::string& code) {
  return code.size() == 2 && code[0] >= 'A' && code[0] <= 'Z' && code[1] >= 'A' && code[1] <= 'Z';
}

}  // namespace

struct GeoIP::Database {
  MMDB_s mmdb{};
};

GeoIP::GeoIP(const std::string& path) : database_(std::make_unique<Database>()) {
  const int status = MMDB_open(path.c_str(), MMDB_MODE_MMAP, &database_->mmdb);
  if (status != MMDB_SUCCESS) {
    std::string reason = MMDB_strerror(status);
    // The library's own words do not say why a file could not be opened.
    if ((status == MMDB_FILE_OPEN_ERROR || status == MMDB_IO_ERROR) &&
        ::access(path.c_str(), R_OK) != 0)
      reason = std::strerror(errno);
    throw std::runtime_error("cannot open the GeoIP database " + path + ": " + reason);
  }
}

GeoIP::~GeoIP() {
  MMDB_close(&database_->mmdb);
}

Location GeoIP::locate(std::string_view address) const {
  Location location;
  const std::string text(address);
  int addressError = 0, error = MMDB_SUCCESS;
  MMDB_lookup_result_s found =
      MMDB_lookup_string(&database_->mmdb, text.c_str(), &addressError, &error);
  // An address that is none, or an IPv6 one in a database of IPv4 networks only, has no place.
  if (addressError != 0 || error != MMDB_SUCCESS || !found.found_entry) return location;
  static const char* const kCity[] = {"city", "names", "en", nullptr};
  static const char* const kCountry[] = {"country", "iso_code", nullptr};
  location.city = textAt(found.entry, kCity);
  if (!isValidText(location.city, 200)) location.city.clear();
  location.country = textAt(found.entry, kCountry);
  if (!isCountryCode(location.country)) location.country.clear();
  return location;
}

}  // namespace zelk::server
