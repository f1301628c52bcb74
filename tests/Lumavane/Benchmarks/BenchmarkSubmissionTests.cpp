#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"

#include "Platform/Foundation/JSONDecoding.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

namespace lumavane {
namespace {

using Error = BenchmarkSubmissionError;
using Model = PerformanceBenchmarkModel;
using Profile = PerformanceBenchmarkProfile;
using Scale = PerformanceBenchmarkScale;

const std::string fastHash = "7e1dd94a07dc48960a2e55e4ecf96f588929a09072dda8525469ed83f50c95ac";
const std::string qualityHash = "affd077fc8b81daa39646001d1ac99b912fd1f5f757412c6acc011035cc66d98";

template <typename Call> std::optional<Error::Case> errorCaseOf(Call call) {
    try {
        call();
    } catch (const Error& error) {
        return error.errorCase();
    }
    return std::nullopt;
}

void writeManifest(const std::filesystem::path& folder, const std::string& checkpoint) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "manifest.json") << R"({"name": "x", "checkpoint_sha256": ")" + checkpoint + "\"}";
}

TEST(BenchmarkSubmission, CompactFormIsCanonical) {
    BenchmarkSubmission s;
    s.submissionID = "0B9C3D6E-1F2A-4B5C-8D7E-9F0A1B2C3D4E";
    s.measuredAt = DefaultsDate{794284800.75}; // 2026-03-04T02:40:00.75Z
    s.app = {"Lumavane", "0.9.1", "linux"};
    s.system = {"Linux", "Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64", "Vendor/Board", "pthread-cpu",
                16};
    s.models = {{"fast", "lumavane.compact-4x", "1.0", "fast", fastHash}};
    s.measurements = {
        {"fast", "720p", 1280, 720, 2, 2560, 1440, 12.5, 20.0, 50.0, 48},
        {"quality", "1080p", 1920, 1080, 4, 7680, 4320, 0.1, 1e-7, 33.333333333333336, std::nullopt}};
    s.publication.comment = "on AC/battery";

    EXPECT_EQ(
        s.encoded(false),
        R"j({"app":{"channel":"linux","name":"Lumavane","version":"0.9.1"},)j"
        R"j("environment":{"low_power_mode":false,"power_source":"unknown","thermal_state":"unknown"},)j"
        R"j("measured_at":"2026-03-04T02:40:00Z",)j"
        R"j("measurements":[{"input_height":720,"input_width":1280,"median_ms":12.5,"model_role":"fast",)j"
        R"j("output_height":1440,"output_width":2560,"p95_ms":20,"profile":"720p","recommended_fps":48,)j"
        R"j("scale":2,"sustained_fps":50},{"input_height":1080,"input_width":1920,"median_ms":0.1,)j"
        R"j("model_role":"quality","output_height":4320,"output_width":7680,"p95_ms":1e-07,"profile":"1080p",)j"
        R"j("recommended_fps":null,"scale":4,"sustained_fps":33.333333333333336}],)j"
        R"j("models":[{"checkpoint_sha256":")j" +
            fastHash +
            R"j(","role":"fast",)j"
            R"j("series_id":"lumavane.compact-4x","series_version":"1.0","variant_id":"fast"}],)j"
            R"j("publication":{"comment":"on AC/battery","consent_notice_version":1,"visibility":"public"},)j"
            R"j("schema_version":1,"submission_id":"0B9C3D6E-1F2A-4B5C-8D7E-9F0A1B2C3D4E",)j"
            R"j("suite":{"id":"lumavane.standard","measured_frames":30,"scope":"enhancement_pipeline_only",)j"
            R"j("version":1,"warmup_frames":5},)j"
            R"j("system":{"hardware_model":"Vendor/Board","memory_gib":16,"metal_device":"pthread-cpu",)j"
            R"j("os_build":"6.1.0-18-amd64","os_name":"Linux","os_version":"Debian GNU/Linux 12 (bookworm)"}})j");

    // The preview carries the same members in the same order, and both read back as the document
    // (up to the whole seconds of the date).
    const std::string pretty = s.encoded(true);
    EXPECT_NE(pretty.find('\n'), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(pretty).dump(), s.encoded(false));
    BenchmarkSubmission whole = s;
    whole.measuredAt.secondsSinceReferenceDate = 794284800;
    EXPECT_EQ(BenchmarkSubmission::decode(nlohmann::json::parse(pretty)), whole);

    s.publication.comment.reset();
    EXPECT_NE(s.encoded(false).find(R"("publication":{"consent_notice_version":1,"visibility":"public"})"),
              std::string::npos);
}

TEST(BenchmarkSubmission, NonFiniteNumbersAreNotEncoded) {
    for (const double bad : {std::numeric_limits<double>::infinity(), std::nan("")}) {
        BenchmarkSubmission s;
        s.measurements = {{"fast", "720p", 1280, 720, 2, 2560, 1440, 1, 1, bad, std::nullopt}};
        EXPECT_THROW(s.encoded(false), JSONEncodingError);
        EXPECT_THROW(s.encoded(true), JSONEncodingError);
    }
}

TEST(BenchmarkSubmission, OneCheckpointRuleEverywhere) {
    struct Case {
        std::string text;
        std::optional<std::string> expected;
    };
    const std::string upper = "AFFD077FC8B81DAA39646001D1AC99B912FD1F5F757412C6ACC011035CC66D98";
    const Case cases[] = {{qualityHash, qualityHash},
                          {upper, qualityHash},
                          {qualityHash.substr(1), std::nullopt},
                          {qualityHash + "0", std::nullopt},
                          {"g" + qualityHash.substr(1), std::nullopt},
                          {" " + qualityHash.substr(1), std::nullopt}};
    test::TemporaryDirectory folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(normalizedCheckpoint(c.text), c.expected);
        writeManifest(folder.path() / "model", c.text);
        if (c.expected) {
            EXPECT_EQ(BenchmarkSubmission::checkpointSHA256(folder.path() / "model"), *c.expected);
        } else {
            EXPECT_EQ(errorCaseOf([&] { BenchmarkSubmission::checkpointSHA256(folder.path() / "model"); }),
                      Error::invalidCheckpoint);
        }
    }
    std::ofstream(folder.path() / "model" / "manifest.json") << R"({"checkpoint_sha256": 7})";
    EXPECT_THROW(BenchmarkSubmission::checkpointSHA256(folder.path() / "model"), JSONDecodingError);
    EXPECT_THROW(BenchmarkSubmission::checkpointSHA256(folder.path() / "absent"),
                 std::filesystem::filesystem_error);
}

TEST(BenchmarkSubmission, ISO8601Times) {
    const std::optional<double> reference = 794284800; // 2026-03-04T02:40:00Z
    struct Case {
        const char* text;
        std::optional<double> seconds;
    };
    const Case cases[] = {
        {"2026-03-04T02:40:00Z", reference},        {"2026-03-04T02:40:00.250Z", *reference + 0.25},
        {"2026-03-04T11:40:00+09:00", reference},   {"2024-02-29T00:00:00Z", 730857600},
        {"2026-02-29T00:00:00Z", std::nullopt},     {"2026-03-04 02:40:00Z", std::nullopt},
        {"2026-03-04T02:40:00", std::nullopt},      {"2026-03-04T02:40:00.Z", std::nullopt},
        {"2026-03-04T02:40:00Zjunk", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<DefaultsDate> parsed = parseISO8601(c.text);
        ASSERT_EQ(parsed.has_value(), c.seconds.has_value());
        if (parsed) {
            EXPECT_DOUBLE_EQ(parsed->secondsSinceReferenceDate, *c.seconds);
        }
    }
    EXPECT_EQ(iso8601String(DefaultsDate{*reference + 0.999}), "2026-03-04T02:40:00Z");
    EXPECT_EQ(iso8601String(DefaultsDate{-0.5}), "2000-12-31T23:59:59Z");
}

TEST(BenchmarkSubmission, ErrorDescriptions) {
    EXPECT_STREQ(Error::missingModelError(Model::quality).what(), "Missing benchmark model: quality.");
    EXPECT_STREQ(Error::serverError(503, std::nullopt).what(), "The benchmark server returned HTTP 503.");
    EXPECT_STREQ(Error::serverError(409, "Already posted.").what(), "Already posted.");
    EXPECT_STREQ(Error(Error::invalidResultURL).what(),
                 "The benchmark server returned an unsafe result URL.");
}

class BuildSubmission : public ::testing::Test {
protected:
    void SetUp() override {
        writeManifest(folder.path() / "fast", fastHash);
        writeManifest(folder.path() / "quality",
                      "AFFD077FC8B81DAA39646001D1AC99B912FD1F5F757412C6ACC011035CC66D98");
        PerformanceBenchmarkReport report;
        // Not in suite order: the document keeps the report's order.
        for (const Model model : {Model::quality, Model::fast})
            for (const Profile profile : {Profile::fullHD1080, Profile::hd720})
                for (const Scale scale : {Scale::four, Scale::two})
                    report.measurements.push_back({model, profile, scale, 8, 10, 100, std::nullopt});
        report.measurements[0].recommendedFPS = 60;
        inputs.submissionID = "0b9c3d6e-1f2a-4b5c-8d7e-9f0a1b2c3d4e";
        inputs.report = report;
        inputs.measuredAt = DefaultsDate{794284800};
        ModelSeriesManifest manifest;
        manifest.id = "lumavane.compact-4x";
        manifest.version = "1.0";
        for (const auto& [id, role] :
             {std::pair<std::string, std::optional<std::string>>{"other", std::nullopt},
              {"q", "quality"},
              {"f", "fast"}}) {
            ModelSeriesManifest::Variant variant;
            variant.id = id;
            variant.role = role;
            manifest.variants.push_back(variant);
        }
        inputs.manifest = manifest;
        inputs.modelURLs = {{BundledModelPreset::fast, folder.path() / "fast"},
                            {BundledModelPreset::quality, folder.path() / "quality"}};
        inputs.osVersion = "Debian GNU/Linux 12 (bookworm)";
        inputs.physicalMemoryBytes = 17179869184;
    }
    test::TemporaryDirectory folder;
    BenchmarkSubmissionInputs inputs;
};

TEST_F(BuildSubmission, FillsTheDocumentFromTheInputs) {
    const BenchmarkSubmission s = makeBenchmarkSubmission(inputs);
    EXPECT_EQ(s.submissionID, "0B9C3D6E-1F2A-4B5C-8D7E-9F0A1B2C3D4E");
    EXPECT_EQ(s.app, (BenchmarkSubmission::App{"Lumavane", "0.9.1", "linux"}));
    EXPECT_EQ(s.system, (BenchmarkSubmission::System{"Linux", "Debian GNU/Linux 12 (bookworm)", "unavailable",
                                                     "unavailable", "unavailable", 16}));
    EXPECT_EQ(s.models, (std::vector<BenchmarkSubmission::Model>{
                            {"fast", "lumavane.compact-4x", "1.0", "f", fastHash},
                            {"quality", "lumavane.compact-4x", "1.0", "q", qualityHash}}));
    ASSERT_EQ(s.measurements.size(), 8u);
    EXPECT_EQ(s.measurements[0], (BenchmarkSubmission::Measurement{"quality", "1080p", 1920, 1080, 4, 7680,
                                                                   4320, 8, 10, 100, 60}));
    EXPECT_EQ(s.measurements[7], (BenchmarkSubmission::Measurement{"fast", "720p", 1280, 720, 2, 2560, 1440,
                                                                   8, 10, 100, std::nullopt}));
    EXPECT_FALSE(s.publication.comment);
    EXPECT_EQ(benchmarkComparisonCheckpoints(inputs.modelURLs),
              (BenchmarkCheckpointMap{{"fast", fastHash}, {"quality", qualityHash}}));

    // A duplicated cell is not this function's business: only the count is checked.
    inputs.report->measurements[1] = inputs.report->measurements[0];
    EXPECT_NO_THROW(makeBenchmarkSubmission(inputs));
}

TEST_F(BuildSubmission, MemoryInWholeGiBAndKnownThermalStates) {
    const std::pair<std::uint64_t, std::int64_t> memory[] = {
        {17179869184, 16}, {1610612736, 2}, {429496730, 1}, {0, 1}, {2684354560, 3}};
    for (const auto& [bytes, gib] : memory) {
        inputs.physicalMemoryBytes = bytes;
        EXPECT_EQ(makeBenchmarkSubmission(inputs).system.memoryGiB, gib) << bytes;
    }
    for (const auto& [given, sent] : {std::pair{"serious", "serious"}, std::pair{"hot", "unknown"}}) {
        inputs.thermalState = given;
        EXPECT_EQ(makeBenchmarkSubmission(inputs).environment.thermalState, sent);
    }
}

TEST_F(BuildSubmission, FailuresInOrder) {
    struct Case {
        const char* name;
        std::function<void(BenchmarkSubmissionInputs&)> change;
        Error::Case expected;
        std::optional<Model> role;
    };
    const Case cases[] = {
        {"no report before no folder",
         [](auto& in) {
             in.report.reset();
             in.modelURLs.clear();
         },
         Error::incompleteMeasurements, std::nullopt},
        {"no time", [](auto& in) { in.measuredAt.reset(); }, Error::incompleteMeasurements, std::nullopt},
        {"no series", [](auto& in) { in.manifest.reset(); }, Error::incompleteMeasurements, std::nullopt},
        {"no folders: fast first", [](auto& in) { in.modelURLs.clear(); }, Error::missingModel, Model::fast},
        {"quality variant without a role", [](auto& in) { in.manifest->variants[1].role.reset(); },
         Error::missingModel, Model::quality},
        {"malformed checkpoint", [&](auto&) { writeManifest(folder.path() / "quality", "xyz"); },
         Error::invalidCheckpoint, std::nullopt},
        {"seven measurements", [](auto& in) { in.report->measurements.pop_back(); },
         Error::incompleteMeasurements, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.change(inputs);
        try {
            makeBenchmarkSubmission(inputs);
            ADD_FAILURE() << "built";
        } catch (const Error& error) {
            EXPECT_EQ(error.errorCase(), c.expected);
            EXPECT_EQ(error.role(), c.role);
        }
    }
}

} // namespace
} // namespace lumavane
