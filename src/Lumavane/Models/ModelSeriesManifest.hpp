#pragma once

#include "Lumavane/Models/BundledModelPreset.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

// The decoded model-series.json of a model series: a folder with that file and one or more model
// variants at paths relative to it. load() is the only way to read one and refuses any manifest
// that does not agree with the model files beside it, so later users may trust a loaded one.
struct ModelSeriesManifest {
    struct Author {
        std::string name;
        std::optional<std::string> url;
        bool operator==(const Author&) const = default;
    };

    struct Variant {
        std::string id;
        std::string name;
        std::optional<std::string> role;
        std::string path;
        std::string format;
        std::vector<std::int64_t> outputScales;
        bool supportsOptimal = false;

        // The shipped-model preset the role stands for: "fast" or "quality", else none.
        std::optional<BundledModelPreset> preset() const;
        bool operator==(const Variant&) const = default;
    };

    class ManifestError : public std::exception {
    public:
        enum Case { invalid, invalidPath, tooLarge };
        ManifestError(Case errorCase) : case_(errorCase) {}
        Case errorCase() const noexcept { return case_; }
        const char* what() const noexcept override;
        std::optional<std::string> errorDescription() const { return std::string(what()); }
        bool operator==(const ManifestError& other) const noexcept { return case_ == other.case_; }

    private:
        Case case_;
    };

    std::int64_t schemaVersion = 0;
    std::string id;
    std::string name;
    std::string version;
    Author author;
    std::string category;
    std::string description;
    std::string license;
    std::vector<Variant> variants;

    bool operator==(const ModelSeriesManifest&) const = default;

    // Reads, decodes and validates the file. A file over 4 MiB is ManifestError::tooLarge (its
    // path may be a private staging folder, not for the user's eyes); other read and decoding
    // errors (std::filesystem::filesystem_error, JSONDecodingError), ManifestError and the
    // model-format errors of detect() are thrown unchanged.
    static ModelSeriesManifest load(const std::filesystem::path& manifestURL);
    // The variant's model inside the manifest's folder, symbolic links resolved; throws
    // ManifestError::invalidPath when it lies outside or nothing is there.
    static std::filesystem::path modelURL(const Variant& variant, const std::filesystem::path& manifestURL);
};

// An installed (or staged) series: a loaded manifest and where it lives.
struct ImportedModelSeries {
    std::filesystem::path manifestURL;
    ModelSeriesManifest manifest;

    const std::string& id() const noexcept { return manifest.id; }
    // Whether url, symbolic links resolved, is one of the variants' models; no existence check.
    bool contains(const std::optional<std::filesystem::path>& url) const;
};

} // namespace lumavane
