// libFuzzer target: the input is a "model-series.json" beside one compact model folder "Fast".
// Loading fails only with the manifest's, decoding, file and model-format errors; a manifest
// that loads makes a folder name (safeComponent of id and version) that fits a file name with
// "-" and a UUID, cut between whole UTF-8 scalars.
#include "EnhancementCore/EnhancementError.hpp"
#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace lumavane;

namespace {

const fs::path& series() {
    static const fs::path folder = [] {
        const fs::path path =
            fs::temp_directory_path() / ("lumavane-series-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path / "Fast");
        std::ofstream(path / "Fast" / "manifest.json")
            << R"({"architecture": "Compact", "width": 16, "height": 16, "scale": 4, "layers": [],)"
               R"( "checkpoint_sha256": ""})";
        return path;
    }();
    return folder;
}

void checkName(const std::string& text) {
    const std::string name = ModelArchiveImporter::safeComponent(text);
    if (name.size() > ModelArchiveImporter::largestComponentBytes) std::abort();
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
        (!g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr) ||
         g_utf8_strlen(name.data(), static_cast<gssize>(name.size())) >
             static_cast<glong>(ModelArchiveImporter::largestComponentCharacters)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkName(text);
    const fs::path manifest = series() / "model-series.json";
    std::ofstream(manifest, std::ios::binary) << text;
    try {
        const ModelSeriesManifest loaded = ModelSeriesManifest::load(manifest);
        if (loaded.id.empty() || loaded.variants.empty()) std::abort();
        checkName(loaded.id + "-" + loaded.version);
    } catch (const ModelSeriesManifest::ManifestError&) {
    } catch (const JSONDecodingError&) {
    } catch (const fs::filesystem_error&) {
    } catch (const EnhancementError&) {}
    return 0;
}
