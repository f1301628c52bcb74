#pragma once

#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Localization/AppLanguageStore.hpp"
#include "Lumavane/Localization/LanguagePackStore.hpp"
#include "Lumavane/Panels/FileDialogs.hpp"
#include "Lumavane/Panels/PlayerSettingsPanel.hpp"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace lumavane::test {

// Answers the panel's questions from a queue; an empty queue cancels.
struct FakeFileDialogs final : FileDialogs {
    std::deque<std::optional<std::filesystem::path>> answers;
    std::vector<std::optional<std::filesystem::path>> folderStarts;
    int files = 0;
    // What chooseItems answers, one list a call (none left: cancelled), and what it was asked.
    std::deque<std::vector<std::filesystem::path>> items;
    std::vector<ItemsRequest> itemRequests;
    void chooseItems(QWidget*, const ItemsRequest& request, ItemsAnswer answer) override {
        itemRequests.push_back(request);
        std::vector<std::filesystem::path> chosen;
        if (!items.empty()) chosen = items.front(), items.pop_front();
        answer(std::move(chosen));
    }
    void chooseFile(QWidget*, const FileRequest&, Answer answer) override {
        ++files;
        answer(next());
    }
    void chooseFolder(QWidget*, const std::optional<std::filesystem::path>& start, Answer answer) override {
        folderStarts.push_back(start);
        answer(next());
    }
    std::optional<std::filesystem::path> next() {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// A defaults file, a data folder for packs and the stores over them, all the test's own; the
// standard defaults point at the same file, so label lookups read the test's language.
struct PanelHarness {
    explicit PanelHarness(const std::string& tag, const std::string& language = "ja")
        : root((application(), std::filesystem::temp_directory_path() /
                                   ("lumavane-panels-" + tag + "-" + std::to_string(getpid())))),
          defaults(prepare(root)), languages(seeded(defaults, language)), packs(languages) {}
    ~PanelHarness() {
        panels.clear();
        defaults.synchronize(); // no background write left to race the removal
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    PlayerSettingsPanel& open(std::function<std::string()> diagnostics = {}) {
        PlayerSettingsPanel::Dependencies d;
        d.defaults = defaults;
        d.languages = &languages;
        d.packs = &packs;
        d.fileDialogs = &dialogs;
        d.diagnostics = std::move(diagnostics);
        d.licenseResources = root / "resources";
        panels.push_back(std::make_unique<PlayerSettingsPanel>(std::move(d)));
        return *panels.back();
    }

    static DefaultsStore prepare(const std::filesystem::path& root) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "data");
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("LUMAVANE_DEFAULTS", (root / "defaults.json").c_str(), 1);
        return DefaultsStore::standard();
    }
    static DefaultsStore seeded(DefaultsStore defaults, const std::string& language) {
        defaults.set("LumavanePreferredLanguage", language);
        return defaults;
    }

    std::filesystem::path root;
    DefaultsStore defaults;
    AppLanguageStore languages;
    LanguagePackStore packs;
    FakeFileDialogs dialogs;
    std::vector<std::unique_ptr<PlayerSettingsPanel>> panels;
};

} // namespace lumavane::test
