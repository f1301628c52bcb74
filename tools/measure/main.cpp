// lumavane-measure: runs one of the measuring engines on a model folder and prints its figures.
//
//   lumavane-measure span <folder> [--runs N] [--half-accumulator] [--reduced-precision]
//   lumavane-measure realcugan <folder> --layer NAME --width W --height H [--runs N]
//                    [--half-accumulator] [--reduced-precision] [--disable-internal-tiling]
//   lumavane-measure strip <folder> [--rows N] [--runs N]
//
// Every engine run is one command buffer; the first run (which includes the device's first touch
// of the memory) is shown apart from the statistics of the following ones.

#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/RealCUGANConvBenchmark.hpp"
#include "CompactMetal/SPANMetalEngine.hpp"
#include "CompactMetal/StripMetalEngine.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace lumavane;

struct Arguments {
    std::string command;
    std::string folder;
    std::map<std::string, std::string> values; // --name value
    std::set<std::string> flags;               // --name
};

const std::set<std::string> valueOptions{"--runs", "--layer", "--width", "--height", "--rows"};
const std::set<std::string> flagOptions{"--half-accumulator", "--reduced-precision",
                                        "--disable-internal-tiling"};

void usage() {
    std::fprintf(
        stderr,
        "usage: lumavane-measure span <folder> [--runs N] [--half-accumulator] [--reduced-precision]\n"
        "       lumavane-measure realcugan <folder> --layer NAME --width W --height H [--runs N]\n"
        "                        [--half-accumulator] [--reduced-precision] [--disable-internal-tiling]\n"
        "       lumavane-measure strip <folder> [--rows N] [--runs N]\n");
}

std::optional<Arguments> parse(int argc, char** argv) {
    if (argc < 3) return std::nullopt;
    Arguments arguments{argv[1], argv[2], {}, {}};
    for (int i = 3; i < argc; ++i) {
        const std::string name = argv[i];
        if (flagOptions.count(name)) {
            arguments.flags.insert(name);
        } else if (valueOptions.count(name) && i + 1 < argc) {
            arguments.values[name] = argv[++i];
        } else {
            std::fprintf(stderr, "unknown or incomplete option %s\n", name.c_str());
            return std::nullopt;
        }
    }
    return arguments;
}

int integer(const Arguments& arguments, const std::string& name, std::optional<int> fallback) {
    const auto found = arguments.values.find(name);
    if (found == arguments.values.end()) {
        if (fallback) return *fallback;
        throw std::invalid_argument(name + " is required");
    }
    std::size_t used = 0;
    const int value = std::stoi(found->second, &used);
    if (used != found->second.size()) throw std::invalid_argument(name + " takes an integer");
    return value;
}

struct Figures {
    double first = 0, minimum = 0, median = 0, mean = 0;
};

// The first run apart, then `runs` more.
Figures measure(int runs, const std::function<double()>& run) {
    Figures figures;
    figures.first = run();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(run());
    if (times.empty()) times.push_back(figures.first);
    std::sort(times.begin(), times.end());
    figures.minimum = times.front();
    figures.median = times.size() % 2 ? times[times.size() / 2]
                                      : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    figures.mean = std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size());
    return figures;
}

void print(const char* what, const Figures& f, double flop = 0) {
    std::printf("%-28s first %9.3f ms   min %9.3f   median %9.3f   mean %9.3f ms", what, f.first, f.minimum,
                f.median, f.mean);
    if (flop > 0) std::printf("   %7.1f GFLOP/s at the median", flop / (f.median * 1e-3) / 1e9);
    std::printf("\n");
}

int span(const Arguments& arguments) {
    SPANMetalEngine engine(arguments.folder, arguments.flags.count("--half-accumulator") > 0,
                           arguments.flags.count("--reduced-precision") > 0);
    const SPANManifest& m = engine.manifest();
    std::printf("SPAN %s, %lld x %lld -> %lld x %lld, device %s\n", m.variant.c_str(),
                static_cast<long long>(m.width), static_cast<long long>(m.height),
                static_cast<long long>(2 * m.width), static_cast<long long>(2 * m.height),
                engine.device()->name().c_str());
    // Multiply-adds of the graph's convolutions, counted from the manifest.
    double flop = 0;
    for (const SPANLayer& layer : m.layers)
        flop += 2.0 * static_cast<double>(layer.input * layer.output * layer.kernel * layer.kernel);
    flop *= static_cast<double>(m.width * m.height);
    print("whole graph", measure(integer(arguments, "--runs", 10), [&] { return engine.run(); }), flop);
    std::printf("device memory allocated      %.1f MiB\n",
                static_cast<double>(engine.allocatedGPUBytes()) / 1048576.0);
    return 0;
}

int realcugan(const Arguments& arguments) {
    RealCUGANConvBenchmark::Options options;
    options.folder = arguments.folder;
    const auto layer = arguments.values.find("--layer");
    if (layer == arguments.values.end()) throw std::invalid_argument("--layer is required");
    options.layerName = layer->second;
    options.width = integer(arguments, "--width", std::nullopt);
    options.height = integer(arguments, "--height", std::nullopt);
    options.halfAccumulator = arguments.flags.count("--half-accumulator") > 0;
    options.reducedPrecision = arguments.flags.count("--reduced-precision") > 0;
    options.disableInternalTiling = arguments.flags.count("--disable-internal-tiling") > 0;
    RealCUGANConvBenchmark probe(options);
    const int runs = integer(arguments, "--runs", 10);
    std::printf("Real-CUGAN %s, %d x %d input, checkpoint %s, device %s\n", options.layerName.c_str(),
                options.width, options.height, probe.checkpointSHA256().c_str(),
                probe.device()->name().c_str());
    // Direct-convolution multiply-adds of a 64-to-64 3x3 valid layer, for all three runs alike.
    const double single = 2.0 * 9 * 64 * 64 * (options.width - 2) * (options.height - 2);
    const double second = 2.0 * 9 * 64 * 64 * (options.width - 4) * (options.height - 4);
    print("platform convolution", measure(runs, [&] { return probe.runMPS(); }), single);
    print("Winograd kernel", measure(runs, [&] { return probe.runCustom(); }), single);
    print("platform pair", measure(runs, [&] { return probe.runMPSPair(); }), single + second);
    const RealCUGANConvBenchmark::Comparison comparison = probe.compareOutputs();
    std::printf("platform vs Winograd         mae %.6g   maximum %.6g\n", comparison.mae, comparison.maximum);
    return 0;
}

// A Compact folder's frame (its input.rgba, or black) in strips of --rows rows beside the whole
// frame in one pass (the base engine's own benchmark run), and how far their outputs differ.
int strip(const Arguments& arguments) {
    CompactMetalEngineOptions options;
    options.folder = arguments.folder;
    options.benchmarkBuffers = true;
    auto base = std::make_shared<CompactMetalEngine>(options);
    const Manifest& m = base->manifest();
    const int rows = integer(arguments, "--rows", static_cast<int>(std::min<std::int64_t>(256, m.height)));
    StripMetalEngine strips(arguments.folder, base, rows);
    std::printf("Compact %lld layers, %lld x %lld -> %lld x %lld, device %s\n",
                static_cast<long long>(m.layers.size()), static_cast<long long>(m.width),
                static_cast<long long>(m.height), static_cast<long long>(m.width * m.scale),
                static_cast<long long>(m.height * m.scale), base->device()->name().c_str());
    std::int64_t fed = 0;
    std::string heights;
    for (const auto& tile : strips.tiles()) fed += tile.height;
    for (const auto& [height, slot] : strips.slots()) heights += " " + std::to_string(height);
    std::printf("%zu strips of %d rows, %lld rows fed (%.1f%% halo), engines for heights%s\n",
                strips.tiles().size(), rows, static_cast<long long>(fed),
                100.0 * static_cast<double>(fed - m.height) / static_cast<double>(m.height), heights.c_str());
    // Multiply-adds of the frame's convolutions, counted once: the halo rows are overhead.
    double flop = 0;
    for (const Layer& layer : m.layers) flop += 2.0 * 9.0 * static_cast<double>(layer.input * layer.output);
    flop *= static_cast<double>(m.width * m.height);
    const int runs = integer(arguments, "--runs", 10);

    const std::size_t length = base->output()->length();
    print("strips", measure(runs, [&] { return strips.run(); }), flop);
    std::vector<std::uint8_t> stitched(length);
    std::memcpy(stitched.data(), base->output()->contents(), length);
    print("whole frame", measure(runs, [&] { return base->run(std::nullopt); }), flop);
    const auto* whole = static_cast<const std::uint8_t*>(base->output()->contents());
    int difference = 0;
    for (std::size_t i = 0; i < length; ++i)
        difference = std::max(difference, std::abs(stitched[i] - whole[i]));
    std::printf("strips vs whole frame        maximum %d levels\n", difference);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Arguments> arguments = parse(argc, argv);
    if (!arguments) {
        usage();
        return 2;
    }
    try {
        if (arguments->command == "span") return span(*arguments);
        if (arguments->command == "realcugan") return realcugan(*arguments);
        if (arguments->command == "strip") return strip(*arguments);
        usage();
        return 2;
    } catch (const PlatformError& error) {
        std::fprintf(stderr, "error (%s %d): %s\n", error.domain().c_str(), error.code(),
                     error.localizedDescription().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
    }
    return 1;
}
