#pragma once

#include "Lumavane/Style/AppStyle.hpp"

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace lumavane::test {

// One application per test process, in the player's style (icons found whatever the platform);
// the standard defaults point at a file of the test's own.
inline QApplication& application() {
#ifdef LUMAVANE_TEST_QPA
    // The test's ENVIRONMENT list does not reach the discovered cases whole: name it here.
    setenv("QT_QPA_PLATFORM", LUMAVANE_TEST_QPA, 0);
#endif
    static int argc = 1;
    static char name[] = "AppTests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* made = new QApplication(argc, argv);
        applyAppStyle(*made);
        return made;
    }();
    return *app;
}

inline std::filesystem::path freshDefaults(const std::string& tag) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("lumavane-app-" + tag + "-" + std::to_string(getpid()) + ".json");
    std::filesystem::remove(path);
    setenv("LUMAVANE_DEFAULTS", path.c_str(), 1);
    return path;
}

} // namespace lumavane::test
