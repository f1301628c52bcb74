// Runs the standard suite on the shipped models and prints the text report, then the JSON the
// player stores. Progress goes to stderr.
#include "Lumavane/Benchmarks/DiagnosticsInformation.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/System/MachineFacts.hpp"

#include <exception>
#include <iostream>

int main() {
    using namespace lumavane;
    try {
        const auto models = resourcesDirectory() / "Models";
        PerformanceBenchmarkSettings settings;
        settings.progress = [](int done, int total) {
            std::cerr << "condition " << done << "/" << total << "\n";
        };
        const auto report =
            PerformanceBenchmark::run({{PerformanceBenchmarkModel::fast, models / "Lumavane-Fast-4x"},
                                       {PerformanceBenchmarkModel::quality, models / "Lumavane-Quality-4x"}},
                                      {}, settings);
        const MachineFacts machine;
        DiagnosticsFacts facts;
        facts.operatingSystem = diagnosticsOperatingSystem(machine);
        facts.gpuDevice = machine.gpuDeviceName();
        facts.hardwareModel = hardwareModelIdentifier();
        facts.physicalMemory = machine.physicalMemoryBytes().value_or(0);
        std::cout << report.text("bench", diagnosticInformation(facts)) << "\n\n"
                  << toJSON(report).dump(2) << "\n";
    } catch (const std::exception& error) {
        std::cerr << "standard_suite_bench: " << error.what() << "\n";
        return 1;
    }
}
