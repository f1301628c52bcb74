#pragma once

#include "Lumavane/Localization/AppLanguage.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumavane {

class AppLanguageStore;

// Interface languages added from strings files. A pack with code C is the folder
// C.bundle (Contents/Info.plist, Contents/Resources/C.lproj/Localizable.strings) in
// $XDG_DATA_HOME/Lumavane/LanguagePacks. Main thread only.
class LanguagePackStore {
public:
    // An install refusal; what() is its message in the selected interface language.
    class PackError : public std::runtime_error {
    public:
        enum class Code {
            invalidFileName,
            builtInLanguage,
            invalidStringsFile,
            alreadyInstalled,
            installationFailed
        };
        explicit PackError(Code code);
        Code code() const noexcept { return code_; }
        // "language_pack.error.invalid_filename" and so on.
        const char* messageKey() const noexcept { return keyOf(code_); }
        static const char* keyOf(Code code) noexcept;
        // The message looked up now, in the language selected now.
        std::string localizedDescription() const;

    private:
        Code code_;
    };

    // Source files larger than this are refused as they are read.
    static constexpr std::uint64_t maxStringsFileBytes = 4ull << 20;

    // Runs reload(). `languages` is the selection that remove() resets when its pack goes.
    explicit LanguagePackStore(AppLanguageStore& languages);
    // The process's store over AppLanguageStore::shared(); created on first use.
    static LanguagePackStore& shared();

    // The installed packs, sorted by display name (case-insensitive, numbers by value).
    const std::vector<AppLanguage>& installedLanguages() const noexcept { return installedLanguages_; }
    // Notified when installedLanguages changes.
    Signal<>& changed() noexcept { return changed_; }

    // Installs a strings file as the pack named after the file (fr.strings, or
    // Localizable.strings in fr.lproj) and returns its entry. Throws PackError, the read error
    // (std::filesystem::filesystem_error; larger than maxStringsFileBytes is file_too_large) or
    // the parse error (StringsFileError).
    AppLanguage install(const std::filesystem::path& file);
    // Removes a pack's folder (built-in entries: nothing) and reloads; when the pack was the
    // selected language the selection goes back to "system". Throws the file system's error.
    void remove(const AppLanguage& language);
    // Creates the packs folder and opens it in the file manager.
    void revealPacksDirectory();
    // Rebuilds installedLanguages from the packs folder (an unreadable folder lists nothing).
    void reload();

    // How revealPacksDirectory opens a folder: xdg-open unless replaced (tests).
    std::function<void(const std::filesystem::path&)> openFolder;

    static std::filesystem::path packsDirectory();
    // The pack's folder, whether it exists or not; nullopt when code is not a language code,
    // so an id read from the defaults never builds a path outside the packs folder.
    static std::optional<std::filesystem::path> bundleURL(const std::string& code);
    // Two or three letters, then any number of "-" and 2 to 8 letters or digits ("pt-BR").
    static bool isLanguageCode(const std::string& code);
    // The code a strings file stands for (its ".lproj" folder's name, else its own), or
    // PackError invalidFileName.
    static std::string languageCode(const std::filesystem::path& file);
    // The language's own name for itself ("Deutsch", "français"), or the code.
    static std::string displayName(const std::string& code);

private:
    AppLanguageStore& languages_;
    std::vector<AppLanguage> installedLanguages_;
    Signal<> changed_;
};

} // namespace lumavane
