#include "Lumavane/Localization/AppLanguageStore.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"

namespace lumavane {

namespace {
constexpr const char* olderLanguageKey = "player.language";
constexpr const char* languagesKey = "AppleLanguages";
} // namespace

AppLanguageStore::AppLanguageStore(DefaultsStore defaults) : defaults_(std::move(defaults)) {
    const std::optional<std::string> older = defaults_.string(olderLanguageKey);
    const std::optional<std::string> current = defaults_.string(AppLocalization::languageKey);
    selectedLanguageID_ = current.value_or(older.value_or("system"));
    defaults_.set(AppLocalization::languageKey, selectedLanguageID_);
}

AppLanguageStore& AppLanguageStore::shared() {
    static AppLanguageStore store(DefaultsStore::standard());
    return store;
}

void AppLanguageStore::select(const std::string& id) {
    if (id == selectedLanguageID_) return;
    defaults_.set(AppLocalization::languageKey, id);
    defaults_.set(olderLanguageKey, id);
    // Kept as the application's own key; nothing on Linux reads it back.
    if (id == "system") {
        defaults_.remove(languagesKey);
    } else {
        defaults_.set(languagesKey, std::vector<std::string>{id});
    }
    selectedLanguageID_ = id;
    changed_.emit();
}

} // namespace lumavane
