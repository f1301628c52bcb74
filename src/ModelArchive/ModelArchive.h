/* Strict checks of a model package ZIP before anything of it is unpacked: a subset of the
 * ZIP application note (single disk, no ZIP64, stored or deflate, no encryption), every entry
 * test-inflated and its CRC-32 checked without writing anything. */
#ifndef LUMAVANE_MODEL_ARCHIVE_H
#define LUMAVANE_MODEL_ARCHIVE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lv_zip_limits {
    uint64_t max_archive_bytes;
    uint64_t max_expanded_bytes;
    uint64_t max_entry_bytes;
    uint64_t max_entry_count;
    uint64_t max_compression_ratio;
} lv_zip_limits;

typedef enum lv_zip_status {
    LV_ZIP_OK = 0,
    LV_ZIP_TOO_LARGE,
    LV_ZIP_TOO_MANY_ENTRIES,
    LV_ZIP_UNSAFE_ENTRY,
    LV_ZIP_UNSUPPORTED,
    LV_ZIP_EXTRACTION_FAILED,
    LV_ZIP_IO_ERROR, /* a stat, open or read failed; the errno value is reported */
    LV_ZIP_CANCELLED, /* the caller asked to stop */
    LV_ZIP_NOT_A_ZIP, /* no end record and no ZIP signature at the start: some other file */
    LV_ZIP_DAMAGED    /* a ZIP whose records contradict each other or the file: cut short, altered */
} lv_zip_status;

/* What an entry name may imply on disk: a component (folder or file name) longer than a file
 * system takes, or a path deeper than a model package needs, is unsafe. */
enum { LV_ZIP_LARGEST_COMPONENT_BYTES = 255, LV_ZIP_DEEPEST_PATH = 32 };

/* Test-inflates one entry of the file at path (stored: method 0, deflate: method 8) and checks
 * its CRC-32 and size. 0: valid; 1: inflates to more than uncompressed_size; 2: anything else.
 * Reentrant: own descriptor, positional reads, buffers on the stack. */
int lv_zip_validate_entry(const char* path, uint64_t data_offset, uint64_t compressed_size,
                          uint64_t uncompressed_size, uint32_t expected_crc32, int method);

/* Offset of the end of central directory record in the tail of a file: the last signature whose
 * comment reaches exactly to the end of the data. Returns 1 and sets *offset when found, else 0. */
int lv_zip_end_of_central_directory(const uint8_t* data, size_t length, size_t* offset);

/* 1 when the entry name (length bytes, not NUL-terminated) is valid UTF-8 and a safe relative
 * path: at most 1,024 bytes, no leading "/", no backslash, ":" or NUL, no empty, "." or ".."
 * component (one trailing "/" marks a directory), no component over
 * LV_ZIP_LARGEST_COMPONENT_BYTES and at most LV_ZIP_DEEPEST_PATH components. */
int lv_zip_safe_archive_path(const char* name, size_t length);

/* Called once for every entry that passed, in central directory order: name bytes (not
 * NUL-terminated) and uncompressed size. */
typedef void (*lv_zip_entry_visitor)(void* context, const char* name, size_t name_length,
                                     uint64_t uncompressed_size);

/* Asked before each entry is checked; non-zero stops the check with LV_ZIP_CANCELLED. */
typedef int (*lv_zip_cancel_check)(void* context);

/* Checks the whole archive at path against the limits, telling visitor (may be NULL) about each
 * entry that passed. Every file and folder the names imply, each counted once as a file system
 * that folds case would see it, counts against max_entry_count (LV_ZIP_TOO_MANY_ENTRIES), so
 * names alone cannot make extraction create more. Zero bytes or no ZIP at all are
 * LV_ZIP_NOT_A_ZIP, records that do not fit together LV_ZIP_DAMAGED, several disks, ZIP64,
 * encryption and other compression methods LV_ZIP_UNSUPPORTED; on LV_ZIP_IO_ERROR *error_number holds errno. cancelled may be NULL; it and
 * visitor get context. */
lv_zip_status lv_zip_inspect(const char* path, const lv_zip_limits* limits, lv_zip_entry_visitor visitor,
                             lv_zip_cancel_check cancelled, void* context, int* error_number);

#ifdef __cplusplus
}
#endif

#endif
