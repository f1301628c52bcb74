#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace lumavane {

// An error value with a string domain, a small integer code and an optional
// localized description. Without a description it describes itself the way the
// desktop platform's error objects do, so texts shown to users stay familiar.
class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string domain, int code, std::optional<std::string> description = std::nullopt);

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    const std::optional<std::string>& localizedDescriptionIfSet() const noexcept { return description_; }
    // The description, or "The operation couldn’t be completed. (DOMAIN error CODE.)".
    std::string localizedDescription() const;

private:
    std::string domain_;
    int code_;
    std::optional<std::string> description_;
};

} // namespace lumavane
