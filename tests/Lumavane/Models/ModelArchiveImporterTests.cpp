#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelsTestSupport.hpp"

#include "ModelArchive/ZipWriter.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <memory>

namespace lumavane::test {
namespace {
namespace fs = std::filesystem;
using ArchiveError = ModelArchiveImporter::ArchiveError;
using Limits = ModelArchiveImporter::Limits;
using namespace zip_field;

constexpr Limits sessionLimits{536870912, 1073741824, 536870912, 4096, 200};

std::string weights(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919 + i / 13) % 251);
    return data;
}

// A valid package in the folder "pkg": the series manifest, its compact model and a file with a
// Japanese name.
std::vector<ZipEntry> packageEntries() {
    return {{"pkg/", ""},
            {"pkg/model-series.json", seriesManifest().dump(), true},
            {"pkg/Fast/manifest.json", compactFolderManifest(4)},
            {"pkg/Fast/0.weights", weights(5000), true},
            {"pkg/説明.txt", "モデル"}};
}

// A package whose comment holds a second central directory and end record (one byte short of the
// end, so not the archive's own); that directory names an entry hidden in a stored file's data.
// An extractor that takes the last end signature it sees would write what was never checked.
Zip packageWithHiddenDirectory() {
    Zip hidden = makeZip({{"pkg/evil.bin", std::string(100, 'e')}});
    std::vector<ZipEntry> entries = packageEntries();
    entries.push_back({"pkg/hidden.bin", hidden.bytes.substr(0, hidden.central[0])});
    const std::size_t commentLength = hidden.bytes.size() - hidden.central[0] + 1;
    const Zip outer = makeZip(entries, std::string(commentLength, ' '));
    hidden.put32(hidden.central[0] + 42, static_cast<std::uint32_t>(outer.local.back() + 30 + 14));
    hidden.put32(hidden.end + zip_field::endOffset, static_cast<std::uint32_t>(outer.end + 22));
    return makeZip(entries, hidden.bytes.substr(hidden.central[0]) + "x");
}

Zip packageWith(std::vector<ZipEntry> extra) {
    std::vector<ZipEntry> entries = packageEntries();
    entries.insert(entries.end(), extra.begin(), extra.end());
    return makeZip(entries);
}

// Staging folders go to a temporary directory of the test's own, so leftovers can be seen.
class Importer : public ScratchFolder {
protected:
    void SetUp() override {
        fs::create_directories(folder_ / "tmp");
        tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", (folder_ / "tmp").string());
    }
    void TearDown() override { tmpdir_.reset(); }

    fs::path write(const Zip& zip) {
        const fs::path path = folder_ / "chosen.zip";
        zip.write(path);
        return path;
    }
    bool stagingLeft() const { return !fs::is_empty(folder_ / "tmp"); }

    std::unique_ptr<ScopedEnv> tmpdir_;
};

TEST_F(Importer, PreparesInstallsAndDiscards) {
    const fs::path chosen = write(packageWith({}));
    const auto package = ModelArchiveImporter::prepare(chosen, sessionLimits);
    EXPECT_EQ(package.stagingRoot.parent_path(), folder_ / "tmp");
    EXPECT_TRUE(package.stagingRoot.filename().string().starts_with("Lumavane-ModelImport-"));
    EXPECT_EQ(package.stagingRoot.filename().string().size(), 21u + 36u);
    EXPECT_EQ(fs::weakly_canonical(package.packageRoot),
              fs::weakly_canonical(package.stagingRoot / "contents/pkg"));
    EXPECT_EQ(package.manifestURL, package.packageRoot / "model-series.json");
    EXPECT_EQ(package.manifest.id, "org.example.anime");
    EXPECT_FALSE(fs::exists(package.stagingRoot / "source.zip"));
    EXPECT_EQ(fs::file_size(package.packageRoot / "Fast/0.weights"), 5000u);
    EXPECT_TRUE(fs::is_regular_file(package.packageRoot / "説明.txt"));

    const fs::path models = folder_ / "data/Lumavane/Models";
    const fs::path installed = ModelArchiveImporter::install(package, models);
    EXPECT_EQ(installed.parent_path().parent_path(), models);
    EXPECT_TRUE(installed.parent_path().filename().string().starts_with("org.example.anime-2.1-"));
    EXPECT_EQ(ModelSeriesManifest::load(installed), package.manifest);
    EXPECT_FALSE(stagingLeft());

    const auto second = ModelArchiveImporter::prepare(chosen, sessionLimits);
    const fs::path other = folder_ / "tmp/Other";
    fs::create_directories(other);
    ModelArchiveImporter::discard(other);
    ModelArchiveImporter::discard(std::nullopt);
    EXPECT_TRUE(fs::exists(other));
    ModelArchiveImporter::discard(second.stagingRoot);
    EXPECT_FALSE(fs::exists(second.stagingRoot));
}

TEST_F(Importer, HostileArchivesAreRefusedWithoutLeftovers) {
    auto patched = [](std::vector<ZipEntry> extra, std::function<void(Zip&)> patch) {
        return [=] {
            Zip zip = packageWith(extra);
            patch(zip);
            return zip;
        };
    };
    auto plain = [&](std::vector<ZipEntry> extra) { return patched(extra, [](Zip&) {}); };
    const std::size_t last = packageEntries().size(); // index of the first extra entry
    const Limits small{sessionLimits.maxArchiveBytes, 30000, 20000, 7, 200};
    const std::string nfc = "pkg/caf\xC3\xA9", nfd = "pkg/cafe\xCC\x81";
    const struct {
        const char* what;
        std::function<Zip()> build;
        ArchiveError::Case expected;
        Limits limits = sessionLimits;
    } cases[] = {
        {"climbs out", plain({{"pkg/../../evil", "x"}}), ArchiveError::unsafeEntry},
        {"absolute", plain({{"/tmp/evil", "x"}}), ArchiveError::unsafeEntry},
        {"backslashes", plain({{"..\\evil", "x"}}), ArchiveError::unsafeEntry},
        {"NUL in a name", plain({{std::string("pkg/a\0.json", 11), "x"}}), ArchiveError::unsafeEntry},
        {"symbolic link", plain({{"pkg/link", "/etc/passwd", false, 0120777}}), ArchiveError::unsafeEntry},
        {"same name twice", plain({{"pkg/a.bin", "1"}, {"pkg/a.bin", "2"}}), ArchiveError::unsafeEntry},
        {"names equal but for case", plain({{"pkg/A.bin", "1"}, {"pkg/a.BIN", "2"}}),
         ArchiveError::unsafeEntry},
        {"names equal once normalised", plain({{nfc, "1"}, {nfd, "2"}}), ArchiveError::unsafeEntry},
        {"a folder and a file of one name", plain({{"pkg/x/", ""}, {"pkg/x", "2"}}),
         ArchiveError::unsafeEntry},
        {"ZIP64 size escape",
         patched({{"pkg/a", "x"}},
                 [&](Zip& z) { z.putBoth32(last, localUncompressed, centralUncompressed, 0xFFFFFFFF); }),
         ArchiveError::unsupported},
        {"ZIP64 record count escape",
         patched(
             {},
             [](Zip& z) { z.put16(z.end + endRecords, 0xFFFF), z.put16(z.end + endRecordsHere, 0xFFFF); }),
         ArchiveError::unsupported},
        {"encrypted",
         patched({{"pkg/a", "x"}}, [&](Zip& z) { z.putBoth16(last, localFlags, centralFlags, 0x0801); }),
         ArchiveError::unsupported},
        {"bzip2 method",
         patched({{"pkg/a", "x"}}, [&](Zip& z) { z.putBoth16(last, localMethod, centralMethod, 12); }),
         ArchiveError::unsupported},
        {"entry ratio bomb", plain({{"pkg/zeros", std::string(1 << 20, '\0'), true}}),
         ArchiveError::tooLarge},
        {"too many entries", plain({{"pkg/a", "1"}, {"pkg/b", "2"}, {"pkg/c", "3"}}),
         ArchiveError::tooManyEntries, small},
        {"entry over its limit", plain({{"pkg/a", std::string(20001, 'a'), true}}), ArchiveError::tooLarge,
         small},
        {"expanded total over its limit",
         plain({{"pkg/a", std::string(15000, 'a'), true}, {"pkg/b", std::string(15000, 'b'), true}}),
         ArchiveError::tooLarge, small},
        {"archive over its limit", plain({}), ArchiveError::tooLarge, {1000, 1 << 30, 1 << 30, 4096, 200}},
        {"CRC mismatch",
         patched({{"pkg/a", "data"}}, [&](Zip& z) { z.putBoth32(last, localCRC, centralCRC, 1); }),
         ArchiveError::extractionFailed},
        {"declared smaller than inflated",
         patched({{"pkg/a", std::string(3000, 'a'), true}},
                 [&](Zip& z) { z.putBoth32(last, localUncompressed, centralUncompressed, 2999); }),
         ArchiveError::tooLarge},
        {"local method differs",
         patched({{"pkg/a", "x"}}, [&](Zip& z) { z.put16(z.local[last] + localMethod, 8); }),
         ArchiveError::unsupported},
        {"local CRC differs",
         patched({{"pkg/a", "x"}}, [&](Zip& z) { z.put32(z.local[last] + localCRC, 7); }),
         ArchiveError::unsupported},
        {"local name differs",
         patched({{"pkg/a", "x"}}, [&](Zip& z) { z.bytes[z.local[last] + localName + 4] = 'b'; }),
         ArchiveError::unsafeEntry},
        {"truncated", patched({}, [](Zip& z) { z.bytes.resize(z.bytes.size() - 5); }),
         ArchiveError::unsupported},
        {"cut in the data", patched({}, [](Zip& z) { z.bytes.resize(z.local[2] + 40); }),
         ArchiveError::unsupported},
        {"byte after the end record", patched({}, [](Zip& z) { z.bytes += '\0'; }),
         ArchiveError::unsupported},
        {"empty file", [] { return Zip{}; }, ArchiveError::unsupported},
        {"hidden second central directory", packageWithHiddenDirectory, ArchiveError::extractionFailed},
        {"no manifest",
         [] {
             return makeZip({{"pkg/Fast/manifest.json", compactFolderManifest(4)}});
         },
         ArchiveError::manifestNotFound},
        {"two manifests", plain({{"other/model-series.json", seriesManifest().dump()}}),
         ArchiveError::manifestNotFound},
        {"a folder named like the manifest only",
         [] {
             return makeZip({{"model-series.json/", ""}});
         },
         ArchiveError::manifestNotFound},
    };
    for (const auto& c : cases) {
        const fs::path chosen = write(c.build());
        std::optional<ArchiveError::Case> thrown;
        try {
            const auto package = ModelArchiveImporter::prepare(chosen, c.limits);
            ModelArchiveImporter::discard(package.stagingRoot);
        } catch (const ArchiveError& e) {
            thrown = e.errorCase();
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.what << ": " << e.what();
        }
        EXPECT_EQ(thrown, c.expected) << c.what;
        EXPECT_FALSE(stagingLeft()) << c.what;
    }
}

TEST_F(Importer, ManifestErrorsPassThroughAndLeaveNothing) {
    nlohmann::json manifest = seriesManifest();
    manifest["variants"][0]["path"] = "Missing";
    std::vector<ZipEntry> entries = packageEntries();
    entries[1].data = manifest.dump();
    const fs::path chosen = write(makeZip(entries));
    try {
        ModelArchiveImporter::prepare(chosen, sessionLimits);
        ADD_FAILURE() << "prepared";
    } catch (const ModelSeriesManifest::ManifestError& e) {
        EXPECT_EQ(e.errorCase(), ModelSeriesManifest::ManifestError::invalidPath);
    }
    EXPECT_FALSE(stagingLeft());
    EXPECT_THROW(ModelArchiveImporter::prepare(folder_ / "missing.zip", sessionLimits), fs::filesystem_error);
}

// Run as an unprivileged user (root reads any folder), a folder the check cannot enter must
// fail the package rather than hide what is inside it.
TEST_F(Importer, UnreadableFolderFailsTheCheck) {
    const fs::path contents = folder_ / "contents";
    writeText(contents / "pkg/model-series.json", "{}");
    fs::create_directories(contents / "locked/inner");
    writeText(contents / "locked/inner/model-series.json", "{}");
    fs::permissions(folder_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(contents / "locked", fs::perms::none);
    const pid_t child = fork();
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
        try {
            // The readable part alone passes: the failure below is the locked folder's.
            ModelArchiveImporter::validateExtractedPackage(contents / "pkg");
        } catch (...) {
            _exit(96);
        }
        try {
            ModelArchiveImporter::validateExtractedPackage(contents);
            _exit(97);
        } catch (const ArchiveError& e) {
            _exit(10 + e.errorCase());
        } catch (...) {
            _exit(99);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::permissions(contents / "locked", fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 10 + ArchiveError::extractionFailed);
}

// The models folder on another file system: the move fails and the package is copied. A copy that
// fails part-way (a FIFO cannot be copied) must leave nothing in the models folder.
TEST_F(Importer, CopyThatFailsLeavesNoPartialPackage) {
    const fs::path shm = "/dev/shm";
    struct stat here {
    }, there{};
    if (::stat(folder_.c_str(), &here) != 0 || ::stat(shm.c_str(), &there) != 0 ||
        here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    const fs::path models = shm / folder_.filename();
    const fs::path staging = folder_ / "tmp/Lumavane-ModelImport-test";
    const fs::path package = staging / "contents/pkg";
    writeText(package / "model-series.json", "{}");
    writeText(package / "a.bin", std::string(100000, 'a'));
    ASSERT_EQ(::mkfifo((package / "pipe").c_str(), 0600), 0);
    ModelArchiveImporter::PreparedPackage prepared{staging, package, package / "model-series.json", {}};
    prepared.manifest.id = "org.example/a b";
    prepared.manifest.version = "1";

    EXPECT_THROW(ModelArchiveImporter::install(prepared, models), fs::filesystem_error);
    EXPECT_TRUE(fs::is_empty(models));
    EXPECT_TRUE(fs::exists(package / "a.bin"));

    fs::remove(package / "pipe");
    const fs::path installed = ModelArchiveImporter::install(prepared, models);
    EXPECT_TRUE(installed.parent_path().filename().string().starts_with("org.example-a-b-1-"));
    EXPECT_EQ(fs::file_size(installed.parent_path() / "a.bin"), 100000u);
    EXPECT_FALSE(fs::exists(staging));
    fs::remove_all(models);
}

TEST(ModelArchiveImporter, SafeComponent) {
    const std::string accented = [] {
        std::string text;
        for (int i = 0; i < 130; ++i) text += "e\xCC\x81"; // e + combining acute: one character
        return text;
    }();
    const struct {
        std::string text, expected;
    } cases[] = {
        {"org.example/anime 2_x-y", "org.example-anime-2_x-y"},
        {"モデル・シリーズ:1", "モデル-シリーズ-1"},
        {std::string(200, 'a'), std::string(120, 'a')},
        {accented, accented.substr(0, 120 * 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(ModelArchiveImporter::safeComponent(c.text), c.expected) << c.text;
}

} // namespace
} // namespace lumavane::test
