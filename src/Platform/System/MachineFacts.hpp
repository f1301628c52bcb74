#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

// Facts about this machine for the diagnostics, the benchmarks and the automatic model choice.
class SystemFacts {
public:
    virtual ~SystemFacts() = default;
    virtual std::optional<std::string> cpuModel() const = 0;
    virtual std::optional<std::uint64_t> physicalMemoryBytes() const = 0;
    // uname: "Linux 6.1.0-18-amd64 x86_64".
    virtual std::optional<std::string> kernelVersion() const = 0;
    // The distribution's PRETTY_NAME (else NAME) from os-release.
    virtual std::optional<std::string> operatingSystemName() const = 0;
    // The default OpenCL device's name; nothing without a device.
    virtual std::optional<std::string> gpuDeviceName() const = 0;
};

// The facts of the machine this runs on, each read once on first use.
class MachineFacts final : public SystemFacts {
public:
    std::optional<std::string> cpuModel() const override;
    std::optional<std::uint64_t> physicalMemoryBytes() const override;
    std::optional<std::string> kernelVersion() const override;
    std::optional<std::string> operatingSystemName() const override;
    std::optional<std::string> gpuDeviceName() const override;
};

// The Linux facts that stand for the kernel's "hw.model" (the machine's model: DMI vendor and
// product name, else the device tree's model) and "kern.osversion" (the distribution with the
// kernel's release and build, which change with every system update); "unavailable" for any
// other name or when the fact is unknown.
std::string hardwareModelIdentifier(std::string_view name = "hw.model");

namespace machine_facts {
// The first "model name" of /proc/cpuinfo (ARM kernels: "Hardware", else "Processor").
std::optional<std::string> cpuModelFromCpuinfo(std::string_view cpuinfo);
// MemTotal of /proc/meminfo in bytes.
std::optional<std::uint64_t> memoryFromMeminfo(std::string_view meminfo);
// PRETTY_NAME, else NAME, of an os-release file, unquoted.
std::optional<std::string> operatingSystemFromOsRelease(std::string_view osRelease);
} // namespace machine_facts

} // namespace lumavane
