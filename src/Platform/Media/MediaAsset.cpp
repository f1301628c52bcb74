#include "Platform/Media/MediaAsset.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "Platform/Image/DisplayRotation.hpp"
#include "Platform/Media/GStreamerSupport.hpp"
#include "Platform/Media/MediaTimeline.hpp"

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <gst/tag/tag.h>

#include <cmath>
#include <limits>
#include <system_error>

namespace lumavane::media {

namespace {

std::optional<std::string> tagString(const GstTagList* tags, const char* tag) {
    if (!tags) return std::nullopt;
    gchar* value = nullptr;
    if (!gst_tag_list_get_string(tags, tag, &value) || !value) return std::nullopt;
    std::string text(value);
    g_free(value);
    if (text.empty()) return std::nullopt;
    return text;
}

// "rotate-90" and friends; mirrored orientations keep their rotation only.
double orientationDegrees(const GstTagList* tags) {
    const std::optional<std::string> orientation = tagString(tags, GST_TAG_IMAGE_ORIENTATION);
    if (!orientation) return 0;
    for (const int degrees : {90, 180, 270}) {
        const std::string suffix = "rotate-" + std::to_string(degrees);
        if (orientation->size() >= suffix.size() &&
            orientation->compare(orientation->size() - suffix.size(), suffix.size(), suffix) == 0)
            return degrees;
    }
    return 0;
}

MediaSelectionOption optionOf(GstDiscovererStreamInfo* stream, std::size_t index) {
    MediaSelectionOption option;
    const GstTagList* tags = gst_discoverer_stream_info_get_tags(stream);
    const gchar* language = gst_discoverer_audio_info_get_language(GST_DISCOVERER_AUDIO_INFO(stream));
    if (language && *language) {
        option.localeIdentifier = language;
        // The container's ISO 639-2 code as the two-letter tag where one exists.
        const gchar* shortCode = gst_tag_get_language_code_iso_639_1(language);
        option.extendedLanguageTag = shortCode ? shortCode : language;
    }
    if (const auto title = tagString(tags, GST_TAG_TITLE)) {
        option.displayName = *title;
    } else if (option.localeIdentifier) {
        const gchar* name = gst_tag_get_language_name(option.localeIdentifier->c_str());
        option.displayName = name ? name : *option.localeIdentifier;
    } else {
        option.displayName = "Audio " + std::to_string(index + 1);
    }
    return option;
}

void discovered(GstDiscoverer*, GstDiscovererInfo* info, GError*, gpointer result) {
    auto& kept = *static_cast<GstDiscovererInfo**>(result);
    if (!kept && info) kept = GST_DISCOVERER_INFO(g_object_ref(info));
}

void finished(GstDiscoverer*, gpointer loop) { g_main_loop_quit(static_cast<GMainLoop*>(loop)); }

// The discoverer on a main loop of the calling thread's own, run to the end of its discovery: only
// then may it be stopped. Stopped while it works (its pads exposed, its result not yet collected), it
// sets its pipeline to READY under its own lock; the pads removed then call its own handler, which
// takes that lock again, and the thread never returns.
GstDiscovererInfo* discover(GstDiscoverer* discoverer, const std::string& uri) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GstDiscovererInfo* info = nullptr;
    g_signal_connect(discoverer, "discovered", G_CALLBACK(discovered), &info);
    g_signal_connect(discoverer, "finished", G_CALLBACK(finished), loop);
    gst_discoverer_start(discoverer);
    // Opens the file on this thread.
    if (gst_discoverer_discover_uri_async(discoverer, uri.c_str())) g_main_loop_run(loop);
    gst_discoverer_stop(discoverer);
    g_main_loop_unref(loop);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return info;
}

// A video stream in no container: raw H.264, HEVC or MPEG video.
bool isElementaryVideoStream(GstDiscovererInfo* info) {
    GstDiscovererStreamInfo* top = gst_discoverer_info_get_stream_info(info);
    if (!top) return false;
    const bool contained = GST_IS_DISCOVERER_CONTAINER_INFO(top);
    gst_discoverer_stream_info_unref(top);
    if (contained) return false;
    GList* videos = gst_discoverer_info_get_video_streams(info);
    const bool video = videos != nullptr;
    gst_discoverer_stream_info_list_free(videos);
    return video;
}

} // namespace

AssetProperties inspectAsset(const std::filesystem::path& path, double timeoutSeconds,
                             InspectionCancellation* cancellation) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw PlatformError(errorDomain, 1, "The file “" + path.filename().string() + "” doesn’t exist.");
    ensureGStreamer();

    AssetProperties properties;
    properties.durationSeconds = std::numeric_limits<double>::quiet_NaN();
    GError* gerror = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(GstClockTime(timeoutSeconds * GST_SECOND), &gerror);
    if (!discoverer) {
        const std::string message = gerror ? gerror->message : "GStreamer discoverer unavailable";
        g_clear_error(&gerror);
        throw PlatformError(errorDomain, 2, message);
    }
    const std::string uri = fileURI(path);
    GstDiscovererInfo* info = discover(discoverer, uri);
    // A raw stream carries no index and no times: GStreamer guesses its length from its bit rate (an
    // 8 s stream reads 6 s, and its end cannot be reached), where the direct back-end counts it.
    if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK &&
        !(cancellation && cancellation->isCancelled()) && !isElementaryVideoStream(info)) {
        properties.isPlayable = true;
        // The discoverer's length of a transport stream counts from its first clock reference and
        // may be an estimate: FFmpeg's, from the media's start, where it tells one.
        properties.durationSeconds = probeMediaTimeline(path).duration;
        const GstClockTime duration = gst_discoverer_info_get_duration(info);
        if (std::isnan(properties.durationSeconds) && GST_CLOCK_TIME_IS_VALID(duration))
            properties.durationSeconds = double(duration) / GST_SECOND;

        GList* videos = gst_discoverer_info_get_video_streams(info);
        properties.videoTrackCount = g_list_length(videos);
        if (videos) {
            auto* video = GST_DISCOVERER_VIDEO_INFO(videos->data);
            const guint num = gst_discoverer_video_info_get_framerate_num(video);
            const guint den = gst_discoverer_video_info_get_framerate_denom(video);
            if (num > 0 && den > 0) properties.nominalFrameRate = float(double(num) / den);
            properties.width = int(gst_discoverer_video_info_get_width(video));
            properties.height = int(gst_discoverer_video_info_get_height(video));
            double degrees = orientationDegrees(gst_discoverer_stream_info_get_tags(GST_DISCOVERER_STREAM_INFO(video)));
            if (degrees == 0) degrees = orientationDegrees(gst_discoverer_info_get_tags(info));
            properties.preferredTransform = transformForRotation(degrees, properties.width, properties.height);
        }
        gst_discoverer_stream_info_list_free(videos);

        GList* audios = gst_discoverer_info_get_audio_streams(info);
        properties.audioTrackCount = g_list_length(audios);
        // playbin switches between any of its audio streams, so every stream is an option.
        if (properties.audioTrackCount >= 2) {
            MediaSelectionGroup group;
            std::size_t index = 0;
            for (GList* item = audios; item; item = item->next, ++index)
                group.options.push_back(optionOf(GST_DISCOVERER_STREAM_INFO(item->data), index));
            group.defaultOption = 0;
            properties.audibleGroup = std::move(group);
        }
        gst_discoverer_stream_info_list_free(audios);
    }
    if (info) gst_discoverer_info_unref(info);
    g_object_unref(discoverer);
    return properties;
}

image::AffineTransform transformForRotation(double degrees, double width, double height) {
    return image::uprightTransform(-degrees, width, height); // the tag turns clockwise
}

} // namespace lumavane::media
