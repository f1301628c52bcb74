#include "Platform/Media/MediaTimeline.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

namespace lumavane::media {

namespace {

// Packets read at most to find the first group of pictures.
constexpr int maximumPackets = 2000;
// Packets read at most from the last second's keyframe to the end.
constexpr int maximumTailPackets = 20000;
constexpr double tailSeconds = 1;

struct FormatCloser {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

double seconds(std::int64_t timestamp, AVRational timeBase) { return double(timestamp) * av_q2d(timeBase); }

// Where the media starts: the container's start, else the video's.
double startOf(const AVFormatContext& format, const AVStream* video) {
    if (format.start_time != AV_NOPTS_VALUE) return double(format.start_time) / AV_TIME_BASE;
    if (video && video->start_time != AV_NOPTS_VALUE) return seconds(video->start_time, video->time_base);
    return 0;
}

// A late start: MP4 and Matroska count the container's duration from timestamp 0, MPEG-TS from its
// start, so the length is taken from where the streams end.
double durationOf(const AVFormatContext& format, double start) {
    double end = -INFINITY;
    if (start != 0) {
        for (unsigned i = 0; i < format.nb_streams; ++i) {
            const AVStream* stream = format.streams[i];
            const AVMediaType type = stream->codecpar->codec_type;
            if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) ||
                (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) || stream->start_time == AV_NOPTS_VALUE ||
                stream->duration <= 0)
                continue;
            end = std::max(end, seconds(stream->start_time + stream->duration, stream->time_base));
        }
    }
    if (end > start) return end - start;
    if (format.duration > 0) return double(format.duration) / AV_TIME_BASE;
    return NAN;
}

// The earliest presentation time among the first group of pictures' frames that are shown (an edit
// list marks the frames before the file's start to be decoded but not shown).
std::optional<double> firstShownFrame(AVFormatContext& format, const AVStream& video) {
    const std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) return std::nullopt;
    bool inGroup = false;
    double earliest = INFINITY;
    for (int read = 0; read < maximumPackets && av_read_frame(&format, packet.get()) >= 0; ++read) {
        if (packet->stream_index == video.index) {
            const bool key = packet->flags & AV_PKT_FLAG_KEY;
            if (key && std::isfinite(earliest)) break; // the next group begins
            inGroup = inGroup || key;
            const std::int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (inGroup && !(packet->flags & AV_PKT_FLAG_DISCARD) && timestamp != AV_NOPTS_VALUE)
                earliest = std::min(earliest, seconds(timestamp, video.time_base));
        }
        av_packet_unref(packet.get());
    }
    if (std::isfinite(earliest)) return earliest;
    if (video.start_time != AV_NOPTS_VALUE) return seconds(video.start_time, video.time_base);
    return std::nullopt;
}

// The latest presentation time among the packets of the last second on. Not from the end itself:
// the last frame shown may come earlier in decoding order than the frames before it, and a transport
// stream's seek lands on any packet, not a keyframe.
std::optional<double> lastShownFrame(AVFormatContext& format, const AVStream& video, double start, double duration) {
    if (!std::isfinite(duration)) return std::nullopt;
    const double from = start + std::max(duration - tailSeconds, 0.0);
    if (av_seek_frame(&format, video.index, std::int64_t(from / av_q2d(video.time_base)), AVSEEK_FLAG_BACKWARD) < 0)
        return std::nullopt;
    const std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) return std::nullopt;
    double latest = -INFINITY;
    int read = 0;
    for (; read < maximumTailPackets && av_read_frame(&format, packet.get()) >= 0; ++read) {
        const std::int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (packet->stream_index == video.index && !(packet->flags & AV_PKT_FLAG_DISCARD) && timestamp != AV_NOPTS_VALUE)
            latest = std::max(latest, seconds(timestamp, video.time_base));
        av_packet_unref(packet.get());
    }
    if (read == maximumTailPackets || !std::isfinite(latest)) return std::nullopt; // the end was never reached
    return latest;
}

} // namespace

MediaTimeline probeMediaTimeline(const std::filesystem::path& path) {
    MediaTimeline timeline;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) return timeline;
    const std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return timeline;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* video = index >= 0 ? format->streams[index] : nullptr;
    const double start = startOf(*format, video);
    timeline.duration = durationOf(*format, start);
    // FFmpeg counts the timestamps before a wrap as negative, or those after it past the clock's range.
    if (video && video->pts_wrap_bits == 33) {
        const double range = seconds(std::int64_t(1) << 33, video->time_base);
        timeline.clockWraps =
            start < 0 || (std::isfinite(timeline.duration) && start + timeline.duration > range);
    }
    if (video) {
        if (const std::optional<double> first = firstShownFrame(*format, *video)) timeline.firstVideoFrame = *first - start;
        if (const std::optional<double> last = lastShownFrame(*format, *video, start, timeline.duration))
            timeline.lastVideoFrame = *last - start;
    }
    return timeline;
}

} // namespace lumavane::media
