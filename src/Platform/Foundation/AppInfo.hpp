#pragma once

#include <optional>
#include <string>

namespace lumavane {

// The application's information dictionary: the string under `key` in the resource
// "AppInfo.json" (version, benchmark addresses), read at each call. A missing or malformed file,
// a missing key or a value that is not a string reads as absent.
std::optional<std::string> appInfoString(const std::string& key);

} // namespace lumavane
