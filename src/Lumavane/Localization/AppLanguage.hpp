#pragma once

#include <functional>
#include <string>

namespace lumavane {

// One entry of the interface-language menu: "system", a built-in language or a language pack.
struct AppLanguage {
    std::string id;          // "system", "ja", "en" or a language-pack code
    std::string displayName; // the name shown in the menu
    bool isBuiltIn = false;  // false for language packs

    friend bool operator==(const AppLanguage&, const AppLanguage&) = default;
};

} // namespace lumavane

template <> struct std::hash<lumavane::AppLanguage> {
    std::size_t operator()(const lumavane::AppLanguage& language) const noexcept {
        const std::size_t a = std::hash<std::string>{}(language.id);
        const std::size_t b = std::hash<std::string>{}(language.displayName);
        return (a * 31 + b) * 31 + static_cast<std::size_t>(language.isBuiltIn);
    }
};
