// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/device_facts.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace zelk::detail {

/// `text` without leading and trailing whitespace.
std::string trimmed(std::string_view text);

/// The variables of an os-release file: one VAR=VALUE assignment per line, blank lines and lines
/// starting with '#' ignored, values unquoted and unescaped as a shell would (single quotes,
/// double quotes with backslash escapes, backslash escapes outside quotes). A later assignment of
/// a variable replaces an earlier one; lines that are not assignments are skipped.
std::map<std::string, std::string, std::less<>> parseOsRelease(std::string_view text);

/// The device facts of a system whose files live under `root` ("/" for this machine), with
/// `kernelRelease` as the version when os-release names none.
DeviceFacts readDeviceFacts(const std::filesystem::path& root, std::string_view kernelRelease);

}  // namespace zelk::detail
