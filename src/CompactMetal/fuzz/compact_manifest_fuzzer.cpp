// libFuzzer target: the input is a compact model's "manifest.json". Decoding fails only with a
// decoding error (never deeper than the nesting bound), the checks only with the module's own
// errors, and a manifest that passes them stays within the sizes the engine allocates for.
#include "CompactMetal/CompactModel.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace lumavane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    try {
        manifest = Manifest::decode(text);
    } catch (const JSONDecodingError&) {
        return 0;
    }
    if (json_decoding::nestingDepth(text) > json_decoding::maximumDepth) std::abort();
    try {
        validateGraph(manifest);
        validateRectangularConfiguration(manifest);
    } catch (const PlatformError&) {
        return 0;
    }
    if (manifest.width < 16 || manifest.width > 2048 || manifest.height < 16 || manifest.height > 2048 ||
        manifest.layers.empty() || manifest.layers.size() > 64 || manifest.layers.front().input != 3)
        std::abort();
    return 0;
}
