// A private world for localization tests: defaults file, resources with small ja/en tables and
// a data folder for language packs, all in one temporary folder.
#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"

#include "support/ScopedEnv.hpp"
#include "support/TemporaryDirectory.hpp"

#include <fstream>
#include <string>

namespace lumavane::test {

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class LocalizationWorld {
public:
    LocalizationWorld()
        : defaults_("LUMAVANE_DEFAULTS", (folder_.path() / "defaults.json").string()),
          resources_(folder_.path() / "resources"),
          data_("XDG_DATA_HOME", (folder_.path() / "data").string()) {
        const auto bundle = folder_.path() / "resources" / "Lumavane_Lumavane.bundle";
        writeFile(bundle / "ja.lproj" / "Localizable.strings", "\"view_mode.original\" = \"元映像\";\n");
        writeFile(bundle / "en.lproj" / "Localizable.strings",
                  "\"view_mode.original\" = \"Original\";\n\"閉じる\" = \"Close\";\n"
                  "\"%1$@ の %2$lld 件目\" = \"item %2$lld of %1$@\";\n\"%.1f fps\" = \"%.1f fps\";\n");
    }
    const std::filesystem::path& path() const { return folder_.path(); }
    std::filesystem::path packs() const { return folder_.path() / "data" / "Lumavane" / "LanguagePacks"; }
    DefaultsStore defaults() const { return DefaultsStore(folder_.path() / "defaults.json"); }

private:
    TemporaryDirectory folder_;
    ScopedEnv defaults_;
    ResourcesOverride resources_;
    ScopedEnv data_;
};

} // namespace lumavane::test
