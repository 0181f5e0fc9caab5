// SPDX-License-Identifier: Apache-2.0
// The description of the service's routes (server/openapi.json, OpenAPI 3.1), built into the
// program from the file by cmake/embed_text.cmake and answered at GET /openapi.json.
#pragma once

#include <string_view>

namespace zelk::server {

// The document's bytes, as the file has them.
std::string_view openapiDocument();

}  // namespace zelk::server
