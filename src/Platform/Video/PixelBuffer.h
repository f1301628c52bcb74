/* Reference-counted pixel buffers and pools, callable from C.
 *
 * Formats are the usual four-character codes. Rows are 64-byte aligned and
 * allocations page aligned, so the GPU layer can wrap a buffer's memory
 * without copying. Buffers are thread-safe to retain and release from any
 * thread; their pixels are not synchronised (lock/unlock only mark intent). */
#ifndef LUMAVANE_PIXEL_BUFFER_H
#define LUMAVANE_PIXEL_BUFFER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LV_FOURCC(a, b, c, d) \
    (((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d))

enum {
    LV_PIXEL_FORMAT_32BGRA = LV_FOURCC('B', 'G', 'R', 'A'), /* one plane, B G R A bytes */
    LV_PIXEL_FORMAT_420V = LV_FOURCC('4', '2', '0', 'v'),   /* 8-bit Y + interleaved CbCr, video range */
    LV_PIXEL_FORMAT_420F = LV_FOURCC('4', '2', '0', 'f'),   /* same, full range */
    LV_PIXEL_FORMAT_X420 = LV_FOURCC('x', '4', '2', '0'),   /* 10 bits high in 16-bit words, video range */
    LV_PIXEL_FORMAT_XF20 = LV_FOURCC('x', 'f', '2', '0')    /* same, full range */
};

/* Status codes; the values follow the desktop platform's so texts that show them stay comparable. */
enum {
    LV_PIXEL_BUFFER_SUCCESS = 0,
    LV_PIXEL_BUFFER_INVALID_ARGUMENT = -6661,
    LV_PIXEL_BUFFER_ALLOCATION_FAILED = -6662,
    LV_PIXEL_BUFFER_INVALID_PIXEL_FORMAT = -6680,
    LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD = -6689
};

typedef enum {
    LV_COLOR_MATRIX_UNSPECIFIED = 0,
    LV_COLOR_MATRIX_BT601,
    LV_COLOR_MATRIX_BT709,
    LV_COLOR_MATRIX_BT2020
} lv_color_matrix;

typedef enum {
    LV_COLOR_PRIMARIES_UNSPECIFIED = 0,
    LV_COLOR_PRIMARIES_BT709,
    LV_COLOR_PRIMARIES_BT601_525, /* SMPTE C */
    LV_COLOR_PRIMARIES_BT601_625, /* EBU 3213 */
    LV_COLOR_PRIMARIES_BT2020,
    LV_COLOR_PRIMARIES_P3
} lv_color_primaries;

typedef enum {
    LV_COLOR_TRANSFER_UNSPECIFIED = 0,
    LV_COLOR_TRANSFER_BT709,
    LV_COLOR_TRANSFER_SRGB,
    LV_COLOR_TRANSFER_PQ,
    LV_COLOR_TRANSFER_HLG,
    LV_COLOR_TRANSFER_LINEAR
} lv_color_transfer;

typedef struct {
    lv_color_matrix matrix;
    lv_color_primaries primaries;
    lv_color_transfer transfer;
    int full_range; /* 1 for full-range samples (BGRA, 420f, xf20); follows the format, set_color keeps it */
} lv_color_attachments;

enum { LV_PIXEL_BUFFER_LOCK_READ_ONLY = 1 };

typedef struct lv_pixel_buffer lv_pixel_buffer;
typedef struct lv_pixel_buffer_pool lv_pixel_buffer_pool;

/* Creates a buffer with one reference. Returns a status; *out is NULL on failure. Chroma planes
 * of odd sizes round up; each plane starts on a page; fresh memory is zeroed. New buffers carry
 * unspecified matrix, primaries and transfer. */
int lv_pixel_buffer_create(size_t width, size_t height, uint32_t pixel_format, lv_pixel_buffer** out);
lv_pixel_buffer* lv_pixel_buffer_retain(lv_pixel_buffer* buffer); /* returns buffer; NULL is allowed */
void lv_pixel_buffer_release(lv_pixel_buffer* buffer);            /* NULL is allowed */

size_t lv_pixel_buffer_get_width(const lv_pixel_buffer* buffer);
size_t lv_pixel_buffer_get_height(const lv_pixel_buffer* buffer);
uint32_t lv_pixel_buffer_get_pixel_format(const lv_pixel_buffer* buffer);
size_t lv_pixel_buffer_get_plane_count(const lv_pixel_buffer* buffer); /* 1 for BGRA, 2 for bi-planar */
void* lv_pixel_buffer_get_base_address_of_plane(const lv_pixel_buffer* buffer, size_t plane);
size_t lv_pixel_buffer_get_bytes_per_row_of_plane(const lv_pixel_buffer* buffer, size_t plane);
size_t lv_pixel_buffer_get_width_of_plane(const lv_pixel_buffer* buffer, size_t plane);
size_t lv_pixel_buffer_get_height_of_plane(const lv_pixel_buffer* buffer, size_t plane);
void* lv_pixel_buffer_get_base_address(const lv_pixel_buffer* buffer);   /* plane 0 */
size_t lv_pixel_buffer_get_bytes_per_row(const lv_pixel_buffer* buffer); /* plane 0 */
size_t lv_pixel_buffer_get_data_size(const lv_pixel_buffer* buffer);     /* whole page-aligned allocation */

int lv_pixel_buffer_lock(lv_pixel_buffer* buffer, unsigned flags);
int lv_pixel_buffer_unlock(lv_pixel_buffer* buffer, unsigned flags); /* INVALID_ARGUMENT when not locked */

void lv_pixel_buffer_get_color(const lv_pixel_buffer* buffer, lv_color_attachments* out);
void lv_pixel_buffer_set_color(lv_pixel_buffer* buffer, const lv_color_attachments* attachments);

/* Number of buffers alive in the process, idle ones kept by pools included: for leak checks in tests. */
size_t lv_pixel_buffer_live_count(void);

/* A pool of equally shaped buffers. A buffer made by a pool goes back to it when
 * its last reference is released (with its colour attachments reset); the pool itself
 * may be released first, and then its buffers are freed as they come back. */
int lv_pixel_buffer_pool_create(size_t width, size_t height, uint32_t pixel_format,
                                lv_pixel_buffer_pool** out);
lv_pixel_buffer_pool* lv_pixel_buffer_pool_retain(lv_pixel_buffer_pool* pool);
void lv_pixel_buffer_pool_release(lv_pixel_buffer_pool* pool);
/* threshold 0 means none; otherwise, when `threshold` buffers of this pool are
 * already held, fails with LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD and
 * allocates nothing. */
int lv_pixel_buffer_pool_create_buffer(lv_pixel_buffer_pool* pool, size_t threshold, lv_pixel_buffer** out);
size_t lv_pixel_buffer_pool_get_width(const lv_pixel_buffer_pool* pool);
size_t lv_pixel_buffer_pool_get_height(const lv_pixel_buffer_pool* pool);
uint32_t lv_pixel_buffer_pool_get_pixel_format(const lv_pixel_buffer_pool* pool);
size_t lv_pixel_buffer_pool_outstanding_count(const lv_pixel_buffer_pool* pool); /* buffers held by callers */
void lv_pixel_buffer_pool_flush(lv_pixel_buffer_pool* pool);                     /* frees idle buffers */

#ifdef __cplusplus
}
#endif

#endif
