#include "Platform/Foundation/Resources.hpp"

#include <cstdlib>
#include <system_error>

namespace lumavane {

namespace {

bool isDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

} // namespace

std::filesystem::path resourcesDirectory() {
    // An explicit setting wins even when it names nothing: a wrong path should fail loudly where it is
    // used, not be replaced silently by another tree's resources.
    if (const char* fromEnvironment = std::getenv("LUMAVANE_RESOURCES"); fromEnvironment && *fromEnvironment)
        return fromEnvironment;

    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path dir = executable.parent_path();
        for (const auto& candidate : {dir / ".." / "share" / "lumavane" / "resources", dir / "resources"}) {
            if (isDirectory(candidate)) return candidate.lexically_normal();
        }
    }
    return LUMAVANE_SOURCE_RESOURCES_DIR;
}

std::filesystem::path resourceBundle(const std::string& bundleName) {
    return resourcesDirectory() / bundleName;
}

} // namespace lumavane
