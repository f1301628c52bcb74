// Sets (or, with no value, removes) an environment variable for the object's life and puts the
// previous state back afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace lumavane::test {

class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* current = std::getenv(name_.c_str())) previous_ = current;
        if (value)
            setenv(name_.c_str(), value->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    // A null pointer removes the variable.
    ScopedEnv(std::string name, const char* value)
        : ScopedEnv(std::move(name), value ? std::optional<std::string>(value) : std::nullopt) {}
    ~ScopedEnv() {
        if (previous_)
            setenv(name_.c_str(), previous_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Points the resource lookup (LUMAVANE_RESOURCES) at another folder while it lives.
class ResourcesOverride {
public:
    explicit ResourcesOverride(const std::filesystem::path& folder)
        : resources_("LUMAVANE_RESOURCES", folder.string()) {}

private:
    ScopedEnv resources_;
};

} // namespace lumavane::test
