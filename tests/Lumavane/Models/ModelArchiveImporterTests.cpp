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

// A valid package in the folder "pkg": the series manifest, its compact model and a file with a
// Japanese name.
std::vector<ZipEntry> packageEntries() {
    return {{"pkg/", ""},
            {"pkg/model-series.json", seriesManifest().dump(), true},
            {"pkg/Fast/manifest.json", compactFolderManifest(4)},
            {"pkg/Fast/0.weights", pseudoRandomText(5000), true},
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

std::string repeated(const std::string& piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
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
    EXPECT_EQ(package.stagingRoot.filename().string().find("Lumavane-ModelImport-"), 0u);
    EXPECT_EQ(fs::weakly_canonical(package.packageRoot),
              fs::weakly_canonical(package.stagingRoot / "contents/pkg"));
    EXPECT_EQ(package.manifest.id, "org.example.anime");
    EXPECT_FALSE(fs::exists(package.stagingRoot / "source.zip"));
    EXPECT_EQ(fs::file_size(package.packageRoot / "Fast/0.weights"), 5000u);
    EXPECT_TRUE(fs::is_regular_file(package.packageRoot / "説明.txt"));

    const fs::path models = folder_ / "data/Lumavane/Models";
    const fs::path installed = ModelArchiveImporter::install(package, models);
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

// Each case adds entries to the valid package and then may patch (or replace) the archive.
TEST_F(Importer, HostileArchivesAreRefusedWithoutLeftovers) {
    const std::size_t a = packageEntries().size(); // the first added entry
    const ZipEntry x{"pkg/a", "x"};
    // The package holds 6 paths: its 5 entries and the folder "pkg/Fast" their names imply.
    const Limits small{sessionLimits.maxArchiveBytes, 30000, 20000, 8, 200};
    std::vector<ZipEntry> deepFolders; // 150 names of 30 levels: 4,500 folders
    for (int i = 0; i < 150; ++i) {
        std::string name = "pkg/" + std::to_string(i);
        for (int level = 0; level < 28; ++level) name += "/d";
        deepFolders.push_back({name + "/f", ""});
    }
    using E = ArchiveError;
    const struct {
        const char* what;
        std::vector<ZipEntry> extra;
        std::function<void(Zip&)> patch;
        E::Case expected;
        Limits limits = sessionLimits;
    } cases[] = {
        {"climbs out", {{"pkg/../../evil", "x"}}, {}, E::unsafeEntry},
        {"absolute", {{"/tmp/evil", "x"}}, {}, E::unsafeEntry},
        {"backslashes", {{"..\\evil", "x"}}, {}, E::unsafeEntry},
        {"NUL in a name", {{std::string("pkg/a\0.json", 11), "x"}}, {}, E::unsafeEntry},
        {"symbolic link", {{"pkg/link", "/etc/passwd", false, 0120777}}, {}, E::unsafeEntry},
        {"same name twice", {x, x}, {}, E::unsafeEntry},
        {"names equal but for case", {{"pkg/A.bin", "1"}, {"pkg/a.BIN", "2"}}, {}, E::unsafeEntry},
        {"names equal once normalised",
         {{"pkg/caf\xC3\xA9", "1"}, {"pkg/cafe\xCC\x81", "2"}},
         {},
         E::unsafeEntry},
        {"a folder and a file of one name", {{"pkg/x/", ""}, {"pkg/x", "2"}}, {}, E::unsafeEntry},
        {"ZIP64 size escape",
         {x},
         [&](Zip& z) { z.putBoth32(a, localUncompressed, centralUncompressed, ~0u); },
         E::unsupported},
        {"encrypted", {x}, [&](Zip& z) { z.putBoth16(a, localFlags, centralFlags, 0x0801); }, E::unsupported},
        {"bzip2 method",
         {x},
         [&](Zip& z) { z.putBoth16(a, localMethod, centralMethod, 12); },
         E::unsupported},
        {"entry ratio bomb", {{"pkg/zeros", std::string(1 << 20, '\0'), true}}, {}, E::tooLarge},
        {"too many entries",
         {x, {"pkg/b", "2"}, {"pkg/c", "3"}, {"pkg/d", "4"}},
         {},
         E::tooManyEntries,
         small},
        {"folders implied by names past the entry limit",
         {x, {"pkg/b/c", "2"}},
         {},
         E::tooManyEntries,
         small},
        {"names implying thousands of folders", deepFolders, {}, E::tooManyEntries},
        {"a name 510 folders deep", {{"pkg" + repeated("/d", 509), "x"}}, {}, E::unsafeEntry},
        {"a name 33 components deep",
         {{"pkg/a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t/u/v/w/x/y/z/1/2/3/4/5/6", "x"}},
         {},
         E::unsafeEntry},
        {"a component no file system takes", {{"pkg/" + std::string(256, 'n'), "x"}}, {}, E::unsafeEntry},
        {"entry over its limit", {{"pkg/a", std::string(20001, 'a'), true}}, {}, E::tooLarge, small},
        {"expanded total over its limit",
         {{"pkg/a", std::string(15000, 'a'), true}, {"pkg/b", std::string(15000, 'b'), true}},
         {},
         E::tooLarge,
         small},
        {"archive over its limit", {}, {}, E::tooLarge, {1000, 1 << 30, 1 << 30, 4096, 200}},
        {"CRC mismatch", {x}, [&](Zip& z) { z.putBoth32(a, localCRC, centralCRC, 1); }, E::extractionFailed},
        {"declared smaller than inflated",
         {{"pkg/a", std::string(3000, 'a'), true}},
         [&](Zip& z) { z.putBoth32(a, localUncompressed, centralUncompressed, 2999); },
         E::tooLarge},
        {"local method differs", {x}, [&](Zip& z) { z.put16(z.local[a] + localMethod, 8); }, E::damaged},
        {"local name differs",
         {x},
         [&](Zip& z) { z.bytes[z.local[a] + localName + 4] = 'b'; },
         E::unsafeEntry},
        // Not of a kind the player does not read: no ZIP at all, or one cut short or altered.
        {"truncated", {}, [](Zip& z) { z.bytes.resize(z.bytes.size() - 5); }, E::damaged},
        {"cut in half", {}, [](Zip& z) { z.bytes.resize(z.bytes.size() / 2); }, E::damaged},
        {"byte after the end record", {}, [](Zip& z) { z.bytes += '\0'; }, E::damaged},
        {"central directory cut short", {}, [](Zip& z) { z.put32(z.end + 12, 10); }, E::damaged},
        {"empty file", {}, [](Zip& z) { z = Zip{}; }, E::notAZip},
        {"random bytes", {}, [](Zip& z) { z.bytes = pseudoRandomText(5000); }, E::notAZip},
        {"text renamed .zip", {}, [](Zip& z) { z.bytes = "model-series.json: see the folder\n"; }, E::notAZip},
        {"no entries at all", {}, [](Zip& z) { z = makeZip({}); }, E::manifestNotFound},
        {"hidden second central directory",
         {},
         [](Zip& z) { z = packageWithHiddenDirectory(); },
         E::extractionFailed},
        {"no manifest",
         {},
         [](Zip& z) {
             z = makeZip({{"pkg/Fast/manifest.json", "{}"}});
         },
         E::manifestNotFound},
        {"two manifests", {{"other/model-series.json", seriesManifest().dump()}}, {}, E::manifestNotFound},
        {"only a folder named like the manifest",
         {},
         [](Zip& z) {
             z = makeZip({{"model-series.json/", ""}});
         },
         E::manifestNotFound}};
    for (const auto& c : cases) {
        Zip zip = packageWith(c.extra);
        if (c.patch) c.patch(zip);
        const fs::path chosen = write(zip);
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

// The folder name is this, "-" and a UUID: it must fit a file system's 255 bytes however the id
// is written. Every scalar counts, a combining mark too.
TEST(ModelArchiveImporter, SafeComponent) {
    const std::string acute = "\xCC\x81", kanji = "\xE5\xAD\x97"; // U+0301, U+5B57
    const struct {
        std::string text, expected;
    } cases[] = {
        {"org.example/anime 2_x-y", "org.example-anime-2_x-y"},
        {"モデル・シリーズ:1", "モデル-シリーズ-1"},
        {std::string(200, 'a'), std::string(120, 'a')},
        {repeated("e" + acute, 130), repeated("e" + acute, 60)},     // 120 scalars, 180 bytes
        {repeated(kanji, 80) + "-1.0", repeated(kanji, 72)},         // 216 of 218 bytes
        {"e" + repeated(acute, 100000), "e" + repeated(acute, 108)}, // 217 bytes
        {std::string(100, 'a') + repeated(kanji, 50), std::string(100, 'a') + repeated(kanji, 20)},
        {std::string(117, '/') + kanji + kanji, std::string(117, '-') + kanji + kanji},
    };
    for (const auto& c : cases) {
        const std::string safe = ModelArchiveImporter::safeComponent(c.text);
        EXPECT_EQ(safe, c.expected) << c.text.substr(0, 300);
        EXPECT_LE(safe.size(), 255u - 37u);
    }
}

// 80 CJK characters passed every check and then failed at install ("File name too long"), after
// the user had confirmed.
TEST_F(Importer, ALongIdStillInstalls) {
    for (const std::string& id : {repeated("\xE5\xAD\x97", 80), "e" + repeated("\xCC\x81", 100000)}) {
        nlohmann::json manifest = seriesManifest();
        manifest["id"] = id;
        std::vector<ZipEntry> entries = packageEntries();
        entries[1] = {"pkg/model-series.json", manifest.dump()}; // stored: marks deflate too well
        const auto package = ModelArchiveImporter::prepare(write(makeZip(entries)), sessionLimits);
        const fs::path installed = ModelArchiveImporter::install(package, folder_ / "models");
        EXPECT_LE(installed.parent_path().filename().string().size(), 255u);
        EXPECT_EQ(ModelSeriesManifest::load(installed).id, id);
    }
}

// A cancelled preparation stops at its next step and leaves nothing; each step stops on its own.
TEST_F(Importer, ACancelledPreparationStopsAndLeavesNothing) {
    const fs::path chosen = write(packageWith({}));
    CancellationToken cancelled;
    cancelled.cancel();
    EXPECT_THROW(ModelArchiveImporter::prepare(chosen, sessionLimits, cancelled), CancellationError);
    EXPECT_FALSE(stagingLeft());

    const fs::path staged = folder_ / "staged.zip";
    EXPECT_THROW(ModelArchiveImporter::stageArchive(chosen, staged, sessionLimits.maxArchiveBytes, cancelled),
                 CancellationError);
    ModelArchiveImporter::stageArchive(chosen, folder_ / "copy.zip", sessionLimits.maxArchiveBytes);
    EXPECT_THROW(ModelArchiveImporter::inspect(folder_ / "copy.zip", sessionLimits, cancelled),
                 CancellationError);
    const auto entries = ModelArchiveImporter::inspect(folder_ / "copy.zip", sessionLimits);
    fs::create_directories(folder_ / "out");
    EXPECT_THROW(ModelArchiveImporter::extract(folder_ / "copy.zip", folder_ / "out", entries, cancelled),
                 CancellationError);
    EXPECT_TRUE(fs::is_empty(folder_ / "out"));
    EXPECT_NO_THROW(ModelArchiveImporter::prepare(chosen, sessionLimits, CancellationToken()));
}

// The manifest's 4 MiB limit is told as such, not as a file-system error naming the staging folder.
TEST_F(Importer, AnOversizedManifestIsNamedWithoutThePrivatePath) {
    std::vector<ZipEntry> entries = packageEntries();
    entries[1].data = pseudoRandomText(4 * 1024 * 1024 + 1);
    try {
        ModelArchiveImporter::prepare(write(makeZip(entries)), sessionLimits);
        ADD_FAILURE() << "prepared";
    } catch (const ModelSeriesManifest::ManifestError& error) {
        EXPECT_EQ(error.errorCase(), ModelSeriesManifest::ManifestError::tooLarge);
        EXPECT_STREQ(error.what(), "The model-series.json file is larger than 4 MiB.");
    }
    EXPECT_FALSE(stagingLeft());
}

} // namespace
} // namespace lumavane::test
