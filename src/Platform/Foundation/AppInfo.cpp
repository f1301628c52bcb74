#include "Platform/Foundation/AppInfo.hpp"

#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <nlohmann/json.hpp>

namespace lumavane {

std::optional<std::string> appInfoString(const std::string& key) {
    try {
        const nlohmann::json info =
            json_decoding::parse(files::readWholeText(resourcesDirectory() / "AppInfo.json", 64 * 1024));
        if (!info.is_object()) return std::nullopt;
        const auto found = info.find(key);
        if (found == info.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace lumavane
