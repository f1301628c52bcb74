// ffprobe, the oracle for media times: what it prints about a file.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumavane::test {

/* Lines that a command prints on its standard output. */
inline std::vector<std::string> commandLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return lines;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ','))
            text.pop_back();
        if (!text.empty()) lines.push_back(text);
    }
    pclose(pipe);
    return lines;
}

/* ffprobe's view of a file: its start time and the times of its video frames, in order, counted
 * from that start. */
struct ProbedVideo {
    double start = 0;
    std::vector<double> frameTimes;
};

inline ProbedVideo ffprobeVideo(const std::string& path) {
    ProbedVideo probed;
    const std::vector<std::string> start =
        commandLines("ffprobe -v error -show_entries format=start_time -of csv=p=0 '" + path + "'");
    EXPECT_EQ(start.size(), 1u) << path;
    if (!start.empty()) probed.start = std::strtod(start[0].c_str(), nullptr);
    for (const std::string& time : commandLines("ffprobe -v error -select_streams v:0 -show_entries "
                                                "frame=best_effort_timestamp_time -of csv=p=0 '" +
                                                path + "'"))
        probed.frameTimes.push_back(std::strtod(time.c_str(), nullptr) - probed.start);
    return probed;
}

/* ffprobe's length of a file (its format duration), NaN when it states none. */
inline double ffprobeDuration(const std::string& path) {
    const std::vector<std::string> lines =
        commandLines("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'");
    return lines.size() == 1 ? std::strtod(lines[0].c_str(), nullptr) : NAN;
}

} // namespace lumavane::test
