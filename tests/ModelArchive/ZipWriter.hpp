// Builds small ZIP archives in memory for tests, with the offsets of every record so a test can
// patch any field afterwards (hostile archives are well-formed ones with one field wrong).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumavane::test {

struct ZipEntry {
    std::string name;
    std::string data;
    bool deflate = false;
    std::optional<std::uint32_t> unixMode{}; // made on a Unix host with this mode when set
};

struct Zip {
    std::string bytes;
    std::vector<std::size_t> local;   // offset of each local header
    std::vector<std::size_t> central; // offset of each central directory record
    std::size_t end = 0;              // offset of the end of central directory record

    void put16(std::size_t at, std::uint16_t value) {
        for (int i = 0; i < 2; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    }
    void put32(std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    }
    // The same field in the local header (local offset) and the central record (central offset).
    void putBoth16(std::size_t entry, std::size_t localAt, std::size_t centralAt, std::uint16_t value) {
        put16(local.at(entry) + localAt, value);
        put16(central.at(entry) + centralAt, value);
    }
    void putBoth32(std::size_t entry, std::size_t localAt, std::size_t centralAt, std::uint32_t value) {
        put32(local.at(entry) + localAt, value);
        put32(central.at(entry) + centralAt, value);
    }
    void write(const std::filesystem::path& path) const {
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
};

// Text that deflates, but far less than 200:1.
inline std::string pseudoRandomText(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t state = 7;
    for (char& c : data) c = static_cast<char>('a' + ((state = state * 1103515245u + 12345u) >> 16) % 16);
    return data;
}

inline std::string rawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate");
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline Zip makeZip(const std::vector<ZipEntry>& entries, const std::string& comment = "") {
    Zip zip;
    auto add16 = [](std::string& s, std::uint32_t v) {
        s += static_cast<char>(v), s += static_cast<char>(v >> 8);
    };
    auto add32 = [&](std::string& s, std::uint32_t v) { add16(s, v & 0xFFFF), add16(s, v >> 16); };
    std::string directory;
    for (const ZipEntry& entry : entries) {
        const std::string payload = entry.deflate ? rawDeflate(entry.data) : entry.data;
        const auto crc = static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size())));
        const std::uint16_t method = entry.deflate ? 8 : 0;
        std::string fields; // version needed .. extra length, shared by both headers
        add16(fields, 20), add16(fields, 0x0800), add16(fields, method), add32(fields, 0);
        add32(fields, crc), add32(fields, static_cast<std::uint32_t>(payload.size()));
        add32(fields, static_cast<std::uint32_t>(entry.data.size()));
        add16(fields, static_cast<std::uint32_t>(entry.name.size())), add16(fields, 0);

        zip.local.push_back(zip.bytes.size());
        add32(zip.bytes, 0x04034b50);
        zip.bytes += fields + entry.name + payload;

        zip.central.push_back(directory.size());
        add32(directory, 0x02014b50);
        add16(directory, entry.unixMode ? 0x031E : 0x0014);
        directory += fields;
        add16(directory, 0), add16(directory, 0), add16(directory, 0);
        add32(directory, entry.unixMode ? *entry.unixMode << 16 : 0);
        add32(directory, static_cast<std::uint32_t>(zip.local.back()));
        directory += entry.name;
    }
    const std::size_t directoryOffset = zip.bytes.size();
    for (std::size_t& offset : zip.central) offset += directoryOffset;
    zip.bytes += directory;
    zip.end = zip.bytes.size();
    add32(zip.bytes, 0x06054b50), add16(zip.bytes, 0), add16(zip.bytes, 0);
    add16(zip.bytes, static_cast<std::uint32_t>(entries.size())),
        add16(zip.bytes, static_cast<std::uint32_t>(entries.size()));
    add32(zip.bytes, static_cast<std::uint32_t>(directory.size())),
        add32(zip.bytes, static_cast<std::uint32_t>(directoryOffset));
    add16(zip.bytes, static_cast<std::uint32_t>(comment.size()));
    zip.bytes += comment;
    return zip;
}

// Field offsets: local header / central record.
namespace zip_field {
inline constexpr std::size_t localFlags = 6, centralFlags = 8;
inline constexpr std::size_t localMethod = 8, centralMethod = 10;
inline constexpr std::size_t localCRC = 14, centralCRC = 16;
inline constexpr std::size_t localCompressed = 18, centralCompressed = 20;
inline constexpr std::size_t localUncompressed = 22, centralUncompressed = 24;
inline constexpr std::size_t localName = 30, centralName = 46;
inline constexpr std::size_t endThisDisk = 4, endRecordsHere = 8, endRecords = 10, endSize = 12,
                             endOffset = 16;
} // namespace zip_field

} // namespace lumavane::test
