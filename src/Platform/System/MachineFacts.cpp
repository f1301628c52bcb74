#include "Platform/System/MachineFacts.hpp"

#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Gpu/Device.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <exception>
#include <filesystem>
#include <vector>

namespace lumavane {

namespace {

constexpr std::uint64_t maximumFactFileBytes = 4 << 20;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Calls visit(key, value) for each "key<separator>value" line until it returns true.
template <typename Visit> void eachLine(std::string_view text, char separator, Visit visit) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto split = line.find(separator);
        if (split == std::string_view::npos) continue;
        if (visit(trimmed(line.substr(0, split)), trimmed(line.substr(split + 1)))) return;
    }
}

std::optional<std::string> readText(const std::filesystem::path& path) {
    try {
        return files::readWholeText(path, maximumFactFileBytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// os-release values are shell words: optionally quoted, with backslash escapes inside quotes.
std::string unquoted(std::string_view value) {
    if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
        value.back() != value.front()) {
        return std::string(value);
    }
    const char quote = value.front();
    value = value.substr(1, value.size() - 2);
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) ++i;
        result += value[i];
    }
    return result;
}

} // namespace

namespace machine_facts {

std::optional<std::string> cpuModelFromCpuinfo(std::string_view cpuinfo) {
    std::optional<std::string> found;
    for (const std::string_view wanted : {"model name", "Hardware", "Processor"}) {
        eachLine(cpuinfo, ':', [&](std::string_view key, std::string_view value) {
            if (key != wanted || value.empty()) return false;
            found = std::string(value);
            return true;
        });
        if (found) return found;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> memoryFromMeminfo(std::string_view meminfo) {
    std::optional<std::uint64_t> bytes;
    eachLine(meminfo, ':', [&](std::string_view key, std::string_view value) {
        if (key != "MemTotal") return false;
        std::uint64_t kibibytes = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), kibibytes);
        if (error == std::errc() &&
            trimmed(std::string_view(end, value.data() + value.size() - end)) == "kB") {
            bytes = kibibytes * 1024;
        }
        return true;
    });
    return bytes;
}

std::optional<std::string> operatingSystemFromOsRelease(std::string_view osRelease) {
    for (const std::string_view wanted : {"PRETTY_NAME", "NAME"}) {
        std::optional<std::string> found;
        eachLine(osRelease, '=', [&](std::string_view key, std::string_view value) {
            if (key != wanted) return false;
            std::string text = unquoted(value);
            if (!text.empty()) found = std::move(text);
            return true;
        });
        if (found) return found;
    }
    return std::nullopt;
}

} // namespace machine_facts

std::optional<std::string> MachineFacts::cpuModel() const {
    static const std::optional<std::string> model = []() -> std::optional<std::string> {
        const auto text = readText("/proc/cpuinfo");
        return text ? machine_facts::cpuModelFromCpuinfo(*text) : std::nullopt;
    }();
    return model;
}

std::optional<std::uint64_t> MachineFacts::physicalMemoryBytes() const {
    static const std::optional<std::uint64_t> bytes = []() -> std::optional<std::uint64_t> {
        if (const auto text = readText("/proc/meminfo")) {
            if (auto found = machine_facts::memoryFromMeminfo(*text)) return found;
        }
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGESIZE);
        if (pages > 0 && pageSize > 0) return std::uint64_t(pages) * std::uint64_t(pageSize);
        return std::nullopt;
    }();
    return bytes;
}

std::optional<std::string> MachineFacts::kernelVersion() const {
    utsname names{};
    if (uname(&names) != 0) return std::nullopt;
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

std::optional<std::string> MachineFacts::operatingSystemName() const {
    static const std::optional<std::string> name = []() -> std::optional<std::string> {
        for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
            if (const auto text = readText(path)) return machine_facts::operatingSystemFromOsRelease(*text);
        }
        return std::nullopt;
    }();
    return name;
}

std::string hardwareModelIdentifier(std::string_view name) {
    const auto firstLine = [](const char* path) -> std::string {
        const auto text = readText(path);
        if (!text) return {};
        // Device-tree strings end with a NUL.
        return std::string(
            trimmed(std::string_view(*text).substr(0, text->find_first_of(std::string_view("\n\0", 2)))));
    };
    std::string value;
    if (name == "hw.model") {
        const std::string vendor = firstLine("/sys/class/dmi/id/sys_vendor");
        const std::string product = firstLine("/sys/class/dmi/id/product_name");
        value = vendor.empty() || product.empty() ? vendor + product : vendor + " " + product;
        if (value.empty()) value = firstLine("/proc/device-tree/model");
    } else if (name == "kern.osversion") {
        utsname names{};
        if (uname(&names) == 0) {
            value = MachineFacts().operatingSystemName().value_or("Linux") + " " + names.release + " " +
                    names.version;
        }
    }
    return value.empty() ? "unavailable" : value;
}

std::optional<std::string> MachineFacts::gpuDeviceName() const {
    try {
        if (const auto device = gpu::Device::systemDefault()) return device->name();
    } catch (const std::exception&) {}
    return std::nullopt;
}

} // namespace lumavane
