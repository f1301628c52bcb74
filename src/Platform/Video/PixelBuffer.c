#define _POSIX_C_SOURCE 200809L

#include "Platform/Video/PixelBuffer.h"

#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { ROW_ALIGNMENT = 64 };

typedef struct {
    size_t plane_count;
    size_t plane_width[2];
    size_t plane_height[2];
    size_t bytes_per_row[2];
    size_t plane_offset[2];
    size_t data_size;
} layout;

struct lv_pixel_buffer {
    atomic_size_t references;
    atomic_int lock_count;
    atomic_uint color; /* packed lv_color_attachments, see pack_color */
    size_t width;
    size_t height;
    uint32_t pixel_format;
    layout geometry;
    unsigned char* data;
    lv_pixel_buffer_pool* pool; /* where the buffer returns; NULL for a lone buffer */
    lv_pixel_buffer* next_idle; /* link in the pool's idle list (pool mutex) */
};

struct lv_pixel_buffer_pool {
    pthread_mutex_t mutex;
    size_t references;  /* callers' references */
    size_t outstanding; /* buffers handed out and not yet back */
    lv_pixel_buffer* idle;
    size_t width;
    size_t height;
    uint32_t pixel_format;
    layout geometry;
};

static atomic_size_t live_buffers;

static size_t page_size(void) {
    static atomic_size_t cached;
    size_t size = atomic_load_explicit(&cached, memory_order_relaxed);
    if (size == 0) {
        long queried = sysconf(_SC_PAGESIZE);
        size = queried > 0 ? (size_t)queried : 4096;
        atomic_store_explicit(&cached, size, memory_order_relaxed);
    }
    return size;
}

/* a * b and round-ups that report overflow instead of wrapping */
static int multiply(size_t a, size_t b, size_t* out) {
    if (a != 0 && b > SIZE_MAX / a) return 0;
    *out = a * b;
    return 1;
}

static int round_up(size_t value, size_t alignment, size_t* out) {
    if (value > SIZE_MAX - (alignment - 1)) return 0;
    *out = (value + alignment - 1) / alignment * alignment;
    return 1;
}

/* Bytes per sample of the luma (or BGRA) plane and per CbCr pair of the chroma plane. */
static int sample_sizes(uint32_t pixel_format, size_t* plane_count, size_t* first, size_t* second) {
    switch (pixel_format) {
    case LV_PIXEL_FORMAT_32BGRA:
        *plane_count = 1, *first = 4, *second = 0;
        return 1;
    case LV_PIXEL_FORMAT_420V:
    case LV_PIXEL_FORMAT_420F:
        *plane_count = 2, *first = 1, *second = 2;
        return 1;
    case LV_PIXEL_FORMAT_X420:
    case LV_PIXEL_FORMAT_XF20:
        *plane_count = 2, *first = 2, *second = 4;
        return 1;
    default:
        return 0;
    }
}

static int is_full_range(uint32_t pixel_format) {
    return pixel_format == LV_PIXEL_FORMAT_32BGRA || pixel_format == LV_PIXEL_FORMAT_420F ||
           pixel_format == LV_PIXEL_FORMAT_XF20;
}

static int compute_layout(size_t width, size_t height, uint32_t pixel_format, layout* out) {
    size_t sizes[2];
    memset(out, 0, sizeof *out);
    if (!sample_sizes(pixel_format, &out->plane_count, &sizes[0], &sizes[1]))
        return LV_PIXEL_BUFFER_INVALID_PIXEL_FORMAT;
    if (width == 0 || height == 0) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;

    size_t offset = 0;
    for (size_t plane = 0; plane < out->plane_count; ++plane) {
        /* Chroma planes cover odd sizes by rounding up. */
        size_t plane_width = plane == 0 ? width : width / 2 + width % 2;
        size_t plane_height = plane == 0 ? height : height / 2 + height % 2;
        size_t row = 0, row_aligned = 0, plane_bytes = 0;
        /* Every plane starts on a page so the GPU layer can wrap each one on its own. */
        if (!round_up(offset, page_size(), &offset) || !multiply(plane_width, sizes[plane], &row) ||
            !round_up(row, ROW_ALIGNMENT, &row_aligned) ||
            !multiply(row_aligned, plane_height, &plane_bytes) || plane_bytes > SIZE_MAX - offset)
            return LV_PIXEL_BUFFER_ALLOCATION_FAILED;
        out->plane_width[plane] = plane_width;
        out->plane_height[plane] = plane_height;
        out->bytes_per_row[plane] = row_aligned;
        out->plane_offset[plane] = offset;
        offset += plane_bytes;
    }
    if (!round_up(offset, page_size(), &out->data_size)) return LV_PIXEL_BUFFER_ALLOCATION_FAILED;
    return LV_PIXEL_BUFFER_SUCCESS;
}

static unsigned pack_color(lv_color_attachments c) {
    return (unsigned)c.matrix | (unsigned)c.primaries << 8 | (unsigned)c.transfer << 16 |
           (unsigned)(c.full_range != 0) << 24;
}

static unsigned default_color(uint32_t pixel_format) {
    lv_color_attachments c = {LV_COLOR_MATRIX_UNSPECIFIED, LV_COLOR_PRIMARIES_UNSPECIFIED,
                              LV_COLOR_TRANSFER_UNSPECIFIED, is_full_range(pixel_format)};
    return pack_color(c);
}

static lv_pixel_buffer* allocate_buffer(size_t width, size_t height, uint32_t pixel_format,
                                        const layout* geometry, lv_pixel_buffer_pool* pool) {
    lv_pixel_buffer* buffer = calloc(1, sizeof *buffer);
    if (!buffer) return NULL;
    void* data = NULL;
    if (posix_memalign(&data, page_size(), geometry->data_size) != 0) {
        free(buffer);
        return NULL;
    }
    /* Fresh memory is cleared so row padding and unused pixels read the same on every run. */
    memset(data, 0, geometry->data_size);
    atomic_init(&buffer->references, 1);
    atomic_init(&buffer->lock_count, 0);
    atomic_init(&buffer->color, default_color(pixel_format));
    buffer->width = width;
    buffer->height = height;
    buffer->pixel_format = pixel_format;
    buffer->geometry = *geometry;
    buffer->data = data;
    buffer->pool = pool;
    atomic_fetch_add_explicit(&live_buffers, 1, memory_order_relaxed);
    return buffer;
}

static void destroy_buffer(lv_pixel_buffer* buffer) {
    free(buffer->data);
    free(buffer);
    atomic_fetch_sub_explicit(&live_buffers, 1, memory_order_relaxed);
}

static void destroy_buffer_list(lv_pixel_buffer* list) {
    while (list) {
        lv_pixel_buffer* next = list->next_idle;
        destroy_buffer(list);
        list = next;
    }
}

static void destroy_pool(lv_pixel_buffer_pool* pool) {
    pthread_mutex_destroy(&pool->mutex);
    free(pool);
}

/* The last reference of a pool buffer is gone: keep it for reuse while the pool has
 * callers, else free it, and the pool with its last buffer. */
static void return_to_pool(lv_pixel_buffer_pool* pool, lv_pixel_buffer* buffer) {
    pthread_mutex_lock(&pool->mutex);
    pool->outstanding--;
    int keep = pool->references > 0;
    if (keep) {
        atomic_store_explicit(&buffer->color, default_color(buffer->pixel_format), memory_order_relaxed);
        atomic_store_explicit(&buffer->lock_count, 0, memory_order_relaxed);
        buffer->next_idle = pool->idle;
        pool->idle = buffer;
    }
    int pool_done = pool->references == 0 && pool->outstanding == 0;
    pthread_mutex_unlock(&pool->mutex);
    if (!keep) destroy_buffer(buffer);
    if (pool_done) destroy_pool(pool);
}

int lv_pixel_buffer_create(size_t width, size_t height, uint32_t pixel_format, lv_pixel_buffer** out) {
    if (!out) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    *out = NULL;
    layout geometry;
    int status = compute_layout(width, height, pixel_format, &geometry);
    if (status != LV_PIXEL_BUFFER_SUCCESS) return status;
    *out = allocate_buffer(width, height, pixel_format, &geometry, NULL);
    return *out ? LV_PIXEL_BUFFER_SUCCESS : LV_PIXEL_BUFFER_ALLOCATION_FAILED;
}

lv_pixel_buffer* lv_pixel_buffer_retain(lv_pixel_buffer* buffer) {
    if (buffer) atomic_fetch_add_explicit(&buffer->references, 1, memory_order_relaxed);
    return buffer;
}

void lv_pixel_buffer_release(lv_pixel_buffer* buffer) {
    if (!buffer) return;
    if (atomic_fetch_sub_explicit(&buffer->references, 1, memory_order_acq_rel) != 1) return;
    if (buffer->pool)
        return_to_pool(buffer->pool, buffer);
    else
        destroy_buffer(buffer);
}

size_t lv_pixel_buffer_get_width(const lv_pixel_buffer* buffer) { return buffer ? buffer->width : 0; }

size_t lv_pixel_buffer_get_height(const lv_pixel_buffer* buffer) { return buffer ? buffer->height : 0; }

uint32_t lv_pixel_buffer_get_pixel_format(const lv_pixel_buffer* buffer) {
    return buffer ? buffer->pixel_format : 0;
}

size_t lv_pixel_buffer_get_plane_count(const lv_pixel_buffer* buffer) {
    return buffer ? buffer->geometry.plane_count : 0;
}

static int has_plane(const lv_pixel_buffer* buffer, size_t plane) {
    return buffer && plane < buffer->geometry.plane_count;
}

void* lv_pixel_buffer_get_base_address_of_plane(const lv_pixel_buffer* buffer, size_t plane) {
    return has_plane(buffer, plane) ? buffer->data + buffer->geometry.plane_offset[plane] : NULL;
}

size_t lv_pixel_buffer_get_bytes_per_row_of_plane(const lv_pixel_buffer* buffer, size_t plane) {
    return has_plane(buffer, plane) ? buffer->geometry.bytes_per_row[plane] : 0;
}

size_t lv_pixel_buffer_get_width_of_plane(const lv_pixel_buffer* buffer, size_t plane) {
    return has_plane(buffer, plane) ? buffer->geometry.plane_width[plane] : 0;
}

size_t lv_pixel_buffer_get_height_of_plane(const lv_pixel_buffer* buffer, size_t plane) {
    return has_plane(buffer, plane) ? buffer->geometry.plane_height[plane] : 0;
}

void* lv_pixel_buffer_get_base_address(const lv_pixel_buffer* buffer) {
    return lv_pixel_buffer_get_base_address_of_plane(buffer, 0);
}

size_t lv_pixel_buffer_get_bytes_per_row(const lv_pixel_buffer* buffer) {
    return lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 0);
}

size_t lv_pixel_buffer_get_data_size(const lv_pixel_buffer* buffer) {
    return buffer ? buffer->geometry.data_size : 0;
}

int lv_pixel_buffer_lock(lv_pixel_buffer* buffer, unsigned flags) {
    (void)flags;
    if (!buffer) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    atomic_fetch_add_explicit(&buffer->lock_count, 1, memory_order_relaxed);
    return LV_PIXEL_BUFFER_SUCCESS;
}

int lv_pixel_buffer_unlock(lv_pixel_buffer* buffer, unsigned flags) {
    (void)flags;
    if (!buffer) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    int count = atomic_load_explicit(&buffer->lock_count, memory_order_relaxed);
    do {
        if (count <= 0) return LV_PIXEL_BUFFER_INVALID_ARGUMENT; /* unlock without lock */
    } while (!atomic_compare_exchange_weak_explicit(&buffer->lock_count, &count, count - 1,
                                                    memory_order_relaxed, memory_order_relaxed));
    return LV_PIXEL_BUFFER_SUCCESS;
}

void lv_pixel_buffer_get_color(const lv_pixel_buffer* buffer, lv_color_attachments* out) {
    if (!out) return;
    if (!buffer) {
        memset(out, 0, sizeof *out);
        return;
    }
    unsigned packed = atomic_load_explicit(&((lv_pixel_buffer*)buffer)->color, memory_order_relaxed);
    out->matrix = (lv_color_matrix)(packed & 0xFF);
    out->primaries = (lv_color_primaries)(packed >> 8 & 0xFF);
    out->transfer = (lv_color_transfer)(packed >> 16 & 0xFF);
    out->full_range = (int)(packed >> 24 & 1);
}

void lv_pixel_buffer_set_color(lv_pixel_buffer* buffer, const lv_color_attachments* attachments) {
    if (!buffer || !attachments) return;
    lv_color_attachments c = *attachments;
    /* Values outside the enumerations mean nothing to readers; store them as unspecified. */
    if ((unsigned)c.matrix > LV_COLOR_MATRIX_BT2020) c.matrix = LV_COLOR_MATRIX_UNSPECIFIED;
    if ((unsigned)c.primaries > LV_COLOR_PRIMARIES_P3) c.primaries = LV_COLOR_PRIMARIES_UNSPECIFIED;
    if ((unsigned)c.transfer > LV_COLOR_TRANSFER_LINEAR) c.transfer = LV_COLOR_TRANSFER_UNSPECIFIED;
    /* The range is part of the pixel format; a buffer cannot claim the other one. */
    c.full_range = is_full_range(buffer->pixel_format);
    atomic_store_explicit(&buffer->color, pack_color(c), memory_order_relaxed);
}

size_t lv_pixel_buffer_live_count(void) { return atomic_load_explicit(&live_buffers, memory_order_relaxed); }

int lv_pixel_buffer_pool_create(size_t width, size_t height, uint32_t pixel_format,
                                lv_pixel_buffer_pool** out) {
    if (!out) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    *out = NULL;
    layout geometry;
    int status = compute_layout(width, height, pixel_format, &geometry);
    if (status != LV_PIXEL_BUFFER_SUCCESS) return status;
    lv_pixel_buffer_pool* pool = calloc(1, sizeof *pool);
    if (!pool) return LV_PIXEL_BUFFER_ALLOCATION_FAILED;
    if (pthread_mutex_init(&pool->mutex, NULL) != 0) {
        free(pool);
        return LV_PIXEL_BUFFER_ALLOCATION_FAILED;
    }
    pool->references = 1;
    pool->width = width;
    pool->height = height;
    pool->pixel_format = pixel_format;
    pool->geometry = geometry;
    *out = pool;
    return LV_PIXEL_BUFFER_SUCCESS;
}

lv_pixel_buffer_pool* lv_pixel_buffer_pool_retain(lv_pixel_buffer_pool* pool) {
    if (!pool) return NULL;
    pthread_mutex_lock(&pool->mutex);
    pool->references++;
    pthread_mutex_unlock(&pool->mutex);
    return pool;
}

void lv_pixel_buffer_pool_release(lv_pixel_buffer_pool* pool) {
    if (!pool) return;
    lv_pixel_buffer* idle = NULL;
    pthread_mutex_lock(&pool->mutex);
    int pool_done = 0;
    if (--pool->references == 0) {
        /* Nobody can ask for buffers any more: idle ones go now, handed-out ones when they return. */
        idle = pool->idle;
        pool->idle = NULL;
        pool_done = pool->outstanding == 0;
    }
    pthread_mutex_unlock(&pool->mutex);
    destroy_buffer_list(idle);
    if (pool_done) destroy_pool(pool);
}

int lv_pixel_buffer_pool_create_buffer(lv_pixel_buffer_pool* pool, size_t threshold, lv_pixel_buffer** out) {
    if (!out) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;
    *out = NULL;
    if (!pool) return LV_PIXEL_BUFFER_INVALID_ARGUMENT;

    pthread_mutex_lock(&pool->mutex);
    if (threshold != 0 && pool->outstanding >= threshold) {
        pthread_mutex_unlock(&pool->mutex);
        return LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD;
    }
    lv_pixel_buffer* buffer = pool->idle;
    if (buffer) pool->idle = buffer->next_idle;
    pool->outstanding++; /* counted before allocating, so racing callers respect the threshold */
    pthread_mutex_unlock(&pool->mutex);

    if (buffer) {
        buffer->next_idle = NULL;
        atomic_store_explicit(&buffer->references, 1, memory_order_relaxed);
    } else {
        buffer = allocate_buffer(pool->width, pool->height, pool->pixel_format, &pool->geometry, pool);
        if (!buffer) {
            pthread_mutex_lock(&pool->mutex);
            pool->outstanding--;
            pthread_mutex_unlock(&pool->mutex);
            return LV_PIXEL_BUFFER_ALLOCATION_FAILED;
        }
    }
    *out = buffer;
    return LV_PIXEL_BUFFER_SUCCESS;
}

size_t lv_pixel_buffer_pool_get_width(const lv_pixel_buffer_pool* pool) { return pool ? pool->width : 0; }

size_t lv_pixel_buffer_pool_get_height(const lv_pixel_buffer_pool* pool) { return pool ? pool->height : 0; }

uint32_t lv_pixel_buffer_pool_get_pixel_format(const lv_pixel_buffer_pool* pool) {
    return pool ? pool->pixel_format : 0;
}

size_t lv_pixel_buffer_pool_outstanding_count(const lv_pixel_buffer_pool* pool) {
    if (!pool) return 0;
    lv_pixel_buffer_pool* mutable_pool = (lv_pixel_buffer_pool*)pool;
    pthread_mutex_lock(&mutable_pool->mutex);
    size_t count = pool->outstanding;
    pthread_mutex_unlock(&mutable_pool->mutex);
    return count;
}

void lv_pixel_buffer_pool_flush(lv_pixel_buffer_pool* pool) {
    if (!pool) return;
    pthread_mutex_lock(&pool->mutex);
    lv_pixel_buffer* idle = pool->idle;
    pool->idle = NULL;
    pthread_mutex_unlock(&pool->mutex);
    destroy_buffer_list(idle);
}
