#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// A JSON document that does not decode into the expected value. The text names
// the key path that failed ("layers[1].output") and what was wrong there.
class JSONDecodingError : public std::runtime_error {
public:
    JSONDecodingError(std::string codingPath, std::string problem);

    // Empty for the document itself.
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& problem() const noexcept { return problem_; }

private:
    std::string codingPath_;
    std::string problem_;
};

// Strict decoding helpers for JSON files. Required keys must be
// present and non-null; an integer must be an integral number that fits 64 bits
// (16.0 is 16, 16.5 and "16" are errors); a boolean must be true or false.
// Keys not asked for are ignored; optional keys may be absent or null.
namespace json_decoding {

// Deepest nesting of arrays and objects a document may have. Ours are a few levels deep; a
// deeper one is hostile, and code that walks values recursively must not meet it.
inline constexpr std::size_t maximumDepth = 256;

// Parses UTF-8 JSON text (no comments); invalid text, a number no double can hold, or nesting
// deeper than maximumDepth is a JSONDecodingError.
nlohmann::json parse(std::string_view text);

// The deepest nesting of arrays and objects in text, counted without parsing it (strings are
// skipped), stopping once past limit. Exact for valid JSON.
std::size_t nestingDepth(std::string_view text, std::size_t limit = maximumDepth);

std::int64_t integer(const nlohmann::json& value, const std::string& path);
bool boolean(const nlohmann::json& value, const std::string& path);
std::string string(const nlohmann::json& value, const std::string& path);

// One JSON object being decoded, with the path that leads to it.
class Object {
public:
    // Throws JSONDecodingError when value is not an object.
    Object(const nlohmann::json& value, std::string path);

    // The required value under key; absent or null is an error.
    const nlohmann::json& required(std::string_view key) const;
    // The value under key, or nullptr when absent or null.
    const nlohmann::json* optional(std::string_view key) const;
    // Path of a key of this object, for messages and nested decoding.
    std::string pathOf(std::string_view key) const;

    std::int64_t integer(std::string_view key) const;
    std::optional<std::int64_t> optionalInteger(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::optional<bool> optionalBoolean(std::string_view key) const;
    std::string string(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;

    // A required array, each element decoded by decode(element, path of the element).
    template <typename Decode>
    auto array(std::string_view key, Decode decode) const
        -> std::vector<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))> {
        const nlohmann::json& value = required(key);
        const std::string path = pathOf(key);
        if (!value.is_array()) throwTypeMismatch(path, "an array", value);
        std::vector<decltype(decode(value, path))> result;
        result.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            result.push_back(decode(value[i], path + "[" + std::to_string(i) + "]"));
        }
        return result;
    }

    [[noreturn]] static void throwTypeMismatch(const std::string& path, const char* expected,
                                               const nlohmann::json& found);

private:
    const nlohmann::json& value_;
    std::string path_;
};

} // namespace json_decoding

} // namespace lumavane
