#pragma once

#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Models/Uuid.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace lumavane {

// What the import sheet shows before an import is confirmed. A ZIP has all three optionals (the
// manifest of the prepared package in its staging folder); a model-series.json or a folder with
// one has the manifest and its URL; a plain model file or folder only selectedURL.
struct ModelImportCandidate {
    std::string id = newUUIDString();
    std::filesystem::path selectedURL;
    std::optional<std::filesystem::path> manifestURL;
    std::optional<ModelSeriesManifest> manifest;
    std::optional<ModelArchiveImporter::PreparedPackage> preparedArchive;
};

} // namespace lumavane
