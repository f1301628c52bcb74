#include "Lumavane/Localization/LanguagePackStore.hpp"

#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Localization/StringsFile.hpp"
#include "Platform/Foundation/AtomicWrite.hpp"
#include "Platform/Foundation/FileReading.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>

#include <sys/wait.h>
#include <unistd.h>

namespace lumavane {

namespace {

namespace fs = std::filesystem;

std::string lowercased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string infoPlist(const std::string& code) {
    const std::pair<const char*, std::string> entries[] = {
        {"CFBundleDevelopmentRegion", code},
        {"CFBundleIdentifier", "com.tallowby.lumavane.LanguagePack." + code},
        {"CFBundleName", "Lumavane " + code + " Language Pack"},
        {"CFBundlePackageType", "BNDL"},
        {"CFBundleShortVersionString", "1.0"},
        {"CFBundleVersion", "1"},
    };
    // Codes are letters, digits and hyphens: nothing here needs XML escaping.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : entries) {
        xml += "\t<key>" + std::string(key) + "</key>\n\t<string>" + value + "</string>\n";
    }
    return xml + "</dict>\n</plist>\n";
}

void createBundle(const fs::path& bundle, const std::string& code, const std::vector<std::uint8_t>& strings) {
    const fs::path localization = bundle / "Contents" / "Resources" / (code + ".lproj");
    fs::create_directories(localization);
    files::writeAtomically(localization / "Localizable.strings",
                           std::string_view(reinterpret_cast<const char*>(strings.data()), strings.size()));
    files::writeAtomically(bundle / "Contents" / "Info.plist", infoPlist(code));
}

// Opens a folder in the user's file manager without waiting for it: the intermediate child
// exits at once, so the opener is adopted by init and never left a zombie.
void openWithXdgOpen(const fs::path& folder) {
    const pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        if (::fork() == 0) {
            ::execlp("xdg-open", "xdg-open", folder.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

} // namespace

LanguagePackStore::PackError::PackError(Code code)
    : std::runtime_error(AppLocalization::string(keyOf(code))), code_(code) {}

const char* LanguagePackStore::PackError::keyOf(Code code) noexcept {
    switch (code) {
    case Code::invalidFileName:
        return "language_pack.error.invalid_filename";
    case Code::builtInLanguage:
        return "language_pack.error.built_in";
    case Code::invalidStringsFile:
        return "language_pack.error.invalid_file";
    case Code::alreadyInstalled:
        return "language_pack.error.already_installed";
    case Code::installationFailed:
        break;
    }
    return "language_pack.error.install_failed";
}

std::string LanguagePackStore::PackError::localizedDescription() const {
    return AppLocalization::string(messageKey());
}

LanguagePackStore::LanguagePackStore(AppLanguageStore& languages)
    : openFolder(openWithXdgOpen), languages_(languages) {
    reload();
}

LanguagePackStore& LanguagePackStore::shared() {
    static LanguagePackStore store(AppLanguageStore::shared());
    return store;
}

fs::path LanguagePackStore::packsDirectory() {
    fs::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        data = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        data = fs::path(home) / ".local" / "share";
    } else {
        data = fs::temp_directory_path();
    }
    return data / "Lumavane" / "LanguagePacks";
}

bool LanguagePackStore::isLanguageCode(const std::string& code) {
    static const std::regex rule("^[A-Za-z]{2,3}(?:-[A-Za-z0-9]{2,8})*$");
    // The pack's folder, code + ".bundle", must still be a file name (255 bytes); the length
    // test also keeps the recursive matcher off long texts.
    return code.size() + std::string_view(".bundle").size() <= 255 && std::regex_match(code, rule);
}

std::optional<fs::path> LanguagePackStore::bundleURL(const std::string& code) {
    if (!isLanguageCode(code)) return std::nullopt;
    return packsDirectory() / (code + ".bundle");
}

std::string LanguagePackStore::languageCode(const fs::path& file) {
    const fs::path parent = file.parent_path();
    const bool inLocalization = lowercased(parent.extension().string()) == ".lproj";
    const std::string name = (inLocalization ? parent : file).stem().string();
    if (!isLanguageCode(name)) throw PackError(PackError::Code::invalidFileName);
    return name;
}

std::string LanguagePackStore::displayName(const std::string& code) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale locale = icu::Locale::forLanguageTag(code, status);
    if (U_FAILURE(status) || locale.isBogus()) return code;
    icu::UnicodeString name;
    locale.getDisplayName(locale, name);
    std::string text;
    name.toUTF8String(text);
    return text.empty() ? code : text;
}

void LanguagePackStore::reload() {
    std::vector<AppLanguage> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(packsDirectory(), error)) {
        const fs::path& path = entry.path();
        const std::string code = path.stem().string();
        if (path.filename().string().starts_with('.') || path.extension() != ".bundle") continue;
        std::error_code ignored;
        // Only well-formed codes: any other name could never be selected safely.
        if (!isLanguageCode(code) || !fs::is_directory(path, ignored)) continue;
        found.push_back(AppLanguage{code, displayName(code), false});
    }
    if (error) found.clear();

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) {
        collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        collator->setStrength(icu::Collator::SECONDARY); // case-insensitive
        std::stable_sort(found.begin(), found.end(), [&](const AppLanguage& a, const AppLanguage& b) {
            UErrorCode compareStatus = U_ZERO_ERROR;
            return collator->compareUTF8(a.displayName, b.displayName, compareStatus) == UCOL_LESS;
        });
    } else {
        std::stable_sort(found.begin(), found.end(), [](const AppLanguage& a, const AppLanguage& b) {
            return lowercased(a.displayName) < lowercased(b.displayName);
        });
    }
    if (found == installedLanguages_) return;
    installedLanguages_ = std::move(found);
    changed_.emit();
}

AppLanguage LanguagePackStore::install(const fs::path& file) {
    const std::string code = languageCode(file);
    if (code == "ja" || code == "en") throw PackError(PackError::Code::builtInLanguage);
    // One read: these very bytes are validated and then installed.
    const std::vector<std::uint8_t> bytes = files::readWholeFile(file, maxStringsFileBytes);
    const StringsTable table =
        parseStringsFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!table.onlyStrings || table.strings.empty()) throw PackError(PackError::Code::invalidStringsFile);

    const fs::path bundle = *bundleURL(code);
    std::error_code error;
    // Anything at all there counts, a dangling link included; so does a pack whose code differs
    // only in case, which a case-insensitive file system would have found at the same path.
    if (fs::exists(fs::symlink_status(bundle, error))) throw PackError(PackError::Code::alreadyInstalled);
    const std::string wanted = lowercased(bundle.filename().string());
    for (const auto& entry : fs::directory_iterator(packsDirectory(), error)) {
        if (lowercased(entry.path().filename().string()) == wanted)
            throw PackError(PackError::Code::alreadyInstalled);
    }
    try {
        createBundle(bundle, code, bytes);
    } catch (const std::exception&) {
        std::error_code ignored;
        fs::remove_all(bundle, ignored);
        throw PackError(PackError::Code::installationFailed);
    }
    reload();
    for (const AppLanguage& language : installedLanguages_) {
        if (language.id == code) return language;
    }
    return AppLanguage{code, displayName(code), false};
}

void LanguagePackStore::remove(const AppLanguage& language) {
    if (language.isBuiltIn) return;
    const std::optional<fs::path> bundle = bundleURL(language.id);
    if (!bundle)
        throw fs::filesystem_error("not a language pack", language.id,
                                   std::make_error_code(std::errc::invalid_argument));
    if (!fs::exists(fs::symlink_status(*bundle))) {
        throw fs::filesystem_error("cannot remove language pack", *bundle,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    }
    // remove_all deletes a link itself, never what it points to.
    fs::remove_all(*bundle);
    if (languages_.selectedLanguageID() == language.id) languages_.select("system");
    reload();
}

void LanguagePackStore::revealPacksDirectory() {
    std::error_code ignored;
    fs::create_directories(packsDirectory(), ignored);
    if (openFolder) openFolder(packsDirectory());
}

} // namespace lumavane
