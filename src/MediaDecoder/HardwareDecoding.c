#include "MediaDecoder/HardwareDecoding.h"

#include <stdio.h>
#include <unistd.h>

#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>

static enum AVPixelFormat lv_vaapi_format(AVCodecContext* context, const enum AVPixelFormat* offered) {
    (void)context;
    for (const enum AVPixelFormat* p = offered; *p != AV_PIX_FMT_NONE; p++) {
        if (*p == AV_PIX_FMT_VAAPI) return *p;
    }
    /* The first software format: another hardware format would need a device we never made. */
    for (const enum AVPixelFormat* p = offered; *p != AV_PIX_FMT_NONE; p++) {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*p);
        if (desc && !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *p;
    }
    return offered[0];
}

void lv_attach_vaapi(AVBufferRef** device, AVCodecContext* context, const AVCodec* codec) {
    int supported = 0;
    for (int i = 0;; i++) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (!config) break;
        if (config->device_type == AV_HWDEVICE_TYPE_VAAPI &&
            (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)) {
            supported = 1;
            break;
        }
    }
    if (!supported) return;
    /* Name the render node ourselves: letting libva look for a display
     * prints errors on machines without one. */
    for (int n = 128; n < 192 && !*device; n++) {
        char node[32];
        snprintf(node, sizeof node, "/dev/dri/renderD%d", n);
        if (access(node, R_OK | W_OK) != 0) continue;
        if (av_hwdevice_ctx_create(device, AV_HWDEVICE_TYPE_VAAPI, node, NULL, 0) < 0) *device = NULL;
    }
    if (!*device) return;
    context->hw_device_ctx = av_buffer_ref(*device);
    if (context->hw_device_ctx) context->get_format = lv_vaapi_format;
}
