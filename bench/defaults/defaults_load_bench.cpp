// Time and peak resident memory of opening a defaults file and reading every key, each file in a
// child process of its own. Files: the largest the player itself writes (a full history, many
// benchmark reports, window frames, settings), one of small objects just under the value limit,
// and the hostile shapes that used to cost gigabytes (millions of small objects, 542k keys, one
// array of 3.9 million strings), and 3.9 million items held as data the way the player keeps its
// history. Each record stored as data is then read as the player reads it: its JSON parsed when it
// holds no more values than a file may. Printed: the store's time, the records' time, the CPU time
// and peak memory of both.
// Usage: defaults_load_bench [scratch folder]   (built with -DLUMAVANE_BENCH=ON)
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using lumavane::DefaultsStore;
using lumavane::DefaultsValue;

namespace {

DefaultsValue::Data bytesOf(const std::string& text) { return DefaultsValue::Data(text.begin(), text.end()); }

// What a long-used player holds: written through the store itself, so the format is its own.
void writeRealistic(const fs::path& file) {
    DefaultsStore store(file);
    std::string history = "[";
    for (int i = 0; i < 50; ++i) {
        history += (i ? "," : "") + std::string("{\"url\":\"file:///home/someone/Videos/") + std::string(180, 'v') +
                   std::to_string(i) + ".mkv\",\"position\":1234.5,\"duration\":5400.25,\"lastPlayed\":786000000.5,"
                   "\"audioTrackID\":1,\"subtitleTrackID\":2}";
    }
    store.set("player.history", bytesOf(history + "]"));
    std::string reports = "{";
    for (int i = 0; i < 500; ++i) {
        reports += (i ? "," : "") + std::string("\"machine|com.example.series") + std::to_string(i) +
                   "|1.0.0|variant\":{\"measuredAt\":786000000.5,\"measurements\":[";
        for (int m = 0; m < 4; ++m)
            reports += (m ? "," : "") + std::string("{\"profile\":\"fullHD1080\",\"scale\":\"four\",\"p95MS\":41.25,"
                                                    "\"sustainedFPS\":24.5,\"recommendedFPS\":24}");
        reports += "]}";
    }
    store.set("player.modelBenchmarks", bytesOf(reports + "}"));
    store.set("player.defaultBenchmark", bytesOf(std::string(4000, 'b')));
    DefaultsValue::Dictionary autoModes;
    for (int i = 0; i < 3000; ++i) autoModes.emplace("v2|pocl-cpu|" + std::to_string(i) + "x1080|24|最適|display:15x8", "高速");
    store.set("player.autoModes.v2", autoModes);
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) paths.push_back("/home/someone/.local/share/Lumavane/ImportedModels/series-" +
                                                  std::to_string(i) + "/model-series.json");
    store.set("player.modelSeries", paths);
    store.set("player.recentModels", std::vector<std::string>(paths.begin(), paths.begin() + 20));
    DefaultsValue::Dictionary preferences;
    for (const char* key : {"mode", "split", "volume", "sharpenAmount", "debandAmount", "grainAmount", "gamma"})
        preferences.emplace(key, 0.5);
    store.set("player.preferences", preferences);
    for (int i = 0; i < 40; ++i) store.set("player.window." + std::to_string(i), "0 0 1240 780");
    store.set("LumavanePreferredLanguage", "ja");
    store.synchronize();
}

// `count` small objects under as many keys (keys) or in one array (one key).
void writeSmallObjects(const fs::path& file, std::size_t count, bool keys) {
    std::ofstream out(file, std::ios::binary);
    out << (keys ? "{" : "{\"a\":[");
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out << ',';
        if (keys) out << "\"k" << i << "\":{}";
        else out << "{\"x\":1}";
    }
    out << (keys ? "}" : "]}");
}

void measure(const char* label, const fs::path& file) {
    const auto bytes = fs::file_size(file);
    const pid_t child = fork();
    if (child == 0) {
        const auto start = std::chrono::steady_clock::now();
        DefaultsStore store(file);
        const std::size_t keys = store.keys().size();
        const auto loaded = std::chrono::steady_clock::now();
        std::size_t records = 0;
        for (const std::string& key : store.keys()) {
            const std::optional<DefaultsValue::Data> data = store.data(key);
            if (!data) continue;
            const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
            if (!DefaultsStore::withinValueLimit(text)) continue;
            try {
                lumavane::json_decoding::parse(text);
                ++records;
            } catch (const std::exception&) {}
        }
        const auto end = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(loaded - start).count();
        const double recordSeconds = std::chrono::duration<double>(end - loaded).count();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        // CPU time too: on a busy machine the elapsed times mostly measure waiting.
        const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        std::printf("%-31s %6.2f MB  %6zu keys  %6.3f s  %zu records parsed  %6.3f s  CPU %6.3f s  peak RSS %6.1f MB\n",
                    label, bytes / 1048576.0, keys, seconds, records, recordSeconds, cpu, usage.ru_maxrss / 1024.0);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace

int main(int argc, char** argv) {
    const fs::path root = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "lumavane-defaults-bench";
    fs::remove_all(root);
    fs::create_directories(root);
    writeRealistic(root / "written.json");
    // A copy: the store that wrote the file may still be alive here, with its values in memory.
    fs::copy_file(root / "written.json", root / "realistic.json");
    measure("largest the player writes", root / "realistic.json");
    writeSmallObjects(root / "under.json", 49000, false); // two values each
    measure("49k small objects (under limit)", root / "under.json");
    writeSmallObjects(root / "objects.json", 3300000, false);
    measure("3.3M small objects", root / "objects.json");
    writeSmallObjects(root / "keys.json", 542000, true);
    measure("542k keys", root / "keys.json");
    {
        std::ofstream out(root / "items.json", std::ios::binary);
        out << "{\"player.language\": \"en\", \"player.history\": [\"a\"";
        for (int i = 1; i < 3900000; ++i) out << ",\"a\"";
        out << "]}";
    }
    measure("3.9M-string array", root / "items.json");
    {
        std::string items = "[{}";
        for (int i = 1; i < 3900000; ++i) items += ",{}";
        DefaultsStore store(root / "written-data.json");
        store.set("player.history", bytesOf(items + "]"));
        store.synchronize();
    }
    fs::copy_file(root / "written-data.json", root / "data.json");
    measure("3.9M-item array as data", root / "data.json");
    fs::remove_all(root);
}
