#pragma once

#include "Platform/Foundation/Signal.hpp"

#include <chrono>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumavane {

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the reference date of stored records.
struct DefaultsDate {
    // 2001-01-01 00:00:00 UTC in Unix seconds.
    static constexpr double referenceDateInUnixSeconds = 978307200.0;

    double secondsSinceReferenceDate = 0;

    static DefaultsDate fromUnixSeconds(double seconds) { return {seconds - referenceDateInUnixSeconds}; }
    double unixSeconds() const { return secondsSinceReferenceDate + referenceDateInUnixSeconds; }
    static DefaultsDate now() {
        return fromUnixSeconds(
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    }

    friend bool operator==(const DefaultsDate&, const DefaultsDate&) = default;
};

// One typed value of the defaults store.
class DefaultsValue {
public:
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<DefaultsValue>;
    using Dictionary = std::map<std::string, DefaultsValue>;
    using Storage =
        std::variant<bool, std::int64_t, double, std::string, Data, DefaultsDate, Array, Dictionary>;

    DefaultsValue(bool value) : storage_(value) {}
    DefaultsValue(int value) : storage_(std::int64_t(value)) {}
    DefaultsValue(std::int64_t value) : storage_(value) {}
    DefaultsValue(double value) : storage_(value) {}
    DefaultsValue(std::string value) : storage_(std::move(value)) {}
    DefaultsValue(const char* value) : storage_(std::string(value)) {}
    DefaultsValue(Data value) : storage_(std::move(value)) {}
    DefaultsValue(DefaultsDate value) : storage_(value) {}
    DefaultsValue(Array value) : storage_(std::move(value)) {}
    DefaultsValue(Dictionary value) : storage_(std::move(value)) {}
    DefaultsValue(const std::vector<std::string>& strings)
        : storage_(Array(strings.begin(), strings.end())) {}

    const Storage& storage() const noexcept { return storage_; }
    // The value when it holds a T, else null.
    template <typename T> const T* get() const noexcept { return std::get_if<T>(&storage_); }
    // The strings of an array that holds only strings.
    std::optional<std::vector<std::string>> stringArray() const;

    friend bool operator==(const DefaultsValue&, const DefaultsValue&) = default;

private:
    Storage storage_;
};

// Typed preferences in one JSON file ($XDG_CONFIG_HOME/Lumavane/defaults.json unless
// LUMAVANE_DEFAULTS names another). Every DefaultsStore of one file in a process shares one set
// of values, so each sees the others' writes at once and their observers hear them. Changes
// are written in the background, several at a time, to a temporary file that is then renamed
// over the old one: a crash leaves either the previous file or the new one, never part of one.
// Values of the wrong type read as absent. An unreadable or malformed file reads as empty and is
// renamed aside (<name>.corrupt-<UTC time>) before the first write, so it is never lost.
// Reads and writes are thread-safe; observers are called on the thread that changed the value.
class DefaultsStore {
public:
    explicit DefaultsStore(const std::filesystem::path& file);

    // The application's store: LUMAVANE_DEFAULTS, else $XDG_CONFIG_HOME (else ~/.config)
    // /Lumavane/defaults.json, resolved at each call.
    static DefaultsStore standard();
    static std::filesystem::path standardPath();

    const std::filesystem::path& path() const noexcept;

    std::optional<DefaultsValue> value(const std::string& key) const;
    bool contains(const std::string& key) const { return value(key).has_value(); }
    std::optional<bool> boolean(const std::string& key) const { return typed<bool>(key); }
    std::optional<std::int64_t> integer(const std::string& key) const { return typed<std::int64_t>(key); }
    std::optional<double> real(const std::string& key) const { return typed<double>(key); }
    std::optional<std::string> string(const std::string& key) const { return typed<std::string>(key); }
    std::optional<DefaultsValue::Data> data(const std::string& key) const {
        return typed<DefaultsValue::Data>(key);
    }
    std::optional<DefaultsDate> date(const std::string& key) const { return typed<DefaultsDate>(key); }
    std::optional<DefaultsValue::Array> array(const std::string& key) const {
        return typed<DefaultsValue::Array>(key);
    }
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const;
    std::optional<DefaultsValue::Dictionary> dictionary(const std::string& key) const {
        return typed<DefaultsValue::Dictionary>(key);
    }

    // Stores the value; observers of the key hear of it when it differs from the old one.
    void set(const std::string& key, DefaultsValue value);
    void remove(const std::string& key);

    std::vector<std::string> keys() const;
    DefaultsValue::Dictionary dictionaryRepresentation() const;

    // Called with no arguments after the key's value changed (set to another value or removed).
    [[nodiscard]] Connection observe(const std::string& key, std::function<void()> onChange);
    // Called with the key after any key changed.
    [[nodiscard]] Connection observeAll(std::function<void(const std::string&)> onChange);

    // Writes pending changes now, on the calling thread. Throws std::filesystem::filesystem_error
    // when the file cannot be written (background writes only log the failure).
    void synchronize();

    // The most values (object members and array items, at any depth) a file may hold; one holding
    // more is set aside unread. The JSON text of a record stored as data is held to the same bound.
    static constexpr std::size_t maxValues = 100000;
    // Whether JSON text holds at most maxValues values, counted without parsing it.
    static bool withinValueLimit(std::string_view json);

    // The shared state of one file.
    struct Domain;

private:
    // Applies change under the lock; when it reports a change, queues a write and notifies.
    void update(const std::string& key, const std::function<bool(DefaultsValue::Dictionary&)>& change);
    template <typename T> std::optional<T> typed(const std::string& key) const {
        const std::optional<DefaultsValue> found = value(key);
        if (!found) return std::nullopt;
        if (const T* v = found->get<T>()) return *v;
        return std::nullopt;
    }

    std::shared_ptr<Domain> domain_;
};

// The user's preferred interface languages, most wanted first, as language tags ("pt-BR"):
// the entries of LANGUAGE (colon-separated), then the locale of LC_ALL, else LC_MESSAGES, else
// LANG; "C" and "POSIX" are skipped, codesets and modifiers dropped, duplicates kept once.
// Linux's counterpart of the global "AppleLanguages" list.
std::vector<std::string> preferredLanguages();

} // namespace lumavane
