#include "Platform/Ml/WeightFile.hpp"

#include <cstring>
#include <fstream>

#include "Platform/Ml/Half.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace {

constexpr uint32_t blobSentinel = 0xDEADBEEF;
constexpr size_t headerSize = 64;
constexpr size_t metadataSize = 64;
constexpr const char* modelPathPrefix = "@model_path/";

template <typename T> T readLittle(const unsigned char* p) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= T(p[i]) << (8 * i);
    return value;
}

} // namespace

std::string WeightFiles::shownName(const std::string& fileName) const {
    return (shown_ / fileName.substr(std::strlen(modelPathPrefix))).string();
}

const std::vector<unsigned char>& WeightFiles::file(const std::string& fileName) {
    if (auto it = files_.find(fileName); it != files_.end()) return it->second;

    if (fileName.rfind(modelPathPrefix, 0) != 0)
        raise(errorGeneric, "Weight file \"" + fileName + "\" is not inside the model.");
    const std::filesystem::path relative(fileName.substr(std::strlen(modelPathPrefix)));
    if (relative.empty() || relative.is_absolute())
        raise(errorGeneric, "Weight file \"" + fileName + "\" is not inside the model.");
    for (const auto& part : relative)
        if (part == "..") raise(errorGeneric, "Weight file \"" + fileName + "\" is not inside the model.");

    const std::string shown = shownName(fileName);
    std::ifstream in(directory_ / relative, std::ios::binary);
    if (!in) raise(errorIO, "Cannot read the weight file " + shown + ".");
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) raise(errorIO, "Cannot read the weight file " + shown + ".");
    if (bytes.size() < headerSize || readLittle<uint32_t>(bytes.data() + 4) != 2)
        raise(errorGeneric, "The weight file " + shown + " is not in the blob storage format (version 2).");
    return files_.emplace(fileName, std::move(bytes)).first->second;
}

std::vector<float> WeightFiles::read(const std::string& fileName, uint64_t offset, BlobType type,
                                     size_t count) {
    const std::vector<unsigned char>& bytes = file(fileName);
    auto damaged = [&](const std::string& why) -> std::vector<float> {
        raise(errorGeneric, "Weight blob at offset " + std::to_string(offset) + " of " + shownName(fileName) +
                                ": " + why + ".");
    };
    if (offset < headerSize || offset > bytes.size() || bytes.size() - offset < metadataSize)
        return damaged("outside the file");
    const unsigned char* record = bytes.data() + offset;
    if (readLittle<uint32_t>(record) != blobSentinel) return damaged("no blob record there");
    const uint32_t storedType = readLittle<uint32_t>(record + 4);
    const uint64_t size = readLittle<uint64_t>(record + 8);
    const uint64_t dataOffset = readLittle<uint64_t>(record + 16);
    if (storedType != uint32_t(type))
        return damaged("data type " + std::to_string(storedType) + " where " +
                       std::to_string(uint32_t(type)) + " was declared");
    const size_t elementSize = type == BlobType::float16 ? 2 : 4;
    if (size != uint64_t(count) * elementSize)
        return damaged(std::to_string(size) + " bytes for " + std::to_string(count) + " values");
    if (dataOffset > bytes.size() || bytes.size() - dataOffset < size)
        return damaged("data beyond the end of the file");

    std::vector<float> values(count);
    const unsigned char* data = bytes.data() + dataOffset;
    for (size_t i = 0; i < count; ++i) {
        if (type == BlobType::float16) {
            values[i] = halfToFloat(readLittle<uint16_t>(data + 2 * i));
        } else {
            const uint32_t bits = readLittle<uint32_t>(data + 4 * i);
            std::memcpy(&values[i], &bits, 4);
        }
    }
    return values;
}

} // namespace lumavane::ml::detail
