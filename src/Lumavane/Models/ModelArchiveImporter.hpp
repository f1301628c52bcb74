#pragma once

#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Platform/Foundation/Cancellation.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumavane {

// Turns a model ZIP chosen by the user into a package in a private staging folder, proven safe
// before anything of it is unpacked, and installs or discards it. Keeps no state between calls;
// every operation is synchronous and touches only its own files, so any thread may call it.
class ModelArchiveImporter {
public:
    ModelArchiveImporter() = delete;

    struct Limits {
        std::uint64_t maxArchiveBytes = 0;
        std::uint64_t maxExpandedBytes = 0;
        std::uint64_t maxEntryBytes = 0;
        std::uint64_t maxEntryCount = 0;
        std::uint64_t maxCompressionRatio = 0;
    };

    struct PreparedPackage {
        std::filesystem::path stagingRoot; // "Lumavane-ModelImport-<UUID>" in the temporary directory
        std::filesystem::path packageRoot; // the folder holding the single model-series.json
        std::filesystem::path manifestURL;
        ModelSeriesManifest manifest;
        bool operator==(const PreparedPackage&) const = default;
    };

    // The messages name the player's limits literally, whatever limits were passed.
    class ArchiveError : public std::exception {
    public:
        // notAZip and damaged: the file is no ZIP, or one cut short or altered (not merely of a
        // kind the player does not read).
        enum Case {
            tooLarge,
            tooManyEntries,
            unsafeEntry,
            unsupported,
            extractionFailed,
            manifestNotFound,
            notAZip,
            damaged
        };
        ArchiveError(Case errorCase) : case_(errorCase) {}
        Case errorCase() const noexcept { return case_; }
        const char* what() const noexcept override;
        std::optional<std::string> errorDescription() const { return std::string(what()); }
        bool operator==(const ArchiveError& other) const noexcept { return case_ == other.case_; }

    private:
        Case case_;
    };

    static constexpr std::string_view stagingPrefix = "Lumavane-ModelImport-";

    // Stages, inspects, extracts and validates the ZIP and loads its manifest. Throws
    // ArchiveError, file-system errors (std::filesystem::filesystem_error) and the manifest's
    // errors unchanged, and CancellationError soon after `cancellation` is cancelled; on failure
    // nothing of the staging folder is left.
    static PreparedPackage prepare(const std::filesystem::path& archive, const Limits& limits,
                                   const CancellationToken& cancellation = CancellationToken());
    // Moves (else copies) the package into modelsFolder under a new name; returns the installed
    // model-series.json. When the copy fails, the staging folder stays for discard().
    static std::filesystem::path install(const PreparedPackage& package,
                                         const std::filesystem::path& modelsFolder);
    // Removes a staging folder; anything not named like one is left alone. Never fails.
    static void discard(const std::optional<std::filesystem::path>& stagingRoot) noexcept;

    // Entry name to uncompressed size, for every entry inspect() let through.
    using CheckedEntries = std::unordered_map<std::string, std::uint64_t>;

    // The steps of prepare(), in order. Each stops with CancellationError between chunks or
    // entries once `cancellation` is cancelled.
    static void stageArchive(const std::filesystem::path& source, const std::filesystem::path& destination,
                             std::uint64_t maximumBytes,
                             const CancellationToken& cancellation = CancellationToken());
    static CheckedEntries inspect(const std::filesystem::path& archive, const Limits& limits,
                                  const CancellationToken& cancellation = CancellationToken());
    // Writes only the checked entries, each once and at its checked size: the extractor may read
    // the archive differently from inspect() (another end record, say), and what it would write
    // then was never checked.
    static void extract(const std::filesystem::path& archive, const std::filesystem::path& destination,
                        CheckedEntries entries, const CancellationToken& cancellation = CancellationToken());
    // The single model-series.json in the extracted tree, after refusing links and anything that
    // resolves outside it.
    static std::filesystem::path validateExtractedPackage(const std::filesystem::path& folder);

    static bool safeArchivePath(std::string_view name);
    // Letters, marks and digits of any script and "-", "_", "." stay; everything else becomes
    // "-"; at most 120 Unicode scalars and largestComponentBytes bytes of UTF-8, cut between
    // scalars, so that with "-" and a UUID it still makes a file name (255 bytes).
    static std::string safeComponent(std::string_view text);
    static constexpr std::size_t largestComponentCharacters = 120;
    static constexpr std::size_t largestComponentBytes = 255 - 1 - 36;
};

} // namespace lumavane
