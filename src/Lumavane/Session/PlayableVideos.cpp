#include "Lumavane/Session/PlayableVideos.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <string>
#include <system_error>

namespace lumavane {

namespace {

constexpr std::array<std::string_view, 24> supportedExtensions = {
    "mp4", "m4v", "mov", "mkv", "webm", "avi", "wmv", "asf", "mpg",  "mpeg", "m2v", "ts",
    "mts", "m2ts", "flv", "f4v", "ogv", "vob", "3gp", "3g2", "mxf", "divx", "rm",  "rmvb"};

// Folders other systems present as one document; their insides are never videos of the user's.
constexpr std::array<std::string_view, 12> packageExtensions = {
    "app", "bundle", "framework", "plugin", "kext", "mlpackage", "mlmodelc", "photoslibrary", "fcpbundle",
    "imovielibrary", "tvlibrary", "rtfd"};

bool isHidden(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

bool isPackage(const std::filesystem::path& path) {
    const std::string extension = lowerCaseExtension(path);
    return std::find(packageExtensions.begin(), packageExtensions.end(), extension) != packageExtensions.end();
}

// From the name alone, as the file manager types a file it has not opened: the shared MIME
// database's globs (clip.qt is video/quicktime), no content read.
bool hasVideoContentType(const std::filesystem::path& path) {
    gboolean uncertain = false;
    gchar* type = g_content_type_guess(path.filename().c_str(), nullptr, 0, &uncertain);
    const bool video = type && g_content_type_is_a(type, "video/*");
    g_free(type);
    return video;
}

bool isPlayable(const std::filesystem::path& path) {
    return isSupportedVideoExtension(lowerCaseExtension(path)) || hasVideoContentType(path);
}

std::filesystem::path standardized(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    return absolute.lexically_normal();
}

std::vector<std::filesystem::path> videosInFolder(const std::filesystem::path& folder, int maximumDepth) {
    std::vector<std::filesystem::path> found;
    std::error_code error;
    // Links to folders are not followed, so a link cycle cannot keep the walk going.
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    const std::filesystem::recursive_directory_iterator end;
    while (!error && it != end) {
        const std::filesystem::directory_entry& entry = *it;
        std::error_code statusError;
        const bool directory = entry.is_directory(statusError) && !entry.is_symlink(statusError);
        if (isHidden(entry.path()) || (directory && (isPackage(entry.path()) || it.depth() + 1 >= maximumDepth))) {
            if (directory) it.disable_recursion_pending();
        } else if (!directory && entry.is_regular_file(statusError) && isPlayable(entry.path())) {
            found.push_back(standardized(entry.path()));
        }
        it.increment(error);
        if (error) {
            // One unreadable entry ends only its own branch where the iterator allows it.
            break;
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return localizedStandardLess(a.string(), b.string());
    });
    return found;
}

} // namespace

std::string lowerCaseExtension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

std::span<const std::string_view> supportedVideoExtensions() { return supportedExtensions; }

bool isSupportedVideoExtension(std::string_view extension) {
    return std::find(supportedExtensions.begin(), supportedExtensions.end(), extension) != supportedExtensions.end();
}

std::filesystem::path standardizedVideoPath(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(standardized(path), error);
    return error ? standardized(path) : resolved;
}

bool localizedStandardLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[j]);
        if (std::isdigit(ca) && std::isdigit(cb)) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string_view na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
            while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
            continue;
        }
        const int la = std::tolower(ca), lb = std::tolower(cb);
        if (la != lb) return la < lb;
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b; // equal ignoring case and zeros: any fixed order
}

std::vector<std::filesystem::path> playableVideos(const std::vector<std::filesystem::path>& items, int maximumDepth) {
    std::vector<std::filesystem::path> result;
    for (const std::filesystem::path& item : items) {
        if (item.empty()) continue;
        const std::filesystem::path path = standardized(item);
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(path, error);
        if (error) continue;
        if (std::filesystem::is_regular_file(status)) {
            if (isPlayable(path)) result.push_back(path);
        } else if (std::filesystem::is_directory(status)) {
            const auto found = videosInFolder(path, maximumDepth);
            result.insert(result.end(), found.begin(), found.end());
        }
    }
    // Listed under the playlist's one identity, so a file reached through a link is one entry.
    for (std::filesystem::path& path : result) path = standardizedVideoPath(path);
    std::set<std::filesystem::path> seen;
    std::erase_if(result, [&](const std::filesystem::path& path) { return !seen.insert(path).second; });
    return result;
}

} // namespace lumavane
