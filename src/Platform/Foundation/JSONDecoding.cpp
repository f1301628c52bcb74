#include "Platform/Foundation/JSONDecoding.hpp"

#include <cmath>
#include <limits>

namespace lumavane {

namespace {

std::string describePath(const std::string& path) {
    return path.empty() ? std::string("the top level") : "\"" + path + "\"";
}

const char* describeKind(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::null:
        return "null";
    case nlohmann::json::value_t::object:
        return "an object";
    case nlohmann::json::value_t::array:
        return "an array";
    case nlohmann::json::value_t::string:
        return "a string";
    case nlohmann::json::value_t::boolean:
        return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
        return "a number";
    default:
        return "an unsupported value";
    }
}

std::string formatNumber(double number) {
    nlohmann::json j = number;
    return j.dump();
}

} // namespace

JSONDecodingError::JSONDecodingError(std::string codingPath, std::string problem)
    : std::runtime_error("Cannot decode " + describePath(codingPath) + ": " + problem),
      codingPath_(std::move(codingPath)),
      problem_(std::move(problem)) {}

namespace json_decoding {

std::size_t nestingDepth(std::string_view text, std::size_t limit) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i; // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit) break;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

nlohmann::json parse(std::string_view text) {
    // The parser itself does not recurse, but much that handles a parsed value does (copies,
    // comparisons, serialisation, our own walks): a hostile depth never becomes a value.
    if (nestingDepth(text) > maximumDepth)
        throw JSONDecodingError("", "the data is nested more than " + std::to_string(maximumDepth) +
                                        " levels deep");
    try {
        return nlohmann::json::parse(text.begin(), text.end(), nullptr, true, false);
    } catch (const nlohmann::json::parse_error& error) {
        throw JSONDecodingError("", std::string("the data is not valid JSON (") + error.what() + ")");
    } catch (const nlohmann::json::exception& error) {
        // The parser reports a number too large for a double (1e999) as out_of_range.
        throw JSONDecodingError("", std::string("the data holds an unusable value (") + error.what() + ")");
    }
}

std::int64_t integer(const nlohmann::json& value, const std::string& path) {
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
        return value.get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw JSONDecodingError(path, "the number " + std::to_string(number) +
                                              " does not fit a 64-bit integer");
        }
        return static_cast<std::int64_t>(number);
    }
    case nlohmann::json::value_t::number_float: {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::trunc(number) != number) {
            throw JSONDecodingError(path, "expected an integer, found the non-integral number " +
                                              formatNumber(number));
        }
        // [-2^63, 2^63): the bounds are exact in double.
        if (number < -9223372036854775808.0 || number >= 9223372036854775808.0) {
            throw JSONDecodingError(path,
                                    "the number " + formatNumber(number) + " does not fit a 64-bit integer");
        }
        return static_cast<std::int64_t>(number);
    }
    default:
        Object::throwTypeMismatch(path, "an integer", value);
    }
}

bool boolean(const nlohmann::json& value, const std::string& path) {
    if (!value.is_boolean()) Object::throwTypeMismatch(path, "a boolean", value);
    return value.get<bool>();
}

std::string string(const nlohmann::json& value, const std::string& path) {
    if (!value.is_string()) Object::throwTypeMismatch(path, "a string", value);
    return value.get<std::string>();
}

Object::Object(const nlohmann::json& value, std::string path) : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) throwTypeMismatch(path_, "an object", value_);
}

void Object::throwTypeMismatch(const std::string& path, const char* expected, const nlohmann::json& found) {
    if (found.is_null()) throw JSONDecodingError(path, std::string("expected ") + expected + ", found null");
    throw JSONDecodingError(path, std::string("expected ") + expected + ", found " + describeKind(found));
}

std::string Object::pathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

const nlohmann::json& Object::required(std::string_view key) const {
    const auto found = value_.find(key);
    if (found == value_.end()) throw JSONDecodingError(pathOf(key), "the required key is missing");
    if (found->is_null()) throw JSONDecodingError(pathOf(key), "the required key is null");
    return *found;
}

const nlohmann::json* Object::optional(std::string_view key) const {
    const auto found = value_.find(key);
    if (found == value_.end() || found->is_null()) return nullptr;
    return &*found;
}

std::int64_t Object::integer(std::string_view key) const {
    return json_decoding::integer(required(key), pathOf(key));
}

std::optional<std::int64_t> Object::optionalInteger(std::string_view key) const {
    const nlohmann::json* value = optional(key);
    if (!value) return std::nullopt;
    return json_decoding::integer(*value, pathOf(key));
}

bool Object::boolean(std::string_view key) const {
    return json_decoding::boolean(required(key), pathOf(key));
}

std::optional<bool> Object::optionalBoolean(std::string_view key) const {
    const nlohmann::json* value = optional(key);
    if (!value) return std::nullopt;
    return json_decoding::boolean(*value, pathOf(key));
}

std::string Object::string(std::string_view key) const {
    return json_decoding::string(required(key), pathOf(key));
}

std::optional<std::string> Object::optionalString(std::string_view key) const {
    const nlohmann::json* value = optional(key);
    if (!value) return std::nullopt;
    return json_decoding::string(*value, pathOf(key));
}

} // namespace json_decoding

} // namespace lumavane
