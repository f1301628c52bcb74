#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

// The command line: the first "--model" and the first "--video" that have a following
// argument (taken as the value even when it begins with "--"); nothing else is read.
struct LaunchOptions {
    std::optional<std::filesystem::path> model;
    std::optional<std::filesystem::path> video;

    // `arguments` starts with the program path. Relative paths are made absolute against the
    // current directory.
    static LaunchOptions parse(const std::vector<std::string>& arguments);
};

// What the launch options start in the session.
struct LaunchActions {
    // Starts loading the model as a user's choice (automatic switching off).
    std::function<void(const std::filesystem::path&)> loadModel;
    // Restores the saved model choice and starts loading it.
    std::function<void()> loadBundledModelIfAvailable;
    std::function<void(const std::filesystem::path&)> loadVideo;
};

// Runs the launch options once per process: a window shown again never repeats them.
class LaunchOptionsTask {
public:
    // False when they already ran. Missing actions are skipped.
    bool run(const LaunchOptions& options, const LaunchActions& actions);
    bool hasRun() const noexcept { return ran_; }

private:
    bool ran_ = false;
};

} // namespace lumavane
