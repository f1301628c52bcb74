// libFuzzer target: the input is a JSON document for json_decoding::parse and then a defaults
// file. A document the reader accepts is within the nesting bound and survives a round trip;
// the only failure is a decoding error. The defaults store reads any file without crashing and
// what it writes back reads again with the same keys.
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace lumavane;

namespace {

const fs::path& scratch() {
    static const fs::path folder = [] {
        fs::path path = fs::temp_directory_path() / ("lumavane-json-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

void checkReader(std::string_view text) {
    nlohmann::json value;
    try {
        value = json_decoding::parse(text);
    } catch (const JSONDecodingError&) {
        return;
    }
    if (json_decoding::nestingDepth(text) > json_decoding::maximumDepth) std::abort();
    const std::string again = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (json_decoding::nestingDepth(again) > json_decoding::maximumDepth) std::abort();
    json_decoding::parse(again); // throws (and so fails) if our own output were refused
}

void checkDefaults(std::string_view text) {
    // A file of its own each time: a store's queued write keeps its values alive for a while.
    static unsigned run = 0;
    const std::string name = std::to_string(++run);
    const fs::path file = scratch() / (name + ".json");
    std::ofstream(file, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
    std::vector<std::string> keys;
    {
        DefaultsStore store(file);
        keys = store.keys();
        store.set("fuzz", true);
        store.synchronize();
        keys.push_back("fuzz");
    }
    {
        const fs::path copy = scratch() / (name + "-copy.json");
        fs::copy_file(file, copy);
        std::vector<std::string> reread = DefaultsStore(copy).keys();
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        if (reread != keys) std::abort();
    }
    for (const auto& entry : fs::directory_iterator(scratch())) fs::remove(entry.path());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkReader(text);
    checkDefaults(text);
    return 0;
}
