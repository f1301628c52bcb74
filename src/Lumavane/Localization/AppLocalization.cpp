#include "Lumavane/Localization/AppLocalization.hpp"

#include "Lumavane/Localization/LanguagePackStore.hpp"
#include "Lumavane/Localization/StringsFile.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <locale.h>
#include <sys/stat.h>

namespace lumavane {

namespace {

namespace fs = std::filesystem;
using Table = std::map<std::string, std::string>;

// Tables are small; a larger file is treated as unreadable.
constexpr std::uint64_t maxTableBytes = 8ull << 20;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string primaryLanguage(const std::string& tag) { return tag.substr(0, tag.find_first_of("-_")); }

fs::path moduleBundle() { return resourceBundle(AppLocalization::bundleName); }

fs::path builtInFolder(const std::string& id) {
    return moduleBundle() / (id + "." + AppLocalization::folderType);
}

// The parsed "Localizable" table of a language folder, or null when the file is missing,
// too large, not a regular file or not a strings file. Parsed tables are kept until the file
// changes, so a lookup per label does not parse the file again.
std::shared_ptr<const Table> tableIn(const fs::path& folder) {
    const fs::path file = folder / (std::string(AppLocalization::tableName) + ".strings");
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    struct Cached {
        dev_t device;
        ino_t inode;
        off_t size;
        timespec modified;
        std::shared_ptr<const Table> table;
    };
    static std::mutex mutex;
    static std::map<fs::path, Cached> cache;
    const auto same = [&](const Cached& c) {
        return c.device == status.st_dev && c.inode == status.st_ino && c.size == status.st_size &&
               c.modified.tv_sec == status.st_mtim.tv_sec && c.modified.tv_nsec == status.st_mtim.tv_nsec;
    };
    {
        std::lock_guard lock(mutex);
        if (const auto found = cache.find(file); found != cache.end() && same(found->second)) {
            return found->second.table;
        }
    }
    std::shared_ptr<const Table> table;
    try {
        table = std::make_shared<const Table>(
            parseStringsFile(files::readWholeText(file, maxTableBytes)).strings);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Lumavane: cannot read the strings table %s: %s\n", file.c_str(), error.what());
    }
    std::lock_guard lock(mutex);
    cache[file] = Cached{status.st_dev, status.st_ino, status.st_size, status.st_mtim, table};
    return table;
}

std::optional<std::string> lookup(const fs::path& folder, const std::string& key) {
    const std::shared_ptr<const Table> table = tableIn(folder);
    if (!table) return std::nullopt;
    const auto found = table->find(key);
    if (found == table->end()) return std::nullopt;
    return found->second;
}

bool isBuiltInOrSystem(const std::string& id) { return id == "system" || id == "ja" || id == "en"; }

// The language folder whose table is asked first, or nullopt when there is none.
std::optional<fs::path> activeFolder(const std::string& languageID,
                                     const std::vector<std::string>& preferences) {
    if (languageID == "system") {
        const std::optional<std::string> id =
            AppLocalization::systemLanguageID(AppLocalization::availableLocalizations(), preferences);
        if (!id || !fs::is_directory(builtInFolder(*id))) return std::nullopt;
        return builtInFolder(*id);
    }
    if (languageID == "ja" || languageID == "en") {
        if (!fs::is_directory(builtInFolder(languageID))) return std::nullopt;
        return builtInFolder(languageID);
    }
    // The id comes from the defaults file: only a well-formed code may become a path.
    const std::optional<fs::path> bundle = LanguagePackStore::bundleURL(languageID);
    if (!bundle || !fs::is_directory(*bundle)) return std::nullopt;
    return *bundle / "Contents" / "Resources" / (languageID + "." + AppLocalization::folderType);
}

// "de_DE.UTF-8" -> an ICU locale; the C locale reads as en_US_POSIX.
icu::Locale icuLocale(const std::string& tag) {
    if (!tag.empty()) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
        if (U_SUCCESS(status) && !locale.isBogus()) return locale;
        return icu::Locale("en_US_POSIX");
    }
    for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string posix(value);
        posix = posix.substr(0, posix.find_first_of(".@"));
        if (posix == "C" || posix == "POSIX") break;
        return icu::Locale(posix.c_str());
    }
    return icu::Locale("en_US_POSIX");
}

std::string decimalSeparator(const std::string& tag) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::DecimalFormatSymbols symbols(icuLocale(tag), status);
    if (U_FAILURE(status)) return ".";
    std::string separator;
    symbols.getConstSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol).toUTF8String(separator);
    return separator.empty() ? "." : separator;
}

// printf under the C locale whatever the process's locale is; the caller puts in the separator.
std::string printed(const std::string& spec, auto value) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    struct Scoped {
        locale_t previous;
        ~Scoped() { ::uselocale(previous); }
    } scoped{::uselocale(cLocale)};
    char buffer[512];
    const int length = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < sizeof buffer)
        return std::string(buffer, static_cast<std::size_t>(length));
    std::string big(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    big.resize(static_cast<std::size_t>(length));
    return big;
}

std::int64_t asInteger(const FormatArgument& argument) {
    const auto& value = argument.value();
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
    if (const auto* number = std::get_if<double>(&value)) {
        if (!(*number > -9.2e18 && *number < 9.2e18)) return 0;
        return static_cast<std::int64_t>(*number);
    }
    return std::strtoll(std::get<std::string>(value).c_str(), nullptr, 10);
}

double asReal(const FormatArgument& argument) {
    const auto& value = argument.value();
    if (const auto* number = std::get_if<double>(&value)) return *number;
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
    return std::strtod(std::get<std::string>(value).c_str(), nullptr);
}

std::string asText(const FormatArgument& argument, const std::string& separator) {
    const auto& value = argument.value();
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::to_string(*integer);
    std::string text = printed("%g", std::get<double>(value));
    if (const std::size_t point = text.find('.'); point != std::string::npos)
        text.replace(point, 1, separator);
    return text;
}

} // namespace

std::string AppLocalization::selectedLanguageID() {
    return DefaultsStore::standard().string(languageKey).value_or("system");
}

std::vector<std::string> AppLocalization::systemLanguagePreferences() { return preferredLanguages(); }

std::vector<std::string> AppLocalization::availableLocalizations() {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(moduleBundle(), error)) {
        if (entry.path().extension() == std::string(".") + folderType && entry.is_directory(error)) {
            found.push_back(entry.path().stem().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::optional<std::string> AppLocalization::systemLanguageID(const std::vector<std::string>& available,
                                                             const std::vector<std::string>& preferences) {
    for (const std::string& preference : preferences) {
        for (const std::string& candidate : available) {
            if (equalsIgnoringCase(candidate, preference)) return candidate;
        }
        const std::string language = primaryLanguage(preference);
        for (const std::string& candidate : available) {
            if (equalsIgnoringCase(candidate, language)) return candidate;
        }
        for (const std::string& candidate : available) {
            if (equalsIgnoringCase(primaryLanguage(candidate), language)) return candidate;
        }
    }
    if (std::find(available.begin(), available.end(), "en") != available.end()) return "en";
    if (!available.empty()) return available.front();
    return std::nullopt;
}

std::string AppLocalization::fallbackLanguageID(const std::string& selectedLanguageID,
                                                const std::vector<std::string>& available,
                                                const std::vector<std::string>& preferences) {
    if (selectedLanguageID == "ja" || selectedLanguageID == "en") return selectedLanguageID;
    if (selectedLanguageID == "system") return systemLanguageID(available, preferences).value_or("en");
    return "en";
}

std::string AppLocalization::string(const std::string& key) {
    return string(key, selectedLanguageID(), systemLanguagePreferences());
}

std::string AppLocalization::string(const std::string& key, const std::string& languageID,
                                    const std::vector<std::string>& preferences) {
    const std::optional<fs::path> folder = activeFolder(languageID, preferences);
    if (folder) {
        if (std::optional<std::string> text = lookup(*folder, key)) return *text;
    } else if (isBuiltInOrSystem(languageID)) {
        return key;
    }
    // A pack that is gone (or an id that is not a code) reads like a pack lacking the key: English.
    const fs::path fallback =
        builtInFolder(fallbackLanguageID(languageID, availableLocalizations(), preferences));
    if (!fs::is_directory(fallback)) return key;
    return lookup(fallback, key).value_or(key);
}

std::string AppLocalization::formatList(const std::string& key,
                                        const std::vector<FormatArgument>& arguments) {
    const std::string selected = selectedLanguageID();
    const std::string text = string(key, selected, systemLanguagePreferences());
    return formatString(text, selected == "system" ? std::string() : selected, arguments);
}

std::string AppLocalization::formatString(const std::string& format, const std::string& localeTag,
                                          const std::vector<FormatArgument>& arguments) {
    const std::string separator = decimalSeparator(localeTag);
    std::string out;
    std::size_t nextArgument = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %[n$][flags][width][.precision][length]conversion
        std::optional<std::size_t> position;
        std::size_t digitsEnd = i;
        while (digitsEnd < format.size() && std::isdigit(static_cast<unsigned char>(format[digitsEnd])))
            ++digitsEnd;
        if (digitsEnd > i && digitsEnd < format.size() && format[digitsEnd] == '$') {
            position = std::strtoull(format.substr(i, digitsEnd - i).c_str(), nullptr, 10);
            i = digitsEnd + 1;
        }
        std::string flags;
        while (i < format.size() && std::string_view("-+ #0'").find(format[i]) != std::string_view::npos) {
            if (format[i] != '\'') flags += format[i]; // no digit grouping, as the platform's %d
            ++i;
        }
        std::string width;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i])) && width.size() < 3) {
            width += format[i++];
        }
        std::string precision;
        if (i < format.size() && format[i] == '.') {
            precision = ".";
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i])) &&
                   precision.size() < 4) {
                precision += format[i++];
            }
        }
        while (i < format.size() && std::string_view("hlqLzjt").find(format[i]) != std::string_view::npos)
            ++i;
        if (i >= format.size()) {
            out += format.substr(start);
            break;
        }
        const char conversion = format[i++];
        if (std::string_view("@sSdiuxXoOfFeEgGaAcCp").find(conversion) == std::string_view::npos) {
            out += format.substr(start, i - start); // not a conversion: kept as written
            continue;
        }
        const std::size_t index =
            position ? (*position == 0 ? arguments.size() : *position - 1) : nextArgument++;
        if (index >= arguments.size()) continue;
        const FormatArgument& argument = arguments[index];
        const std::string spec = "%" + flags + width + precision;
        switch (conversion) {
        case '@':
        case 's':
        case 'S':
            out += asText(argument, separator);
            break;
        case 'd':
        case 'i':
            out += printed(spec + "lld", static_cast<long long>(asInteger(argument)));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'O':
            out += printed(spec + "ll" + (conversion == 'O' ? 'o' : conversion),
                           static_cast<unsigned long long>(asInteger(argument)));
            break;
        case 'c':
        case 'C':
            if (const std::int64_t c = asInteger(argument); c > 0 && c <= 0x10FFFF) {
                appendUtf8(out, static_cast<char32_t>(c));
            }
            break;
        case 'p':
            break;
        default: {
            std::string number = printed(spec + conversion, asReal(argument));
            if (const std::size_t point = number.find('.'); point != std::string::npos) {
                number.replace(point, 1, separator);
            }
            out += number;
        }
        }
    }
    return out;
}

} // namespace lumavane
