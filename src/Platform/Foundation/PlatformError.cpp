#include "Platform/Foundation/PlatformError.hpp"

namespace lumavane {

namespace {
std::string describe(const std::string& domain, int code, const std::optional<std::string>& description) {
    if (description) return *description;
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}
} // namespace

PlatformError::PlatformError(std::string domain, int code, std::optional<std::string> description)
    : std::runtime_error(describe(domain, code, description)),
      domain_(std::move(domain)),
      code_(code),
      description_(std::move(description)) {}

std::string PlatformError::localizedDescription() const { return describe(domain_, code_, description_); }

} // namespace lumavane
