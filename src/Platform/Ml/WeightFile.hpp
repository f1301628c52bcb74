#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace lumavane::ml::detail {

// Reads blobs from the weight files of an ML program (the "blob storage" format: a 64-byte
// header, then for each blob a 64-byte metadata record and its data, all 64-byte aligned).
// Files are named relative to the model as "@model_path/<relative path>".
class WeightFiles {
public:
    enum class BlobType : uint32_t { float16 = 1, float32 = 2 };

    // Messages name files under `shownDirectory` (the model the user chose, not a compiled copy).
    WeightFiles(std::filesystem::path modelDirectory, std::filesystem::path shownDirectory)
        : directory_(std::move(modelDirectory)), shown_(std::move(shownDirectory)) {}

    // The blob whose metadata record starts at `offset`, as floats. Throws PlatformError when
    // the file cannot be read, the name leaves the model folder, the record is damaged, or the
    // blob is not `count` values of `type`.
    std::vector<float> read(const std::string& fileName, uint64_t offset, BlobType type, size_t count);

private:
    const std::vector<unsigned char>& file(const std::string& fileName);
    // Where the user finds a weight file the model names (checked by file() to lie inside it).
    std::string shownName(const std::string& fileName) const;

    std::filesystem::path directory_;
    std::filesystem::path shown_;
    std::map<std::string, std::vector<unsigned char>> files_;
};

} // namespace lumavane::ml::detail
