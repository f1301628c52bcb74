/* libFuzzer target: the input is an archive for lv_zip_inspect under the player's limits, then
 * (from its last 29 bytes) one lv_zip_validate_entry call over the same bytes with arbitrary
 * offset, sizes, CRC and method. The file lives in memory (memfd). Every name inspect lets
 * through must be one that extraction can write: within the depth and component bounds, and
 * no more of them than the entry limit; a cancel after a chosen number of entries must stop it. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ModelArchive/ModelArchive.h"

static uint64_t load64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--) value = value << 8 | p[i];
    return value;
}

typedef struct walk {
    unsigned visited;
    unsigned asked;
    unsigned cancel_after; /* 0: never */
} walk;

static void visit(void* context, const char* name, size_t length, uint64_t size) {
    (void)size;
    walk* w = context;
    w->visited++;
    if (!lv_zip_safe_archive_path(name, length)) abort();
    size_t depth = 1, component = 0;
    for (size_t i = 0; i < length; i++) {
        if (name[i] != '/') {
            if (++component > LV_ZIP_LARGEST_COMPONENT_BYTES) abort();
        } else if (i + 1 < length) {
            depth++;
            component = 0;
        }
    }
    if (depth > LV_ZIP_DEEPEST_PATH) abort();
}

static int cancelled(void* context) {
    walk* w = context;
    return w->cancel_after && ++w->asked > w->cancel_after;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("zip", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (size && write(fd, data, size) != (ssize_t)size) abort();
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    const lv_zip_limits limits = {536870912u, 1073741824u, 536870912u, 4096u, 200u};
    int error_number = 0;
    walk w = {0, 0, size ? data[0] % 4 : 0};
    lv_zip_status status = lv_zip_inspect(path, &limits, visit, cancelled, &w, &error_number);
    if (status > LV_ZIP_DAMAGED || (status == LV_ZIP_IO_ERROR) != (error_number != 0)) abort();
    if (w.visited > limits.max_entry_count) abort();
    if (status == LV_ZIP_CANCELLED && (!w.cancel_after || w.visited != w.cancel_after)) abort();

    if (size >= 29) {
        const uint8_t* p = data + size - 29;
        /* Offsets and sizes kept near the file so the reads mean something. */
        uint64_t offset = load64(p) % (size + 8);
        uint64_t compressed = load64(p + 8) % (size + 8);
        uint64_t uncompressed = load64(p + 16) % (4u * size + 64);
        uint32_t crc = (uint32_t)p[24] | (uint32_t)p[25] << 8 | (uint32_t)p[26] << 16 | (uint32_t)p[27] << 24;
        int method = p[28] & 1 ? 8 : (p[28] & 2 ? 0 : p[28]);
        int result = lv_zip_validate_entry(path, offset, compressed, uncompressed, crc, method);
        if (result < 0 || result > 2) abort();
    }
    close(fd);
    return 0;
}
