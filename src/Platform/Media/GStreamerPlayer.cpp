#include "Platform/Media/GStreamerPlayer.hpp"

#include "Platform/Foundation/LibraryCallback.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Media/GStreamerSupport.hpp"
#include "Platform/Media/MediaTimeline.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <pthread.h>

namespace lumavane::media {

void ensureGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::string fileURI(const std::filesystem::path& path) {
    ensureGStreamer();
    GError* error = nullptr;
    gchar* uri = gst_filename_to_uri(path.c_str(), &error);
    g_clear_error(&error);
    std::string text = uri ? uri : "file://" + std::filesystem::absolute(path).string();
    g_free(uri);
    return text;
}

namespace {

// playbin's flags: video, audio and its own volume; subtitles are never drawn into the pictures.
constexpr guint playFlags = 0x1 | 0x2 | 0x10;
// Frames handed over but not taken yet; more wait only when nobody takes them (no display).
constexpr std::size_t maximumQueuedFrames = 16;
// The appsink renders this much before a frame's time even without an enhancement lead: the
// display asks for the frame due at its next refresh, which lies ahead of the clock.
constexpr double fetchWindowSeconds = 0.05;
constexpr double maximumLeadSeconds = 0.5;
constexpr double lastFrameMargin = 5e-4;

// The desktop's audio sink, or a clocked silent one where no sound device answers.
GstElement* makeAudioSink() {
    static std::once_flag once;
    static bool haveAudioDevice = false;
    std::call_once(once, [] {
        if (GstElement* probe = gst_element_factory_make("autoaudiosink", nullptr)) {
            haveAudioDevice = gst_element_set_state(probe, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
            gst_element_set_state(probe, GST_STATE_NULL);
            gst_object_unref(probe);
        }
    });
    if (haveAudioDevice) return gst_element_factory_make("autoaudiosink", nullptr);
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", TRUE, nullptr);
    return sink;
}

class GstPlayerItem final : public PlayerItem, public std::enable_shared_from_this<GstPlayerItem> {
public:
    GstPlayerItem(std::filesystem::path path, MainExecutor& executor) : path_(std::move(path)), executor_(executor) {}

    ~GstPlayerItem() override { shutdown(); }

    const std::filesystem::path& path() const override { return path_; }
    ItemStatus status() const override { return status_; }
    std::optional<std::string> errorDescription() const override { return error_; }

    void selectAudioOption(std::size_t index) override {
        selectedAudio_ = index;
        if (!pipeline_ || status_ != ItemStatus::readyToPlay) return;
        if (seekInFlight_ || seekAfterReset_) audioAfterSeek_ = true;
        else applyAudioSelection();
    }
    std::optional<std::size_t> selectedAudioOption() const override { return selectedAudio_; }

    bool hasNewPixelBuffer(double itemTime) const override {
        std::lock_guard lock(framesMutex_);
        return !frames_.empty() && frames_.front().frame.itemTime <= itemTime;
    }

    std::optional<VideoFrame> copyPixelBuffer(double itemTime) override {
        std::lock_guard lock(framesMutex_);
        std::optional<VideoFrame> due;
        while (!frames_.empty() && frames_.front().frame.itemTime <= itemTime) due = takeFront();
        return due;
    }

    std::optional<VideoFrame> copyNextPixelBuffer(double itemTime) override {
        std::lock_guard lock(framesMutex_);
        if (frames_.empty() || frames_.front().frame.itemTime > itemTime) return std::nullopt;
        return takeFront();
    }

    // The appsink syncs each frame this much before its time (the sound is untouched), so that
    // frames are there to be taken ahead of the clock by the enhancement lead.
    void setVideoPresentationLeadTime(double seconds) {
        const double lead = std::isfinite(seconds) ? std::clamp(seconds, 0.0, maximumLeadSeconds) : 0.0;
        leadSeconds_ = lead;
        if (videoSink_)
            g_object_set(videoSink_, "ts-offset", -gint64((lead + fetchWindowSeconds) * GST_SECOND), nullptr);
    }

    // --- For the player, on the main thread.

    // Builds the pipeline and prerolls it; the status turns ready or failed later.
    void prepare(double volume) {
        if (pipeline_) return;
        pipeline_ = gst_element_factory_make("playbin", nullptr);
        GstElement* videoSink = gst_element_factory_make("appsink", nullptr);
        if (!pipeline_ || !videoSink) {
            if (videoSink) gst_object_unref(videoSink);
            fail("GStreamer's playbin or appsink is not installed.");
            return;
        }
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", nullptr);
        g_object_set(videoSink, "caps", caps, "sync", TRUE, "max-buffers", guint(2), nullptr);
        gst_caps_unref(caps);
        videoSink_ = videoSink; // owned by the pipeline from here on
        setVideoPresentationLeadTime(leadSeconds_);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = &GstPlayerItem::newSample;
        callbacks.new_preroll = &GstPlayerItem::newPreroll;
        gst_app_sink_set_callbacks(GST_APP_SINK(videoSink), &callbacks, this, nullptr);
        GstPad* sinkPad = gst_element_get_static_pad(videoSink, "sink");
        const auto events =
            GstPadProbeType(GST_PAD_PROBE_TYPE_EVENT_FLUSH | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM);
        gst_pad_add_probe(sinkPad, events, &GstPlayerItem::sinkEvent, this, nullptr);
        gst_object_unref(sinkPad);

        const std::string uri = fileURI(path_);
        g_object_set(pipeline_, "uri", uri.c_str(), "video-sink", videoSink, "audio-sink", makeAudioSink(),
                     "flags", playFlags, "volume", volume, nullptr);
        // At another rate the sink alone would resample the sound and shift its pitch; scaletempo
        // stretches it in time instead (and passes it through untouched at rate 1).
        if (GstElement* stretch = gst_element_factory_make("scaletempo", nullptr))
            g_object_set(pipeline_, "audio-filter", stretch, nullptr);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, &GstPlayerItem::busMessageEntry, this, nullptr);
        gst_object_unref(bus);
        if (gst_element_set_state(pipeline_, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
            // The bus carries the reason; it arrives as an error message.
        }
    }

    // Stops for good: no frame, status or end is reported afterwards.
    void shutdown() {
        finishSeek(false);
        cancelEndWait();
        if (!pipeline_) return;
        ++epoch_;
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
        videoSink_ = nullptr;
        std::lock_guard lock(framesMutex_);
        dropQueuedLocked();
        takenEnd_.reset();
        shownThrough_.reset();
        videoEnded_ = false;
    }

    void play(double rate) {
        wantedRate_ = rate;
        heldTime_.reset();
        if (!pipeline_ || status_ == ItemStatus::failed) return;
        if (seekAfterReset_) {
            seekAfterReset_->play = true; // once the seek has gone out
            return;
        }
        if (status_ == ItemStatus::readyToPlay && rate != appliedRate_) seekTo(currentTime(), rate, true);
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    }

    void pause() {
        if (seekAfterReset_) seekAfterReset_->play = false;
        if (pipeline_ && status_ != ItemStatus::failed) gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        // The stream has ended already; only the clock was still running to its end.
        if (endWait_) {
            cancelEndWait();
            if (onPlayedToEnd) onPlayedToEnd();
        }
    }

    void setVolume(double volume) {
        if (pipeline_) g_object_set(pipeline_, "volume", volume, nullptr);
    }

    // Media time, within the media's length: GStreamer's position runs on to the end of the last
    // frame or sound, which may lie past the length FFmpeg states.
    double currentTime() const {
        if (heldTime_) return lastTime_ = *heldTime_;
        gint64 position = 0;
        if (pipeline_ && gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) && position >= 0) {
            double time = double(position) / GST_SECOND - origin();
            if (const std::optional<double> clocked = clockedTime()) time = std::min(time, *clocked);
            double length = duration_.load();
            gint64 streamLength = 0;
            if (std::isnan(length) && gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &streamLength) &&
                streamLength > 0)
                length = double(streamLength) / GST_SECOND - origin();
            if (length > 0) time = std::min(time, length);
            lastTime_ = std::max(time, 0.0);
        }
        return lastTime_;
    }

    void seek(double seconds, std::function<void(bool)> completion) {
        finishSeek(false);
        seekCompletion_ = std::move(completion);
        const double target = std::isfinite(seconds) ? std::max(0.0, seconds) : 0.0;
        if (status_ == ItemStatus::readyToPlay) {
            seekInFlight_ = seekTo(target, appliedRate_);
            if (!seekInFlight_) finishSeek(false);
        } else if (status_ == ItemStatus::failed || !pipeline_) {
            finishSeek(false);
        } else {
            pendingSeek_ = target;
        }
    }

private:
    // A rate is set by a seek to where the item stands (`inPlace`): the frames it delivers again
    // up to the last one taken are not handed out twice.
    bool seekTo(double seconds, double rate, bool inPlace = false) {
        cancelEndWait();
        {
            std::lock_guard lock(framesMutex_);
            dropQueuedLocked();
            if (!inPlace) takenEnd_.reset();
            shownThrough_ = takenEnd_;
            awaitingFlush_ = true;
        }
        lastTime_ = seconds;
        // An exact seek past the last frame finds no frame to show: it goes just inside that frame
        // (clear of the rounding between FFmpeg's and GStreamer's clocks), and the position stays
        // where it was sent.
        heldTime_.reset();
        const double lastFrame = lastFrame_.load() + lastFrameMargin;
        if (seconds > lastFrame) {
            const double length = duration_.load();
            if (!inPlace) heldTime_ = std::isnan(length) ? seconds : std::min(seconds, length);
            seconds = lastFrame;
        }
        const double target = std::max(seconds + origin(), 0.0);
        if (clockWraps_ && !inPlace) {
            // GStreamer's transport stream demuxer, once it has read past the wrap of the 33-bit clock,
            // stamps what it reads again from before the wrap wrongly, and an accurate seek's search
            // for a key frame goes back there (often to the file's start): the frames at the target
            // never come, or others come in their place. A demuxer that has read nothing yet stamps
            // them right, so the pipeline is taken down to READY (a new demuxer) and the seek goes
            // out once it has prerolled again.
            const bool playing = GST_STATE_TARGET(pipeline_) == GST_STATE_PLAYING;
            ++epoch_; // what the old pipeline still posts is not this seek's
            if (gst_element_set_state(pipeline_, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE &&
                gst_element_set_state(pipeline_, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE) {
                {
                    // Nothing the new demuxer prerolls with (the file's first frame) is handed over.
                    std::lock_guard lock(framesMutex_);
                    dropQueuedLocked();
                    awaitingFlush_ = true;
                    videoEnded_ = false;
                }
                seekAfterReset_ = SeekAfterReset{target, rate, playing};
                appliedRate_ = rate;
                return true;
            }
        }
        if (!sendSeek(target, rate)) return false;
        appliedRate_ = rate;
        return true;
    }

    // Media time `target` on GStreamer's timeline (origin included).
    bool sendSeek(double target, double rate) {
        const auto flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
        const bool sent = gst_element_seek(pipeline_, rate, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                                           gint64(target * GST_SECOND), GST_SEEK_TYPE_NONE, -1);
        if (!sent) {
            std::lock_guard lock(framesMutex_);
            awaitingFlush_ = false;
        }
        return sent;
    }

    void finishSeek(bool finished) {
        seekInFlight_ = false;
        seekAfterReset_.reset();
        pendingSeek_.reset();
        if (auto completion = std::exchange(seekCompletion_, nullptr)) completion(finished);
    }

    void applyAudioSelection() {
        if (!selectedAudio_) return;
        gint streams = 0;
        g_object_get(pipeline_, "n-audio", &streams, nullptr);
        if (*selectedAudio_ < std::size_t(streams)) g_object_set(pipeline_, "current-audio", gint(*selectedAudio_), nullptr);
    }

    void fail(std::string message) {
        if (status_ == ItemStatus::failed) return;
        status_ = ItemStatus::failed;
        error_ = std::move(message);
        finishSeek(false);
        // Whatever still flows after an error would play on with no transport to stop it.
        cancelEndWait();
        if (pipeline_) {
            currentTime(); // the position it stopped at stays
            ++epoch_;
            gst_element_set_state(pipeline_, GST_STATE_NULL);
        }
        if (onStatusChange) onStatusChange(status_);
    }

    // Main thread: what the bus reported.
    void asyncDone() {
        // playbin sets its sinks' ts-offset for its own audio-video offset whenever it builds its
        // chains (while prerolling): the lead is set again on top of that.
        setVideoPresentationLeadTime(leadSeconds_);
        if (seekAfterReset_) {
            // Prerolled again after the reset: now the seek itself.
            const SeekAfterReset seek = *std::exchange(seekAfterReset_, std::nullopt);
            audioAfterSeek_ = true;
            if (!sendSeek(seek.target, seek.rate)) {
                applyPendingAudioSelection();
                return finishSeek(false);
            }
            if (seek.play) gst_element_set_state(pipeline_, GST_STATE_PLAYING);
            return;
        }
        {
            // A seek whose flush never reached the video sink must not hold its frames back.
            std::lock_guard lock(framesMutex_);
            awaitingFlush_ = false;
        }
        if (status_ == ItemStatus::unknown) {
            status_ = ItemStatus::readyToPlay;
            // A track switch followed at once by a flushing seek can deadlock inside playbin (the
            // switch re-sends its stream's events downstream while the seek's flush takes the same
            // stream locks the other way round): a seek sent here switches the track only once
            // it has prerolled.
            audioAfterSeek_ = true;
            bool seeking = false;
            if (wantedRate_ > 0 && wantedRate_ != appliedRate_) seeking = seekTo(currentTime(), wantedRate_, true);
            if (pendingSeek_) {
                seekInFlight_ = seekTo(*std::exchange(pendingSeek_, std::nullopt), appliedRate_);
                if (!seekInFlight_) finishSeek(false);
                seeking = seeking || seekInFlight_;
            }
            if (!seeking) applyPendingAudioSelection();
            if (onStatusChange) onStatusChange(status_);
            return;
        }
        applyPendingAudioSelection();
        if (seekInFlight_) finishSeek(true);
    }

    void applyPendingAudioSelection() {
        if (std::exchange(audioAfterSeek_, false)) applyAudioSelection();
    }

    // Main thread. The video sink finishes ahead of the clock by its lead, and without sound it
    // ends the stream that early: the end is told when the clock reaches the last frame's end.
    void playedToEnd() {
        std::optional<GstClockTime> end;
        {
            std::lock_guard lock(framesMutex_);
            end = lastFrameEndRunningTime_;
        }
        GstClock* clock = end ? gst_element_get_clock(pipeline_) : nullptr;
        const GstClockTime due = clock ? gst_element_get_base_time(pipeline_) + *end : 0;
        if (!clock || gst_clock_get_time(clock) + GST_MSECOND >= due) {
            if (clock) gst_object_unref(clock);
            if (onPlayedToEnd) onPlayedToEnd();
            return;
        }
        cancelEndWait();
        endWait_ = gst_clock_new_single_shot_id(clock, due);
        gst_object_unref(clock);
        auto* waiter = new EndWaiter{&executor_, weak_from_this(), epoch_.load()};
        endWaitMutex.lock(); // publishes the waiter
        endWaitMutex.unlock();
        gst_clock_id_wait_async(endWait_, &GstPlayerItem::endReachedEntry, waiter,
                                &GstPlayerItem::endWaiterDoneEntry);
    }

    // The clock thread never holds the item (its last owner would shut the pipeline down there).
    struct EndWaiter {
        MainExecutor* executor;
        std::weak_ptr<GstPlayerItem> item;
        std::uint64_t epoch;
    };
    // GStreamer hands a waiter to its clock thread and back under locks of its own, which the race
    // detector cannot see; this lock orders the accesses visibly. It is not the waiter's own: the
    // waiter's memory is itself what needs ordering.
    static inline constinit std::mutex endWaitMutex;

    // The clock thread.
    static void endReached(const EndWaiter& waiter) {
        std::lock_guard lock(endWaitMutex);
        waiter.executor->post([weak = waiter.item, epoch = waiter.epoch] {
            const auto self = weak.lock();
            if (self && self->pipeline_ && self->epoch_ == epoch && self->onPlayedToEnd)
                self->onPlayedToEnd();
        });
    }
    static void endWaiterDone(EndWaiter* waiter) {
        endWaitMutex.lock(); // after the clock thread's reads
        endWaitMutex.unlock();
        delete waiter;
    }

    void cancelEndWait() {
        if (!endWait_) return;
        gst_clock_id_unschedule(endWait_);
        gst_clock_id_unref(endWait_);
        endWait_ = nullptr;
    }

    template <typename Work>
    void postToMain(Work work) {
        executor_.post([weak = weak_from_this(), epoch = epoch_.load(), work = std::move(work)]() mutable {
            const auto item = weak.lock();
            if (item && item->pipeline_ && item->epoch_ == epoch) work(*item);
        });
    }

    // Streaming threads.
    static GstBusSyncReply busMessage(GstBus*, GstMessage* message, gpointer data) {
        auto* item = static_cast<GstPlayerItem*>(data);
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR: {
            GError* error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            std::string text = error && error->message ? error->message : "";
            g_clear_error(&error);
            item->postToMain([text = std::move(text)](GstPlayerItem& self) { self.fail(text); });
            break;
        }
        case GST_MESSAGE_ASYNC_DONE:
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(item->pipeline_))
                item->postToMain([](GstPlayerItem& self) { self.asyncDone(); });
            break;
        case GST_MESSAGE_EOS:
            item->postToMain([](GstPlayerItem& self) { self.playedToEnd(); });
            break;
        default: break;
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    }

    // Where GStreamer's own threads enter (see LibraryCallback.hpp; appsink's callbacks come from
    // a library tests/tsan.supp leaves alone).
    LUMAVANE_LIBRARY_CALLBACK static GstBusSyncReply busMessageEntry(GstBus* bus, GstMessage* message,
                                                                     gpointer data) {
        const GstBusSyncReply reply = busMessage(bus, message, data);
        LUMAVANE_KEEP_FRAME();
        return reply;
    }
    LUMAVANE_LIBRARY_CALLBACK static gboolean endReachedEntry(GstClock*, GstClockTime, GstClockID,
                                                              gpointer data) {
        endReached(*static_cast<EndWaiter*>(data));
        LUMAVANE_KEEP_FRAME();
        return TRUE;
    }
    LUMAVANE_LIBRARY_CALLBACK static void endWaiterDoneEntry(gpointer data) {
        endWaiterDone(static_cast<EndWaiter*>(data));
        LUMAVANE_KEEP_FRAME();
    }

    static GstFlowReturn newSample(GstAppSink* sink, gpointer data) {
        return deliver(data, gst_app_sink_pull_sample(sink));
    }
    // Frames that reach the sink between a seek's start and its flush are from before the seek. The
    // flush's end waits for a frame being handed over, so none from before comes after it. The end of
    // the stream reaching the video sink is noted for the position (see clockedTime()).
    static GstPadProbeReturn sinkEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto& self = *static_cast<GstPlayerItem*>(data);
        const GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
        if (type == GST_EVENT_FLUSH_STOP) {
            std::lock_guard lock(self.framesMutex_);
            self.awaitingFlush_ = false;
            self.videoEnded_ = false;
            self.dropQueuedLocked();
        } else if (type == GST_EVENT_EOS) {
            std::lock_guard lock(self.framesMutex_);
            self.videoEnded_ = true;
        }
        return GST_PAD_PROBE_OK;
    }

    // Once the stream has ended, the video sink reports the end of its last frame as its position at
    // once; with the lead it gets there that much before the clock does, and the frames still due
    // would be passed over. While playing, the position then goes by the clock on the last frame's
    // segment. None before the end or while paused.
    std::optional<double> clockedTime() const {
        GstSegment segment;
        {
            std::lock_guard lock(framesMutex_);
            if (!videoEnded_ || !lastSegment_) return std::nullopt;
            segment = *lastSegment_;
        }
        if (GST_STATE(pipeline_) != GST_STATE_PLAYING) return std::nullopt;
        GstClock* clock = gst_element_get_clock(pipeline_);
        if (!clock) return std::nullopt;
        const GstClockTime now = gst_clock_get_time(clock);
        gst_object_unref(clock);
        const GstClockTime base = gst_element_get_base_time(pipeline_);
        if (now < base) return std::nullopt;
        const guint64 position =
            gst_segment_position_from_running_time(&segment, GST_FORMAT_TIME, now - base);
        if (!GST_CLOCK_TIME_IS_VALID(position)) return std::nullopt;
        const guint64 streamTime = gst_segment_to_stream_time(&segment, GST_FORMAT_TIME, position);
        if (!GST_CLOCK_TIME_IS_VALID(streamTime)) return std::nullopt;
        return double(streamTime) / GST_SECOND - origin();
    }

    // A paused item shows the frame it stopped (or seeked) at.
    static GstFlowReturn newPreroll(GstAppSink* sink, gpointer data) {
        return deliver(data, gst_app_sink_pull_preroll(sink));
    }
    static GstFlowReturn deliver(gpointer data, GstSample* sample) {
        if (!sample) return GST_FLOW_OK;
        static_cast<GstPlayerItem*>(data)->receive(sample);
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }

    void receive(GstSample* sample) {
        GstVideoInfo info;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (!buffer || !gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return;
        const GstSegment* segment = gst_sample_get_segment(sample);
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        if (!GST_CLOCK_TIME_IS_VALID(pts)) return;
        const guint64 streamTime = segment ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts) : pts;
        if (!GST_CLOCK_TIME_IS_VALID(streamTime)) return;
        if (std::isnan(origin_.load())) findOrigin(double(streamTime) / GST_SECOND);
        const double itemTime = double(streamTime) / GST_SECOND - origin();
        const GstClockTime duration = GST_BUFFER_DURATION(buffer);
        const double itemEnd = itemTime + (GST_CLOCK_TIME_IS_VALID(duration) ? double(duration) / GST_SECOND : 0.0);
        const guint64 endRunningTime =
            segment ? gst_segment_to_running_time(segment, GST_FORMAT_TIME,
                                                  pts + (GST_CLOCK_TIME_IS_VALID(duration) ? duration : 0))
                    : GST_CLOCK_TIME_NONE;
        {
            // The prerolled frame comes again as the first sample once playing starts.
            std::lock_guard lock(framesMutex_);
            if (awaitingFlush_) return;
            if (GST_CLOCK_TIME_IS_VALID(endRunningTime)) lastFrameEndRunningTime_ = endRunningTime;
            if (segment) lastSegment_ = *segment;
            if (lastReceivedTime_ == itemTime) return;
            // An accurate seek stamps the frame it lands in with the target: a frame that starts
            // before the end of the last one taken was taken already.
            if (shownThrough_ && itemTime + 5e-4 < *shownThrough_) return;
            shownThrough_.reset();
        }

        GstVideoFrame frame;
        if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return;
        const auto width = std::size_t(GST_VIDEO_FRAME_WIDTH(&frame));
        const auto height = std::size_t(GST_VIDEO_FRAME_HEIGHT(&frame));
        try {
            if (!pool_ || poolWidth_ != width || poolHeight_ != height) {
                pool_ = PixelBufferPool::create(width, height, LV_PIXEL_FORMAT_32BGRA);
                poolWidth_ = width;
                poolHeight_ = height;
            }
            PixelBuffer picture = pool_.createBuffer();
            const auto* source = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
            const auto sourceStride = std::size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
            auto* target = static_cast<std::uint8_t*>(picture.baseAddress());
            for (std::size_t row = 0; row < height; ++row)
                std::memcpy(target + row * picture.bytesPerRow(), source + row * sourceStride, width * 4);
            std::lock_guard lock(framesMutex_);
            if (!awaitingFlush_) {
                frames_.push_back(QueuedFrame{VideoFrame{std::move(picture), itemTime}, itemEnd});
                lastReceivedTime_ = itemTime;
                while (frames_.size() > maximumQueuedFrames) frames_.pop_front();
            }
        } catch (const PlatformError&) {
            // Out of memory for one picture: it is skipped.
        }
        gst_video_frame_unmap(&frame);
    }

    // The first frame, the first one shown from the start (no seek goes out before the item is
    // ready, which is after this frame), is the first frame FFmpeg shows: that places the media's
    // start on GStreamer's timeline.
    void findOrigin(double firstFrameStreamTime) {
        const MediaTimeline timeline = probeMediaTimeline(path_);
        duration_ = timeline.duration;
        lastFrame_ = timeline.lastVideoFrame.value_or(std::numeric_limits<double>::quiet_NaN());
        clockWraps_ = timeline.clockWraps;
        origin_ = timeline.firstVideoFrame ? firstFrameStreamTime - *timeline.firstVideoFrame : 0.0;
    }

    // GStreamer's stream time of media time 0; 0 until the first frame has come.
    double origin() const {
        const double origin = origin_.load();
        return std::isnan(origin) ? 0.0 : origin;
    }

    const std::filesystem::path path_;
    MainExecutor& executor_;
    std::atomic<double> origin_{std::numeric_limits<double>::quiet_NaN()}; // set once, streaming thread
    std::atomic<double> duration_{std::numeric_limits<double>::quiet_NaN()}; // FFmpeg's, with the origin
    std::atomic<double> lastFrame_{std::numeric_limits<double>::quiet_NaN()}; // FFmpeg's last frame's time
    std::atomic<bool> clockWraps_{false};                                     // FFmpeg's
    GstElement* pipeline_ = nullptr;
    GstElement* videoSink_ = nullptr; // the pipeline's
    double leadSeconds_ = 0;
    std::atomic<std::uint64_t> epoch_{0};
    ItemStatus status_ = ItemStatus::unknown;
    std::optional<std::string> error_;
    std::optional<std::size_t> selectedAudio_;
    bool audioAfterSeek_ = false; // the selection waits for a seek's preroll
    double wantedRate_ = 0;
    double appliedRate_ = 1;
    mutable double lastTime_ = 0;
    std::optional<double> heldTime_; // a seek's target past the last frame, until playing resumes
    std::optional<double> pendingSeek_;
    bool seekInFlight_ = false;
    std::function<void(bool)> seekCompletion_;
    // A seek waiting for the pipeline to preroll again after a reset; whether to play after it.
    struct SeekAfterReset {
        double target = 0; // GStreamer's stream time
        double rate = 1;
        bool play = false;
    };
    std::optional<SeekAfterReset> seekAfterReset_;

    mutable std::mutex framesMutex_;
    struct QueuedFrame {
        VideoFrame frame;
        double end = 0; // item time
    };
    // The frames not taken yet and what was known of the last one handed over; under framesMutex_.
    void dropQueuedLocked() {
        frames_.clear();
        lastReceivedTime_.reset();
        lastFrameEndRunningTime_.reset();
        lastSegment_.reset();
    }
    VideoFrame takeFront() {
        QueuedFrame front = std::move(frames_.front());
        frames_.pop_front();
        takenEnd_ = std::max(front.end, front.frame.itemTime + 1e-3); // a frame without a duration
        return std::move(front.frame);
    }
    std::deque<QueuedFrame> frames_;
    std::optional<double> lastReceivedTime_;
    std::optional<double> takenEnd_;     // of the last frame handed out
    std::optional<double> shownThrough_; // frames starting before then were handed out before a seek in place
    bool awaitingFlush_ = false;
    std::optional<GstClockTime> lastFrameEndRunningTime_; // of the last frame handed over
    std::optional<GstSegment> lastSegment_;               // of the last frame handed over
    bool videoEnded_ = false;                             // the end of the stream has reached the video sink
    GstClockID endWait_ = nullptr;                        // main thread
    PixelBufferPool pool_; // streaming thread only
    std::size_t poolWidth_ = 0;
    std::size_t poolHeight_ = 0;
};

class GStreamerPlayer final : public Player {
public:
    explicit GStreamerPlayer(MainExecutor& executor) : executor_(executor) {}
    ~GStreamerPlayer() override {
        {
            // Never waits for an inspection: one whose file does not open may run on for long.
            std::lock_guard lock(inspections_->mutex);
            inspections_->closed = true;
            if (inspections_->newest) inspections_->newest->cancel();
        }
        replaceCurrentItem(nullptr);
    }

    // Each inspection runs on a thread of its own, to its own end: a stale one cannot be stopped (see
    // inspectAsset) and one whose file hangs on opening (a hung network mount, a leased file) holds
    // only its own thread, so neither delays the newest.
    void loadAsset(const std::filesystem::path& path, std::function<void(AssetResult)> completion) override {
        const auto cancellation = std::make_shared<InspectionCancellation>();
        std::uint64_t ticket = 0;
        {
            std::lock_guard lock(inspections_->mutex);
            ticket = ++inspections_->latest;
            if (inspections_->newest) inspections_->newest->cancel();
            inspections_->newest = cancellation;
        }
        auto work = [state = inspections_, ticket, &executor = executor_, path, cancellation,
                     completion](std::optional<AssetResult> result) mutable {
            // Stale before it began: the file is not even opened.
            if (!result && cancellation->isCancelled()) return;
            if (!result) {
                try {
                    result = inspectAsset(path, inspectionTimeoutSeconds, cancellation.get());
                } catch (...) {
                    result = std::current_exception();
                }
            }
            // The executor outlives the player, and the player is not closed while this holds the lock.
            std::lock_guard lock(state->mutex);
            if (state->closed || ticket != state->latest) return;
            executor.post([completion = std::move(completion), result = std::move(*result)]() mutable {
                completion(std::move(result));
            });
        };
        try {
            std::thread([work]() mutable {
                pthread_setname_np(pthread_self(), "Lumavane.asset");
                work(std::nullopt);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had: the file is refused, so it opens on the direct back-end.
            work(AssetResult(std::current_exception()));
        }
    }

    std::shared_ptr<PlayerItem> makeItem(const std::filesystem::path& path) override {
        ensureGStreamer();
        return std::make_shared<GstPlayerItem>(path, executor_);
    }

    void replaceCurrentItem(std::shared_ptr<PlayerItem> item) override {
        if (current_) current_->shutdown();
        current_ = std::dynamic_pointer_cast<GstPlayerItem>(std::move(item));
        if (!current_) return;
        current_->setVideoPresentationLeadTime(lead_);
        current_->prepare(volume_);
        if (rate_ > 0) current_->play(rate_);
    }

    std::shared_ptr<PlayerItem> currentItem() const override { return current_; }
    void setDefaultRate(double rate) override { defaultRate_ = rate; }
    double defaultRate() const override { return defaultRate_; }

    void playImmediately(double rate) override {
        rate_ = rate > 0 && std::isfinite(rate) ? rate : defaultRate_;
        if (current_) current_->play(rate_);
    }

    void pause() override {
        rate_ = 0;
        if (current_) current_->pause();
    }

    double rate() const override { return rate_; }

    void setRate(double rate) override {
        if (!std::isfinite(rate) || rate <= 0) return pause();
        playImmediately(rate);
    }

    void setVolume(float volume) override {
        volume_ = std::clamp(double(volume), 0.0, 1.0);
        if (current_) current_->setVolume(volume_);
    }

    double currentTime() const override { return current_ ? current_->currentTime() : 0; }

    void setVideoPresentationLeadTime(double seconds) override {
        lead_ = seconds;
        if (current_) current_->setVideoPresentationLeadTime(seconds);
    }

    void seek(double seconds, std::function<void(bool)> completion) override {
        if (current_) return current_->seek(seconds, std::move(completion));
        if (completion) completion(false);
    }

private:
    static constexpr double inspectionTimeoutSeconds = 10;
    // Shared with the running inspections; only the newest one is waited for.
    struct Inspections {
        std::mutex mutex;
        std::uint64_t latest = 0;
        bool closed = false;
        std::shared_ptr<InspectionCancellation> newest;
    };

    MainExecutor& executor_;
    const std::shared_ptr<Inspections> inspections_ = std::make_shared<Inspections>();
    std::shared_ptr<GstPlayerItem> current_;
    double rate_ = 0;
    double defaultRate_ = 1;
    double volume_ = 1;
    double lead_ = 0;
};

} // namespace

std::unique_ptr<Player> makeGStreamerPlayer(MainExecutor& executor) {
    return std::make_unique<GStreamerPlayer>(executor);
}

} // namespace lumavane::media
