#include "Platform/System/MachineFacts.hpp"

#include <gtest/gtest.h>

namespace lumavane {
namespace {

using namespace machine_facts;

TEST(MachineFacts, ReadsTheCpuModelFromCpuinfo) {
    struct Case {
        const char* text;
        std::optional<std::string> model;
    };
    const Case cases[] = {
        {"processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7 CPU @ 3.0GHz\n"
         "processor\t: 1\nmodel name\t: other\n",
         "Intel(R) Core(TM) i7 CPU @ 3.0GHz"},
        {"processor\t: 0\nBogoMIPS\t: 48.00\n\nHardware\t: BCM2835\n", "BCM2835"},
        {"model name\t:\nProcessor\t: ARMv7 rev 4\n", "ARMv7 rev 4"},
        {"processor\t: 0\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(cpuModelFromCpuinfo(c.text), c.model) << c.text;
}

TEST(MachineFacts, ReadsMemTotalInBytes) {
    EXPECT_EQ(memoryFromMeminfo("MemTotal:       16318448 kB\nMemFree: 1 kB\n"), 16318448ull * 1024);
    EXPECT_EQ(memoryFromMeminfo("MemFree:  1 kB\n"), std::nullopt);
    EXPECT_EQ(memoryFromMeminfo("MemTotal: lots\n"), std::nullopt);
}

TEST(MachineFacts, ReadsTheSystemNameFromOsRelease) {
    EXPECT_EQ(operatingSystemFromOsRelease(
                  "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(operatingSystemFromOsRelease("NAME=Fedora\nVERSION=39\n"), "Fedora");
    EXPECT_EQ(operatingSystemFromOsRelease("PRETTY_NAME='Arch Linux'\n"), "Arch Linux");
    EXPECT_EQ(operatingSystemFromOsRelease("PRETTY_NAME=\"Say \\\"hi\\\"\"\n"), "Say \"hi\"");
    EXPECT_EQ(operatingSystemFromOsRelease("PRETTY_NAME=\"\"\nNAME=Alpine\n"), "Alpine");
    EXPECT_EQ(operatingSystemFromOsRelease("ID=debian\n"), std::nullopt);
}

TEST(MachineFacts, ThisMachineHasAKernelAndMemory) {
    const MachineFacts facts;
    ASSERT_TRUE(facts.kernelVersion());
    EXPECT_EQ(facts.kernelVersion()->rfind("Linux ", 0), 0u);
    ASSERT_TRUE(facts.physicalMemoryBytes());
    EXPECT_GT(*facts.physicalMemoryBytes(), 0u);
}

} // namespace
} // namespace lumavane
