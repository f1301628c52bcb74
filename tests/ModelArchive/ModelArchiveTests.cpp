#include "ModelArchive/ModelArchive.h"
#include "ModelArchive/ZipWriter.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace lumavane::test {
namespace {
namespace fs = std::filesystem;
using namespace zip_field;

constexpr lv_zip_limits sessionLimits{536870912u, 1073741824u, 536870912u, 4096u, 200u};

class ZipFile : public ::testing::Test {
protected:
    std::string write(const Zip& zip) {
        const fs::path path = folder_ / "test.zip";
        zip.write(path);
        return path.string();
    }
    lv_zip_status inspect(const Zip& zip) {
        return lv_zip_inspect(write(zip).c_str(), &sessionLimits, nullptr, nullptr, nullptr, nullptr);
    }

    TemporaryDirectory temporary_;
    const fs::path folder_ = temporary_.path();
};

// "a/" repeated: a path `depth` components deep.
std::string deepPath(int depth) {
    std::string name;
    for (int i = 0; i < depth; ++i) name += i + 1 < depth ? "a/" : "a";
    return name;
}

TEST(SafeArchivePath, AcceptsOnlyPlainRelativeNames) {
    const std::string component(255, 'n');
    const struct {
        std::string name;
        bool safe;
    } cases[] = {{"model-series.json", true},
                 {"series/", true},
                 {"a/b/c.bin", true},
                 {"モデル/重み.bin", true},
                 {std::string(203, 'n') + "/" + std::string(204, 'n') + "/" + component + "/" + component +
                      "/" + std::string(100, 'n'),
                  true}, // 1,024 bytes
                 {std::string(1025, 'n'), false},
                 // What a name implies on disk: each component a file name, a package's depth.
                 {component + "/" + component, true},
                 {component + "n", false},
                 {"a/" + component + "n/b", false},
                 {deepPath(32), true},
                 {deepPath(32) + "/", true},
                 {deepPath(33), false},
                 {std::string(1024, 'n'), false},
                 {deepPath(512), false},
                 {"", false},
                 {"/etc/passwd", false},
                 {"a//b", false},
                 {"a/./b", false},
                 {"./a", false},
                 {"a/..", false},
                 {"../a", false},
                 {"a\\b", false},
                 {"c:x", false},
                 {std::string("a\0b", 3), false},
                 {"a/b//", false},
                 {"/", false},
                 {"\xC3\x28", false}};
    for (const auto& c : cases)
        EXPECT_EQ(lv_zip_safe_archive_path(c.name.data(), c.name.size()), c.safe ? 1 : 0) << c.name;
}

TEST_F(ZipFile, ValidateEntryStreamsAndReportsOverflowApartFromOtherFaults) {
    const std::string big = pseudoRandomText(300000); // several 64 KiB chunks each way
    const Zip zip = makeZip({{"stored", big}, {"deflated", big, true}});
    const std::string path = write(zip);
    const std::uint64_t storedStart = zip.local[0] + 30 + 6, deflatedStart = zip.local[1] + 30 + 8;
    const std::uint32_t crc =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(big.data()), big.size()));
    const std::uint64_t compressed = rawDeflate(big).size();
    const struct {
        const char* what;
        std::uint64_t offset, compressed, uncompressed;
        std::uint32_t crc;
        int method, expected;
    } cases[] = {
        {"stored", storedStart, big.size(), big.size(), crc, 0, 0},
        {"stored, wrong CRC", storedStart, big.size(), big.size(), crc ^ 1, 0, 2},
        {"stored, sizes differ", storedStart, big.size(), big.size() - 1, crc, 0, 2},
        {"stored, past the end", zip.bytes.size() - 10, 20, 20, crc, 0, 2},
        {"deflated", deflatedStart, compressed, big.size(), crc, 8, 0},
        {"deflated, wrong CRC", deflatedStart, compressed, big.size(), crc ^ 1, 8, 2},
        {"deflated, declared one byte short", deflatedStart, compressed, big.size() - 1, crc, 8, 1},
        {"deflated, declared one byte long", deflatedStart, compressed, big.size() + 1, crc, 8, 2},
        {"deflated, truncated", deflatedStart, compressed - 100, big.size(), crc, 8, 2},
        {"deflated, trailing data", deflatedStart, compressed + 1, big.size(), crc, 8, 2},
        {"unknown method", deflatedStart, compressed, big.size(), crc, 12, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            lv_zip_validate_entry(path.c_str(), c.offset, c.compressed, c.uncompressed, c.crc, c.method),
            c.expected)
            << c.what;
    EXPECT_EQ(lv_zip_validate_entry((folder_ / "missing").c_str(), 0, 0, 0, 0, 0), 2);
}

TEST_F(ZipFile, InspectLimitBoundaries) {
    EXPECT_EQ(inspect(makeZip({})), LV_ZIP_OK);
    // The longest comment still lets the end record be found.
    EXPECT_EQ(inspect(makeZip({{"a/", ""}, {"a/b", pseudoRandomText(1000), true}, {"c", "x"}},
                              std::string(65535, 'c'))),
              LV_ZIP_OK);

    // Ratios use integer division: 201:1 is refused; 200:1 and 401:2 get past the ratio step and
    // fail only because their data is not what the sizes claim.
    const struct {
        std::uint32_t uncompressed, compressed;
        lv_zip_status expected;
    } ratios[] = {
        {201, 1, LV_ZIP_TOO_LARGE}, {200, 1, LV_ZIP_EXTRACTION_FAILED}, {401, 2, LV_ZIP_EXTRACTION_FAILED}};
    for (const auto& r : ratios) {
        Zip zip = makeZip({{"a", "xy", true}});
        zip.putBoth32(0, localUncompressed, centralUncompressed, r.uncompressed);
        zip.putBoth32(0, localCompressed, centralCompressed, r.compressed);
        EXPECT_EQ(inspect(zip), r.expected) << r.uncompressed << ":" << r.compressed;
    }

    // The count is refused before the central directory is read.
    for (std::uint16_t count : {4096, 4097}) {
        Zip zip = makeZip({{"a", "x"}});
        zip.put16(zip.end + endRecordsHere, count);
        zip.put16(zip.end + endRecords, count);
        EXPECT_EQ(inspect(zip), count == 4096 ? LV_ZIP_DAMAGED : LV_ZIP_TOO_MANY_ENTRIES);
    }

    // Bytes left in the central directory after its last record.
    Zip leftover = makeZip({{"a", "x"}, {"b", "y"}});
    leftover.put16(leftover.end + endRecordsHere, 1);
    leftover.put16(leftover.end + endRecords, 1);
    EXPECT_EQ(inspect(leftover), LV_ZIP_DAMAGED);

    int error = 0;
    EXPECT_EQ(
        lv_zip_inspect((folder_ / "missing.zip").c_str(), &sessionLimits, nullptr, nullptr, nullptr, &error),
        LV_ZIP_IO_ERROR);
    EXPECT_EQ(error, ENOENT);
}

// 200 entries of 1,024 bytes of "d/" made 101,403 folders; 4,078 made two million. Every folder a
// name implies is counted with the entries, once, as a case-folding file system would make it.
TEST_F(ZipFile, FoldersImpliedByNamesCountAgainstTheEntryLimit) {
    const auto entriesIn = [](int count, const char* pattern) {
        std::vector<ZipEntry> entries;
        for (int i = 0; i < count; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, pattern, i);
            entries.push_back({name, ""});
        }
        return entries;
    };
    // Each "fN/x" is a folder and a file: 2,048 of them make 4,096 paths.
    std::vector<ZipEntry> entries = entriesIn(2048, "f%d/x");
    EXPECT_EQ(inspect(makeZip(entries)), LV_ZIP_OK);
    entries.push_back({"g", ""});
    EXPECT_EQ(inspect(makeZip(entries)), LV_ZIP_TOO_MANY_ENTRIES);
    // An explicit folder entry is the folder a name implies, whatever the order and the case.
    entries = entriesIn(2047, "f%d/x");
    entries.insert(entries.begin(), {"F0/", ""});
    entries.push_back({"f1/", ""});
    entries.push_back({"F2/y", ""});
    entries.push_back({"h", ""});
    EXPECT_EQ(inspect(makeZip(entries)), LV_ZIP_OK);
    entries.push_back({"i", ""});
    EXPECT_EQ(inspect(makeZip(entries)), LV_ZIP_TOO_MANY_ENTRIES);
    // Deep names within the depth bound: 150 of 30 levels each imply 4,500 folders.
    std::vector<ZipEntry> deep;
    for (int i = 0; i < 150; ++i) deep.push_back({std::to_string(i) + "/" + deepPath(29), ""});
    EXPECT_EQ(inspect(makeZip(deep)), LV_ZIP_TOO_MANY_ENTRIES);
    EXPECT_EQ(inspect(makeZip({{deepPath(1000 / 2) + "/", ""}})), LV_ZIP_UNSAFE_ENTRY);
}

TEST_F(ZipFile, InspectStopsWhenCancelled) {
    struct Count {
        int asked = 0, visited = 0;
    } count;
    const auto visit = [](void* context, const char*, size_t, std::uint64_t) {
        ++static_cast<Count*>(context)->visited;
    };
    const auto cancelled = [](void* context) -> int { return ++static_cast<Count*>(context)->asked > 3; };
    const std::string path = write(makeZip({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}}));
    EXPECT_EQ(lv_zip_inspect(path.c_str(), &sessionLimits, visit, cancelled, &count, nullptr),
              LV_ZIP_CANCELLED);
    EXPECT_EQ(count.visited, 3);
    count = {};
    const auto never = [](void*) -> int { return 0; };
    EXPECT_EQ(lv_zip_inspect(path.c_str(), &sessionLimits, visit, never, &count, nullptr), LV_ZIP_OK);
    EXPECT_EQ(count.visited, 5);
}

} // namespace
} // namespace lumavane::test
