#include "Platform/Foundation/DefaultsStore.hpp"

#include "Platform/Foundation/AtomicWrite.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/SerialQueue.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <system_error>

#include <cerrno>
#include <unistd.h>

namespace lumavane {

namespace {

using json = nlohmann::json;

// A defaults file larger than this, or holding more values, is treated as unreadable rather than
// loaded: what loading costs grows with both (a 63 MB file of small objects took gigabytes and
// half a minute). The player's own files stay far below: a full history, five hundred benchmark
// reports, thousands of remembered automatic choices and every setting come to about 0.5 MB and
// 3,300 values (bench/defaults).
constexpr std::uint64_t maxFileBytes = 16ull << 20;
constexpr std::size_t maxValues = DefaultsStore::maxValues;

constexpr const char* typeTag = "$type";

const char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t word = std::uint32_t(bytes[i]) << 16;
        if (n > 1) word |= std::uint32_t(bytes[i + 1]) << 8;
        if (n > 2) word |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; ++k) {
            text += k <= n ? base64Alphabet[(word >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return text;
}

// Each character's sextet, or -1 for those outside the alphabet ('=' included, handled apart).
constexpr std::array<std::int8_t, 256> base64Sextets = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(base64Alphabet[i])] = std::int8_t(i);
    return table;
}();

// Strict: a multiple of four characters of the alphabet, '=' only as the last one or two; no
// whitespace or line breaks.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<std::uint8_t> bytes(text.size() / 4 * 3 - padding);
    std::uint8_t* out = bytes.data();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::int8_t sextet = base64Sextets[static_cast<unsigned char>(text[i + k])];
            if (sextet < 0 && !(last && k >= 4 - padding)) return std::nullopt;
            word = word << 6 | std::uint32_t(sextet < 0 ? 0 : sextet);
        }
        *out++ = static_cast<std::uint8_t>(word >> 16);
        if (!last || padding < 2) *out++ = static_cast<std::uint8_t>(word >> 8);
        if (!last || padding < 1) *out++ = static_cast<std::uint8_t>(word);
    }
    return bytes;
}

// JSON has no NaN or infinities: those go as tagged text.
json encodeReal(double number) {
    if (std::isfinite(number)) return number;
    return json{{typeTag, "real"}, {"value", std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf"}};
}

std::optional<double> decodeReal(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (!value.is_object() || value.value(typeTag, json()) != "real") return std::nullopt;
    const json text = value.value("value", json());
    if (text == "nan") return std::nan("");
    if (text == "inf") return HUGE_VAL;
    if (text == "-inf") return -HUGE_VAL;
    return std::nullopt;
}

json encode(const DefaultsValue& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, double>) {
                return encodeReal(v);
            } else if constexpr (std::is_same_v<T, DefaultsValue::Data>) {
                return json{{typeTag, "data"}, {"value", base64Encode(v)}};
            } else if constexpr (std::is_same_v<T, DefaultsDate>) {
                return json{{typeTag, "date"}, {"value", encodeReal(v.secondsSinceReferenceDate)}};
            } else if constexpr (std::is_same_v<T, DefaultsValue::Array>) {
                json array = json::array();
                for (const DefaultsValue& element : v) array.push_back(encode(element));
                return array;
            } else if constexpr (std::is_same_v<T, DefaultsValue::Dictionary>) {
                json object = json::object();
                for (const auto& [key, element] : v) object[key] = encode(element);
                // A dictionary of its own with the tag key is wrapped so that it reads back as one.
                if (object.contains(typeTag)) return json{{typeTag, "dictionary"}, {"value", object}};
                return object;
            } else {
                return json(v);
            }
        },
        value.storage());
}

std::optional<DefaultsValue> decode(const json& value);

DefaultsValue::Dictionary decodeObject(const json& object) {
    DefaultsValue::Dictionary dictionary;
    for (const auto& [key, element] : object.items()) {
        if (std::optional<DefaultsValue> decoded = decode(element))
            dictionary.emplace(key, std::move(*decoded));
    }
    return dictionary;
}

std::optional<DefaultsValue> decodeTagged(const json& value) {
    const json& tag = value.at(typeTag);
    // By reference: a data value's text can be megabytes.
    static const json none;
    const auto found = value.find("value");
    const json& payload = found != value.end() ? *found : none;
    if (tag == "data" && payload.is_string()) {
        if (auto bytes = base64Decode(payload.get_ref<const std::string&>()))
            return DefaultsValue(std::move(*bytes));
    } else if (tag == "date") {
        if (const std::optional<double> seconds = decodeReal(payload))
            return DefaultsValue(DefaultsDate{*seconds});
    } else if (tag == "real") {
        if (const std::optional<double> number = decodeReal(value)) return DefaultsValue(*number);
    } else if (tag == "dictionary" && payload.is_object()) {
        return DefaultsValue(decodeObject(payload));
    }
    return std::nullopt;
}

std::optional<DefaultsValue> decode(const json& value) {
    switch (value.type()) {
    case json::value_t::boolean:
        return DefaultsValue(value.get<bool>());
    case json::value_t::number_integer:
        return DefaultsValue(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
        if (value.get<std::uint64_t>() <= std::uint64_t(INT64_MAX))
            return DefaultsValue(value.get<std::int64_t>());
        return DefaultsValue(value.get<double>());
    case json::value_t::number_float:
        return DefaultsValue(value.get<double>());
    case json::value_t::string:
        return DefaultsValue(value.get<std::string>());
    case json::value_t::array: {
        DefaultsValue::Array array;
        for (const json& element : value) {
            if (std::optional<DefaultsValue> decoded = decode(element)) array.push_back(std::move(*decoded));
        }
        return DefaultsValue(std::move(array));
    }
    case json::value_t::object:
        if (value.contains(typeTag) && value.at(typeTag).is_string()) {
            if (std::optional<DefaultsValue> tagged = decodeTagged(value)) return tagged;
        }
        // An unknown or broken tag: keep what is there as a plain dictionary.
        return DefaultsValue(decodeObject(value));
    default:
        return std::nullopt;
    }
}

// At least the number of values in JSON text (every element and member is preceded by an opening
// bracket or a comma), counted without parsing it, stopping once past limit.
std::size_t valueCount(std::string_view text, std::size_t limit) {
    std::size_t count = 1;
    bool inString = false;
    for (std::size_t i = 0; i < text.size() && count <= limit; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == ',' || c == '[' || c == '{') {
            ++count;
        }
    }
    return count;
}

// Sets `unusable` when a file is there but cannot be loaded, so that it is kept, not overwritten.
DefaultsValue::Dictionary load(const std::filesystem::path& path, bool& unusable) {
    std::string text;
    try {
        text = files::readWholeText(path, maxFileBytes);
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() != std::errc::no_such_file_or_directory) {
            std::fprintf(stderr, "Lumavane: defaults file unreadable, starting empty: %s\n", error.what());
            unusable = true;
        }
        return {};
    }
    if (valueCount(text, maxValues) > maxValues) {
        std::fprintf(stderr, "Lumavane: defaults file %s holds more than %zu values, starting empty\n",
                     path.c_str(), maxValues);
        unusable = true;
        return {};
    }
    json document;
    try {
        // Bounded nesting: the decoding below recurses.
        document = json_decoding::parse(text);
    } catch (const JSONDecodingError& error) {
        std::fprintf(stderr, "Lumavane: defaults file %s unreadable, starting empty: %s\n", path.c_str(),
                     error.what());
        unusable = true;
        return {};
    }
    if (!document.is_object()) {
        std::fprintf(stderr, "Lumavane: defaults file %s is not a JSON object, starting empty\n",
                     path.c_str());
        unusable = true;
        return {};
    }
    return decodeObject(document);
}

// One key a line, each value compact: indenting nested values would make the file grow with the
// square of their depth.
std::string serialize(const json& document) {
    std::string text = "{";
    const char* separator = "\n";
    for (const auto& [key, value] : document.items()) {
        text += separator;
        text += "  ";
        text += json(key).dump(-1, ' ', false, json::error_handler_t::replace);
        text += ": ";
        text += value.dump(-1, ' ', false, json::error_handler_t::replace);
        separator = ",\n";
    }
    text += document.empty() ? "}\n" : "\n}\n";
    return text;
}

// Renames an unusable defaults file to <name>.corrupt-<UTC time>[-N], never over an earlier one.
void setAside(const std::filesystem::path& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string stem = path.string() + ".corrupt-" + stamp;
    for (int n = 0;; ++n) {
        const std::string aside = n == 0 ? stem : stem + "-" + std::to_string(n);
        // link() refuses an existing name, so an earlier copy is never replaced; a file system
        // without hard links gets a check, then a rename.
        // The failure is kept at once: the checks below set errno themselves.
        bool kept = ::link(path.c_str(), aside.c_str()) == 0;
        int failure = kept ? 0 : errno;
        if (kept) ::unlink(path.c_str()); // the new file replaces it anyway
        std::error_code ignored;
        if (!kept && (failure == EPERM || failure == ENOTSUP)) {
            if (std::filesystem::exists(aside, ignored)) {
                failure = EEXIST;
            } else {
                kept = ::rename(path.c_str(), aside.c_str()) == 0;
                failure = kept ? 0 : errno;
            }
        }
        if (kept) {
            std::fprintf(stderr, "Lumavane: unreadable defaults file kept as %s\n", aside.c_str());
            return;
        }
        if (failure == ENOENT) return; // gone meanwhile: nothing to keep
        if (failure != EEXIST && !std::filesystem::exists(aside, ignored))
            throw std::filesystem::filesystem_error("cannot keep the unreadable defaults file", path, aside,
                                                    std::error_code(failure, std::generic_category()));
    }
}

} // namespace

bool DefaultsStore::withinValueLimit(std::string_view json) {
    return valueCount(json, maxValues) <= maxValues;
}

std::optional<std::vector<std::string>> DefaultsValue::stringArray() const {
    const Array* array = get<Array>();
    if (!array) return std::nullopt;
    std::vector<std::string> strings;
    for (const DefaultsValue& element : *array) {
        const std::string* text = element.get<std::string>();
        if (!text) return std::nullopt;
        strings.push_back(*text);
    }
    return strings;
}

struct DefaultsStore::Domain {
    explicit Domain(std::filesystem::path file) : path(std::move(file)), values(load(path, unusableFile)) {}
    ~Domain() { flushQuietly(); }

    const std::filesystem::path path;
    bool unusableFile = false; // set aside before the first write; guarded by writeMutex
    mutable std::mutex mutex;
    DefaultsValue::Dictionary values;
    std::uint64_t generation = 0;
    std::uint64_t writtenGeneration = 0;
    bool writeQueued = false;

    std::mutex writeMutex;

    // Observers, used on the thread that makes the changes.
    std::map<std::string, Signal<>> keySignals;
    Signal<const std::string&> anySignal;

    void flush() {
        std::lock_guard writing(writeMutex);
        json document = json::object();
        std::uint64_t snapshot = 0;
        {
            std::lock_guard lock(mutex);
            if (generation == writtenGeneration) return;
            snapshot = generation;
            for (const auto& [key, value] : values) document[key] = encode(value);
        }
        if (unusableFile) {
            setAside(path);
            unusableFile = false;
        }
        files::writeAtomically(path, serialize(document), 0600);
        std::lock_guard lock(mutex);
        writtenGeneration = snapshot;
    }

    void flushQuietly() noexcept {
        try {
            flush();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Lumavane: %s\n", error.what());
        }
    }
};

namespace {

// The live domain of each file, and the background writer. A domain lives while a store or a
// queued write holds it, and writes what is pending when it goes; so does the writer at exit.
struct Registry {
    std::mutex mutex;
    std::map<std::filesystem::path, std::weak_ptr<DefaultsStore::Domain>> domains;
    std::unique_ptr<SerialQueue> writer;

    ~Registry() {
        if (writer) writer->shutdown();
    }

    std::shared_ptr<DefaultsStore::Domain> domain(const std::filesystem::path& file) {
        std::error_code error;
        std::filesystem::path key = std::filesystem::weakly_canonical(std::filesystem::absolute(file), error);
        if (error) key = std::filesystem::absolute(file).lexically_normal();
        std::lock_guard lock(mutex);
        std::erase_if(domains, [](const auto& entry) { return entry.second.expired(); });
        std::weak_ptr<DefaultsStore::Domain>& slot = domains[key];
        std::shared_ptr<DefaultsStore::Domain> domain = slot.lock();
        if (!domain) {
            domain = std::make_shared<DefaultsStore::Domain>(file);
            slot = domain;
        }
        return domain;
    }

    void scheduleWrite(const std::shared_ptr<DefaultsStore::Domain>& domain) {
        std::lock_guard lock(mutex);
        if (!writer) writer = std::make_unique<SerialQueue>("Lumavane.defaults", QualityOfService::utility);
        writer->async([domain] {
            {
                std::lock_guard state(domain->mutex);
                domain->writeQueued = false;
            }
            domain->flushQuietly();
        });
    }
};

Registry& registry() {
    static Registry instance;
    return instance;
}

} // namespace

DefaultsStore::DefaultsStore(const std::filesystem::path& file) : domain_(registry().domain(file)) {}

DefaultsStore DefaultsStore::standard() { return DefaultsStore(standardPath()); }

std::filesystem::path DefaultsStore::standardPath() {
    if (const char* override = std::getenv("LUMAVANE_DEFAULTS"); override && *override) return override;
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::filesystem::path(home) / ".config";
    } else {
        config = std::filesystem::temp_directory_path();
    }
    return config / "Lumavane" / "defaults.json";
}

const std::filesystem::path& DefaultsStore::path() const noexcept { return domain_->path; }

std::optional<DefaultsValue> DefaultsStore::value(const std::string& key) const {
    std::lock_guard lock(domain_->mutex);
    const auto found = domain_->values.find(key);
    if (found == domain_->values.end()) return std::nullopt;
    return found->second;
}

std::optional<std::vector<std::string>> DefaultsStore::stringArray(const std::string& key) const {
    const std::optional<DefaultsValue> found = value(key);
    if (!found) return std::nullopt;
    return found->stringArray();
}

void DefaultsStore::set(const std::string& key, DefaultsValue value) {
    update(key, [&](DefaultsValue::Dictionary& values) {
        const auto found = values.find(key);
        if (found != values.end() && found->second == value) return false;
        values.insert_or_assign(key, std::move(value));
        return true;
    });
}

void DefaultsStore::remove(const std::string& key) {
    update(key, [&](DefaultsValue::Dictionary& values) { return values.erase(key) > 0; });
}

void DefaultsStore::update(const std::string& key,
                           const std::function<bool(DefaultsValue::Dictionary&)>& change) {
    bool queue = false;
    {
        std::lock_guard lock(domain_->mutex);
        if (!change(domain_->values)) return;
        ++domain_->generation;
        queue = !std::exchange(domain_->writeQueued, true);
    }
    if (queue) registry().scheduleWrite(domain_);
    if (const auto found = domain_->keySignals.find(key); found != domain_->keySignals.end())
        found->second.emit();
    domain_->anySignal.emit(key);
}

std::vector<std::string> DefaultsStore::keys() const {
    std::lock_guard lock(domain_->mutex);
    std::vector<std::string> names;
    for (const auto& [key, value] : domain_->values) names.push_back(key);
    return names;
}

DefaultsValue::Dictionary DefaultsStore::dictionaryRepresentation() const {
    std::lock_guard lock(domain_->mutex);
    return domain_->values;
}

Connection DefaultsStore::observe(const std::string& key, std::function<void()> onChange) {
    return domain_->keySignals[key].connect(std::move(onChange));
}

Connection DefaultsStore::observeAll(std::function<void(const std::string&)> onChange) {
    return domain_->anySignal.connect(std::move(onChange));
}

void DefaultsStore::synchronize() { domain_->flush(); }

namespace {

// "pt_BR.UTF-8@euro" -> "pt-BR"; "" for the C locale and empty entries.
std::string languageTag(std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale == "C" || locale == "POSIX") return {};
    for (char& c : locale) {
        if (c == '_') c = '-';
    }
    return locale;
}

} // namespace

std::vector<std::string> preferredLanguages() {
    std::vector<std::string> tags;
    std::set<std::string> seen;
    const auto add = [&](const std::string& locale) {
        std::string tag = languageTag(locale);
        if (!tag.empty() && seen.insert(tag).second) tags.push_back(std::move(tag));
    };
    if (const char* language = std::getenv("LANGUAGE")) {
        std::string list = language;
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t end = std::min(list.find(':', start), list.size());
            add(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* locale = std::getenv(name); locale && *locale) {
            add(locale);
            break;
        }
    }
    return tags;
}

} // namespace lumavane
