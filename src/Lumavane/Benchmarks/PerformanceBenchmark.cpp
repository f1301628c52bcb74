#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"

#include "EnhancementCore/CompactEnhancer.hpp"
#include "EnhancementCore/ModelFormat.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>

namespace lumavane {

BenchmarkError BenchmarkError::missingModel(PerformanceBenchmarkModel model) {
    const char* name = model == PerformanceBenchmarkModel::fast ? "高速" : "高画質";
    return BenchmarkError(Case::missingModel, model, std::string(name) + "モデルを読み込めません。");
}

BenchmarkError BenchmarkError::sourceBuffer() {
    return BenchmarkError(Case::sourceBuffer, std::nullopt, "ベンチマーク用の入力を作成できません。");
}

BenchmarkError BenchmarkError::unsupportedModelFormat() {
    return BenchmarkError(Case::unsupportedModelFormat, std::nullopt,
                          "Core ML形式のモデルはベンチマークに対応していません。");
}

namespace {

constexpr std::array profiles{PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080};

class CompactBenchmarkEngine final : public PerformanceBenchmarkEngine {
public:
    CompactBenchmarkEngine(const std::filesystem::path& url, PerformanceBenchmarkScale scale)
        : enhancer_(options(url, scale)) {}
    void enhance(const PixelBuffer& source) override { (void)enhancer_.enhance(source); }

private:
    static CompactEnhancerOptions options(const std::filesystem::path& url, PerformanceBenchmarkScale scale) {
        CompactEnhancerOptions options;
        options.url = url;
        options.directInput = true;
        options.native4xOutput = scale == PerformanceBenchmarkScale::four;
        options.optimalDisplayOutput = false;
        return options;
    }

    CompactEnhancer enhancer_;
};

// Everything one run shares: its settings filled in and the two source frames.
class Run {
public:
    Run(const CancellationToken& cancellation, const PerformanceBenchmarkSettings& settings, int conditions)
        : cancellation_(cancellation), settings_(settings), conditions_(conditions) {
        if (!settings_.makeEngine) {
            settings_.makeEngine = [](const std::filesystem::path& url, PerformanceBenchmarkScale scale) {
                return std::make_unique<CompactBenchmarkEngine>(url, scale);
            };
        }
        if (!settings_.clock) {
            settings_.clock = [] {
                return std::chrono::duration<double>(PerformanceBenchmark::Clock::now().time_since_epoch())
                    .count();
            };
        }
        for (const auto profile : profiles) {
            const auto size =
                profile == PerformanceBenchmarkProfile::hd720 ? settings_.hd720 : settings_.fullHD1080;
            sources_.push_back(PerformanceBenchmark::makeSourceBuffer(size.width, size.height));
        }
    }

    std::unique_ptr<PerformanceBenchmarkEngine> engine(const std::filesystem::path& url,
                                                       PerformanceBenchmarkScale scale) const {
        return settings_.makeEngine(url, scale);
    }

    const PixelBuffer& source(PerformanceBenchmarkProfile profile) const {
        const PixelBuffer& buffer = sources_.at(profile == PerformanceBenchmarkProfile::hd720 ? 0 : 1);
        if (!buffer) throw BenchmarkError::sourceBuffer();
        return buffer;
    }

    PerformanceBenchmarkStatistics measure(PerformanceBenchmarkEngine& engine,
                                           PerformanceBenchmarkProfile profile) {
        const PixelBuffer& frame = source(profile);
        for (int i = 0; i < settings_.warmUpCount; ++i) engine.enhance(frame);
        cancellation_.throwIfCancelled();
        std::vector<double> times;
        times.reserve(std::size_t(std::max(settings_.timedCount, 0)));
        for (int i = 0; i < settings_.timedCount; ++i) {
            if (i > 0) cancellation_.throwIfCancelled();
            const double start = settings_.clock();
            engine.enhance(frame);
            const double end = settings_.clock();
            times.push_back((end - start) * 1000);
        }
        ++done_;
        if (settings_.progress) settings_.progress(done_, conditions_);
        return PerformanceBenchmark::statistics(std::move(times));
    }

    const CancellationToken& cancellation() const { return cancellation_; }

private:
    CancellationToken cancellation_;
    PerformanceBenchmarkSettings settings_;
    std::vector<PixelBuffer> sources_;
    int conditions_ = 0;
    int done_ = 0;
};

bool isCoreMLFormat(const std::filesystem::path& url) {
    try {
        return detect(url) == ModelFormat::coreML;
    } catch (const std::exception&) {
        return false; // the engine's construction reports what is wrong with it
    }
}

} // namespace

PerformanceBenchmarkReport
PerformanceBenchmark::run(const std::map<PerformanceBenchmarkModel, std::filesystem::path>& modelURLs,
                          const CancellationToken& cancellation,
                          const PerformanceBenchmarkSettings& settings) {
    Run run(cancellation, settings, 8);
    PerformanceBenchmarkReport report;
    for (const auto model : {PerformanceBenchmarkModel::fast, PerformanceBenchmarkModel::quality}) {
        cancellation.throwIfCancelled();
        const auto url = modelURLs.find(model);
        if (url == modelURLs.end()) throw BenchmarkError::missingModel(model);
        for (const auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four}) {
            const auto engine = run.engine(url->second, scale);
            for (const auto profile : profiles) {
                const auto statistics = run.measure(*engine, profile);
                report.measurements.push_back({model, profile, scale, statistics.medianMS, statistics.p95MS,
                                               statistics.sustainedFPS, statistics.recommendedFPS});
            }
        }
    }
    return report;
}

ModelBenchmarkReport PerformanceBenchmark::run(const std::filesystem::path& modelURL,
                                               const std::vector<PerformanceBenchmarkScale>& supportedScales,
                                               const CancellationToken& cancellation,
                                               const PerformanceBenchmarkSettings& settings) {
    if (isCoreMLFormat(modelURL)) throw BenchmarkError::unsupportedModelFormat();
    Run run(cancellation, settings, int(supportedScales.size() * profiles.size()));
    ModelBenchmarkReport report;
    for (const auto scale : supportedScales) {
        cancellation.throwIfCancelled();
        const auto engine = run.engine(modelURL, scale);
        for (const auto profile : profiles) {
            const auto statistics = run.measure(*engine, profile);
            report.measurements.push_back(
                {profile, scale, statistics.p95MS, statistics.sustainedFPS, statistics.recommendedFPS});
        }
    }
    return report;
}

double PerformanceBenchmark::percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const double count = double(sorted.size());
    const double rank = std::clamp(std::ceil(fraction * count), 1.0, count);
    return sorted[std::size_t(rank) - 1];
}

std::optional<std::int64_t> PerformanceBenchmark::recommendedFPS(double sustainedFPS) {
    for (const std::int64_t candidate : {120, 60, 30, 24}) {
        if (0.9 * sustainedFPS >= double(candidate)) return candidate;
    }
    return std::nullopt;
}

PerformanceBenchmarkStatistics PerformanceBenchmark::statistics(std::vector<double> timesMS) {
    std::sort(timesMS.begin(), timesMS.end());
    PerformanceBenchmarkStatistics result;
    result.medianMS = percentile(timesMS, 0.5);
    result.p95MS = percentile(timesMS, 0.95);
    result.sustainedFPS = result.p95MS > 0 ? 1000 / result.p95MS : 0;
    result.recommendedFPS = recommendedFPS(result.sustainedFPS);
    return result;
}

PixelBuffer PerformanceBenchmark::makeSourceBuffer(std::size_t width, std::size_t height) {
    PixelBuffer buffer;
    try {
        buffer = PixelBuffer::create(width, height, LV_PIXEL_FORMAT_32BGRA);
    } catch (const PlatformError&) {
        throw BenchmarkError::sourceBuffer();
    }
    if (lv_pixel_buffer_lock(buffer.get(), 0) != LV_PIXEL_BUFFER_SUCCESS)
        throw BenchmarkError::sourceBuffer();
    auto* base = static_cast<std::uint8_t*>(buffer.baseAddress());
    if (!base) {
        lv_pixel_buffer_unlock(buffer.get(), 0);
        throw BenchmarkError::sourceBuffer();
    }
    const std::size_t stride = buffer.bytesPerRow();
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* pixel = base + y * stride;
        for (std::size_t x = 0; x < width; ++x, pixel += 4) {
            pixel[0] = std::uint8_t((3 * x + y) % 256);
            pixel[1] = std::uint8_t((x + 2 * y) % 256);
            pixel[2] = std::uint8_t((x ^ y) % 256);
            pixel[3] = 255;
        }
    }
    lv_pixel_buffer_unlock(buffer.get(), 0);
    return buffer;
}

} // namespace lumavane
