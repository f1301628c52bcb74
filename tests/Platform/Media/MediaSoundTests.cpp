// The sound the platform player plays, as a listener gets it: a private PulseAudio server with a
// null sink takes the player's sound, parec records the sink's monitor, and numpy finds the
// recorded tone's frequency. Its own process: the player picks its audio sink once per process.
#include "MediaClips.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "Platform/Media/GStreamerPlayer.hpp"
#include "support/Ffprobe.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace lumavane::media {
namespace {

// Starts `arguments` with its standard output into `output` (or discarded); -1 when it cannot start.
pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& output = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

constexpr int sampleRate = 48000;

class MediaSoundTests : public ::testing::Test {
protected:
    // Before anything of GStreamer: its PulseAudio sink looks for the server when it first starts.
    static void SetUpTestSuite() {
        folder_ = new test::TemporaryDirectory;
        const std::string socket = (folder_->path() / "native").string();
        setenv("XDG_RUNTIME_DIR", folder_->path().c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        setenv("PULSE_COOKIE", (folder_->path() / "cookie").c_str(), 1);
        server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                         "--use-pid-file=no", "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                         "-L", "module-null-sink sink_name=recorder rate=48000 channels=1"});
        serverUp_ = server_ > 0 && waitFor([] { return std::system("pactl info >/dev/null 2>&1") == 0; }, 30);
    }
    static void TearDownTestSuite() {
        stop(server_);
        delete folder_;
        folder_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(serverUp_) << "no PulseAudio server (pulseaudio and pulseaudio-utils are in scripts/install-deps)";
    }

    // Plays `path` to its end at `rate` while parec records the sink; the recording's file.
    std::filesystem::path playAndRecord(const std::filesystem::path& path, double rate) {
        const std::filesystem::path recording = folder_->path() / ("rate-" + std::to_string(rate) + ".raw");
        pid_t recorder = spawn({"parec", "--device=recorder.monitor", "--raw", "--format=s16le",
                                "--rate=" + std::to_string(sampleRate), "--channels=1", "--latency-msec=20"},
                               recording);
        EXPECT_GT(recorder, 0);
        ManualRunLoop loop;
        auto player = makeGStreamerPlayer(loop);
        auto item = player->makeItem(path);
        bool ended = false;
        item->onPlayedToEnd = [&] { ended = true; };
        player->replaceCurrentItem(item);
        player->playImmediately(rate);
        EXPECT_TRUE(waitFor(
            [&] {
                loop.runUntilIdle();
                return ended;
            },
            60));
        // The monitor hands over what was played a little later: its last part is awaited as well.
        const auto played = std::filesystem::file_size(recording);
        waitFor([&] { return std::filesystem::file_size(recording) >= played + sampleRate * 2 / 5; }, 5);
        player->replaceCurrentItem(nullptr);
        stop(recorder);
        return recording;
    }

    // numpy's reading of the recording: the tone's dominant frequency and how long it sounds. The
    // system's interpreter, which python3-numpy serves.
    static std::pair<double, double> analyse(const std::filesystem::path& recording) {
        const std::vector<std::string> lines = test::commandLines(std::string("/usr/bin/python3 '") + LUMAVANE_TONE_SCRIPT + "' '" +
                                                                  recording.string() + "' " + std::to_string(sampleRate));
        double frequency = NAN, seconds = NAN;
        if (lines.size() == 1) std::sscanf(lines[0].c_str(), "%lf %lf", &frequency, &seconds);
        return {frequency, seconds};
    }

    static inline test::TemporaryDirectory* folder_ = nullptr;
    static inline pid_t server_ = -1;
    static inline bool serverUp_ = false;
};

// Another rate stretches the sound in time and keeps its pitch.
TEST_F(MediaSoundTests, AnotherRateKeepsThePitch) {
    const std::filesystem::path path = clip("tone_440.mp4");
    const double length = test::ffprobeDuration(path.string());
    for (const double rate : {0.5, 1.5, 2.0}) {
        SCOPED_TRACE(rate);
        const auto [frequency, seconds] = analyse(playAndRecord(path, rate));
        std::printf("rate %.1f: %.1f Hz for %.2f s\n", rate, frequency, seconds);
        EXPECT_NEAR(frequency, 440, 4.4);
        // It did play at that rate, not at 1: the tone sounded for about the length over the rate
        // (less the fades of its ends).
        EXPECT_GT(seconds, length / rate * 0.65);
        EXPECT_LT(seconds, length / rate * 1.3);
    }
}

} // namespace
} // namespace lumavane::media
