#pragma once

#include <filesystem>

#include "Platform/Ml/CoreMLFormat.pb.h"

namespace lumavane::ml::detail {

// Where a model's spec file lies and the folder its weight-file names are relative to.
struct ModelFiles {
    std::filesystem::path specFile;
    std::filesystem::path modelDirectory;
    // The folder to name in messages: for a compiled copy, that of the model the user chose.
    std::filesystem::path shownDirectory;
};

// A ".mlmodel" file, or the root model of a ".mlpackage" (found through its Manifest.json).
ModelFiles locateSource(const std::filesystem::path& url);
// A compiled folder of our own form (see Model.hpp); refuses folders of other tools.
ModelFiles locateCompiled(const std::filesystem::path& url);

coreml::Model readSpecFile(const std::filesystem::path& file);

// Writes the compiled folder for a source model; returns its path.
std::filesystem::path compileModelFiles(const std::filesystem::path& url);

} // namespace lumavane::ml::detail
