#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <string>

namespace lumavane {

// The interface language the user picked ("system", "ja", "en" or a pack code), kept under
// "LumavanePreferredLanguage" in the defaults. Used on the main thread.
class AppLanguageStore {
public:
    // Reads the choice ("LumavanePreferredLanguage", else the older "player.language", else
    // "system") and writes it back under "LumavanePreferredLanguage".
    explicit AppLanguageStore(DefaultsStore defaults);
    // The process's store, on the standard defaults; created on first use.
    static AppLanguageStore& shared();

    const std::string& selectedLanguageID() const noexcept { return selectedLanguageID_; }
    // The views' two-way binding: the same as select(id).
    void setSelectedLanguageID(const std::string& id) { select(id); }
    // Stores id under both language keys and "AppleLanguages" ([id], or removed for "system"),
    // then notifies; nothing when id is already selected.
    void select(const std::string& id);

    Signal<>& changed() noexcept { return changed_; }
    DefaultsStore& defaults() noexcept { return defaults_; }

private:
    DefaultsStore defaults_;
    std::string selectedLanguageID_;
    Signal<> changed_;
};

} // namespace lumavane
