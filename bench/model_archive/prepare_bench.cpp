// Prepares the given model ZIP with the player's limits RUNS times (discarding the staging folder
// after each, untimed) and prints the seconds of each prepare, one a line.
#include "Lumavane/Models/ModelArchiveImporter.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE.zip [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;
    const lumavane::ModelArchiveImporter::Limits limits{536870912, 1073741824, 536870912, 4096, 200};
    try {
        for (int i = 0; i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const auto package = lumavane::ModelArchiveImporter::prepare(argv[1], limits);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            std::printf("%.4f\n", elapsed.count());
            std::fflush(stdout);
            lumavane::ModelArchiveImporter::discard(package.stagingRoot);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "prepare failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
