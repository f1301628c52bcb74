#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace lumavane {

// One argument of AppLocalization::format: %@ takes text, %d/%ld/%lld/%i/%u integers,
// %f/%e/%g (with flags, width and precision) numbers.
class FormatArgument {
public:
    FormatArgument(std::string text) : value_(std::move(text)) {}
    FormatArgument(const char* text) : value_(std::string(text)) {}
    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)FormatArgument(T number)
        : value_(static_cast<std::int64_t>(number)) {}
    FormatArgument(double number) : value_(number) {}
    FormatArgument(float number) : value_(static_cast<double>(number)) {}

    const std::variant<std::string, std::int64_t, double>& value() const noexcept { return value_; }

private:
    std::variant<std::string, std::int64_t, double> value_;
};

// Text lookup in the selected interface language. Keys are the interface's Japanese source
// texts, plus a few dotted keys ("language_pack.add_button"). Tables are the "Localizable"
// strings files of the folders "ja.lproj" and "en.lproj" in the resource bundle
// "Lumavane_Lumavane.bundle", or of an installed language pack. No lookup fails: a missing
// table or key falls back to English, then to the key itself. Tables are read again whenever
// their file changes on disk.
class AppLocalization {
public:
    static constexpr const char* tableName = "Localizable";
    static constexpr const char* folderType = "lproj";
    static constexpr const char* missingMarker = "__LUMAVANE_MISSING_LOCALIZATION__";
    static constexpr const char* bundleName = "Lumavane_Lumavane.bundle";
    static constexpr const char* languageKey = "LumavanePreferredLanguage";

    // The key's text for the stored language and the user's language list.
    static std::string string(const std::string& key);
    static std::string string(const std::string& key, const std::string& languageID,
                              const std::vector<std::string>& preferences);

    // The key's text filled with the arguments under the selected language's locale (the
    // user's own locale for "system"): "%@ / %lld" or positional "%2$@ %1$@"; "%%" is a percent
    // sign. A missing argument is left empty and an argument of another kind is converted, so
    // a faulty translation never crashes.
    template <typename... Args> static std::string format(const std::string& key, const Args&... arguments) {
        return formatList(key, {FormatArgument(arguments)...});
    }
    static std::string formatList(const std::string& key, const std::vector<FormatArgument>& arguments);
    // The formatting itself; localeTag "" is the user's own locale (LC_ALL, LC_NUMERIC, LANG).
    static std::string formatString(const std::string& format, const std::string& localeTag,
                                    const std::vector<FormatArgument>& arguments);

    // The standard defaults' "LumavanePreferredLanguage", or "system".
    static std::string selectedLanguageID();
    // The user's preferred languages (LANGUAGE, then the locale), read at each call.
    static std::vector<std::string> systemLanguagePreferences();
    // The language folders of the application's resource bundle ("en", "ja").
    static std::vector<std::string> availableLocalizations();
    // The best of `available` for `preferences`: an exact tag (case-insensitive), else the same
    // language ("en-GB" picks "en", "pt" picks "pt-BR"); when none matches, "en" if available,
    // else the first available; nullopt only when nothing is available.
    static std::optional<std::string> systemLanguageID(const std::vector<std::string>& available,
                                                       const std::vector<std::string>& preferences);
    // Where a key missing from the selected table is looked up next.
    static std::string fallbackLanguageID(const std::string& selectedLanguageID,
                                          const std::vector<std::string>& available,
                                          const std::vector<std::string>& preferences);
};

} // namespace lumavane
