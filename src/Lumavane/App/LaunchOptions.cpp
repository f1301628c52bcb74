#include "Lumavane/App/LaunchOptions.hpp"

#include <algorithm>
#include <system_error>

namespace lumavane {
namespace {

std::optional<std::filesystem::path> valueAfter(const std::vector<std::string>& arguments, const char* option) {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end() || found + 1 == arguments.end()) return std::nullopt;
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(*(found + 1), error);
    return error ? std::filesystem::path(*(found + 1)) : path;
}

} // namespace

LaunchOptions LaunchOptions::parse(const std::vector<std::string>& arguments) {
    return LaunchOptions{valueAfter(arguments, "--model"), valueAfter(arguments, "--video")};
}

bool LaunchOptionsTask::run(const LaunchOptions& options, const LaunchActions& actions) {
    if (ran_) return false;
    ran_ = true;
    if (options.model) {
        if (actions.loadModel) actions.loadModel(*options.model);
    } else if (actions.loadBundledModelIfAvailable) {
        actions.loadBundledModelIfAvailable();
    }
    if (options.video && actions.loadVideo) actions.loadVideo(*options.video);
    return true;
}

} // namespace lumavane
