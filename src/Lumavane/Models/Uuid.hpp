#pragma once

#include <string>

namespace lumavane {

// A new random (version 4) UUID in its standard 36-character upper-case text form.
std::string newUUIDString();

} // namespace lumavane
