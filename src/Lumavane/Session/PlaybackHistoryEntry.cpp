#include "Lumavane/Session/PlaybackHistoryEntry.hpp"

#include "Platform/Foundation/JSONDecoding.hpp"

#include <cctype>
#include <cstdint>
#include <limits>

namespace lumavane {

namespace {

bool keptInPath(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@/").find(char(c)) != std::string_view::npos;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

double number(const json_decoding::Object& object, std::string_view key) {
    const nlohmann::json& value = object.required(key);
    if (!value.is_number()) json_decoding::Object::throwTypeMismatch(object.pathOf(key), "a number", value);
    return value.get<double>();
}

std::optional<int> optionalInt(const json_decoding::Object& object, std::string_view key) {
    const std::optional<std::int64_t> value = object.optionalInteger(key);
    if (!value) return std::nullopt;
    if (*value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) {
        throw JSONDecodingError(object.pathOf(key), "out of range");
    }
    return int(*value);
}

} // namespace

std::string fileURLString(const std::filesystem::path& path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::string text = path.is_absolute() ? path.string() : std::filesystem::absolute(path).string();
    std::string url = "file://";
    for (const unsigned char c : text) {
        if (keptInPath(c)) {
            url += char(c);
        } else {
            url += '%';
            url += digits[c >> 4];
            url += digits[c & 15];
        }
    }
    return url;
}

std::optional<std::filesystem::path> pathFromFileURLString(std::string_view url) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return std::nullopt;
    }
    url.remove_prefix(scheme.size());
    const auto slash = url.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = url.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;
    url.remove_prefix(slash);
    std::string path;
    for (std::size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%') {
            if (i + 2 >= url.size()) return std::nullopt;
            const int high = hexValue(url[i + 1]);
            const int low = hexValue(url[i + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
            path += char(high * 16 + low);
            i += 2;
        } else if (url[i] == '?' || url[i] == '#') {
            break;
        } else {
            path += url[i];
        }
    }
    return std::filesystem::path(path);
}

nlohmann::json toJSON(const PlaybackHistoryEntry& entry) {
    nlohmann::json json = {{"url", fileURLString(entry.url)},
                           {"position", entry.position},
                           {"duration", entry.duration},
                           {"lastPlayed", entry.lastPlayed.secondsSinceReferenceDate}};
    if (entry.audioTrackID) json["audioTrackID"] = *entry.audioTrackID;
    if (entry.subtitleTrackID) json["subtitleTrackID"] = *entry.subtitleTrackID;
    return json;
}

PlaybackHistoryEntry playbackHistoryEntryFromJSON(const nlohmann::json& json, const std::string& path) {
    const json_decoding::Object object(json, path);
    PlaybackHistoryEntry entry;
    const std::string url = object.string("url");
    const std::optional<std::filesystem::path> file = pathFromFileURLString(url);
    if (!file) throw JSONDecodingError(object.pathOf("url"), "not a file URL");
    entry.url = *file;
    entry.position = number(object, "position");
    entry.duration = number(object, "duration");
    entry.lastPlayed = DefaultsDate{number(object, "lastPlayed")};
    entry.audioTrackID = optionalInt(object, "audioTrackID");
    entry.subtitleTrackID = optionalInt(object, "subtitleTrackID");
    return entry;
}

} // namespace lumavane
