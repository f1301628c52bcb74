#include "Lumavane/Session/SameFile.hpp"

#include <system_error>

namespace lumavane {

namespace {

std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path result = std::filesystem::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
}

} // namespace

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.empty() || b.empty()) return false;
    return resolved(a) == resolved(b);
}

} // namespace lumavane
