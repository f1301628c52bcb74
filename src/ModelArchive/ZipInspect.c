#define _GNU_SOURCE
#include "ModelArchive/ModelArchive.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    end_record_bytes = 22,
    central_header_bytes = 46,
    local_header_bytes = 30,
    largest_tail_bytes = end_record_bytes + 65535,
    largest_name_bytes = 1024,
};
static const uint64_t largest_central_directory = 16u * 1024u * 1024u;

static uint16_t u16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t u32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int lv_zip_end_of_central_directory(const uint8_t* data, size_t length, size_t* offset) {
    if (length < end_record_bytes) return 0;
    for (size_t at = length - end_record_bytes + 1; at-- > 0;) {
        if (u32(data + at) == 0x06054b50u && at + end_record_bytes + u16(data + at + 20) == length) {
            *offset = at;
            return 1;
        }
    }
    return 0;
}

int lv_zip_safe_archive_path(const char* name, size_t length) {
    if (length == 0 || length > largest_name_bytes) return 0;
    if (memchr(name, '\0', length) || memchr(name, '\\', length) || memchr(name, ':', length)) return 0;
    if (!g_utf8_validate(name, (gssize)length, NULL)) return 0;
    if (name[0] == '/') return 0;
    size_t end = name[length - 1] == '/' ? length - 1 : length; /* a directory's final slash */
    size_t start = 0;
    for (int depth = 1;; depth++) {
        const char* slash = memchr(name + start, '/', end - start);
        size_t piece_end = slash ? (size_t)(slash - name) : end;
        size_t piece = piece_end - start;
        if (piece == 0 || piece > LV_ZIP_LARGEST_COMPONENT_BYTES || depth > LV_ZIP_DEEPEST_PATH) return 0;
        if (name[start] == '.' && (piece == 1 || (piece == 2 && name[start + 1] == '.'))) return 0;
        if (!slash) return 1;
        start = piece_end + 1;
    }
}

/* Reads exactly length bytes at offset: 0 done, 1 short (past the end), -1 error (errno set). */
static int read_at(int fd, void* buffer, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, (uint8_t*)buffer + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 1;
        done += (size_t)got;
    }
    return 0;
}

/* The name as a file system that folds case and normalisation would see it, without a directory's
 * trailing slash: two entries with one key would be written to one place. */
static char* name_key(const char* name, size_t length) {
    if (length > 0 && name[length - 1] == '/') length--;
    char* decomposed = g_utf8_normalize(name, (gssize)length, G_NORMALIZE_NFD);
    if (!decomposed) return NULL;
    char* folded = g_utf8_casefold(decomposed, -1);
    g_free(decomposed);
    char* key = g_utf8_normalize(folded, -1, G_NORMALIZE_NFD);
    g_free(folded);
    return key;
}

typedef struct walk {
    int fd;
    const char* path;
    const lv_zip_limits* limits;
    lv_zip_entry_visitor visitor;
    lv_zip_cancel_check cancelled;
    void* context;
    uint64_t file_size;
    uint64_t directory_offset;
    const uint8_t* directory;
    uint64_t directory_size;
    GHashTable* names; /* the entries' keys */
    GHashTable* paths; /* every file and folder the names imply */
    uint64_t expanded;
    uint64_t compressed;
    int error_number;
} walk;

static lv_zip_status io_failure(walk* w) {
    w->error_number = errno;
    return LV_ZIP_IO_ERROR;
}

/* Counts the entry's key and the folders above it (the key's prefixes up to each "/": folding and
 * normalising never move a character across a slash) among the archive's paths. 0 when there
 * are then more than the entry limit allows. */
static int count_paths(walk* w, const char* key) {
    for (const char* slash = strchr(key, '/');; slash = strchr(slash + 1, '/')) {
        const size_t length = slash ? (size_t)(slash - key) : strlen(key);
        g_hash_table_add(w->paths, g_strndup(key, length)); /* a known one is freed again */
        if (g_hash_table_size(w->paths) > w->limits->max_entry_count) return 0;
        if (!slash) return 1;
    }
}

/* One central directory record at *position; moves *position to the next one. */
static lv_zip_status check_record(walk* w, uint64_t* position) {
    const uint64_t p = *position;
    if (p + central_header_bytes > w->directory_size) return LV_ZIP_DAMAGED;
    const uint8_t* record = w->directory + p;
    if (u32(record) != 0x02014b50u) return LV_ZIP_DAMAGED;
    const uint8_t host = record[5];
    const uint16_t flags = u16(record + 8);
    const uint16_t method = u16(record + 10);
    const uint32_t crc = u32(record + 16);
    const uint32_t compressed = u32(record + 20);
    const uint32_t uncompressed = u32(record + 24);
    const uint16_t name_length = u16(record + 28);
    const uint32_t mode = u32(record + 38) >> 16;
    const uint32_t local_offset = u32(record + 42);
    const uint64_t next = p + central_header_bytes + name_length + u16(record + 30) + u16(record + 32);
    if (name_length == 0 || next > w->directory_size) return LV_ZIP_DAMAGED;
    if (compressed == 0xFFFFFFFFu || uncompressed == 0xFFFFFFFFu || local_offset == 0xFFFFFFFFu ||
        (flags & 1))
        return LV_ZIP_UNSUPPORTED;
    if (method != 0 && method != 8) return LV_ZIP_UNSUPPORTED;

    const char* name = (const char*)record + central_header_bytes;
    if (!lv_zip_safe_archive_path(name, name_length)) return LV_ZIP_UNSAFE_ENTRY;
    char* key = name_key(name, name_length);
    if (!key) return LV_ZIP_UNSAFE_ENTRY;
    if (!g_hash_table_add(w->names, key)) return LV_ZIP_UNSAFE_ENTRY; /* the table owns key */
    if (!count_paths(w, key)) return LV_ZIP_TOO_MANY_ENTRIES;
    const uint32_t type = mode & 0xF000u;
    if (host == 3 && type != 0 && type != 0x8000u && type != 0x4000u) return LV_ZIP_UNSAFE_ENTRY;

    if ((uint64_t)local_offset + local_header_bytes > w->file_size) return LV_ZIP_DAMAGED;
    uint8_t local[local_header_bytes];
    int got = read_at(w->fd, local, sizeof local, local_offset);
    if (got < 0) return io_failure(w);
    if (got > 0 || u32(local) != 0x04034b50u) return LV_ZIP_DAMAGED;
    const uint16_t local_flags = u16(local + 6);
    if (local_flags & 1) return LV_ZIP_UNSUPPORTED;
    if (local_flags != flags || u16(local + 8) != method || u16(local + 26) != name_length) return LV_ZIP_DAMAGED;
    const uint64_t data_start = (uint64_t)local_offset + local_header_bytes + name_length + u16(local + 28);
    if (data_start > w->file_size) return LV_ZIP_DAMAGED;
    if (!(flags & 8) &&
        (u32(local + 14) != crc || u32(local + 18) != compressed || u32(local + 22) != uncompressed))
        return LV_ZIP_DAMAGED;
    char local_name[largest_name_bytes];
    got = read_at(w->fd, local_name, name_length, (uint64_t)local_offset + local_header_bytes);
    if (got < 0) return io_failure(w);
    if (got > 0) return LV_ZIP_DAMAGED;
    if (memcmp(local_name, name, name_length) != 0) return LV_ZIP_UNSAFE_ENTRY;

    const lv_zip_limits* limits = w->limits;
    if (uncompressed > limits->max_entry_bytes) return LV_ZIP_TOO_LARGE;
    if (uncompressed > 0 && (compressed == 0 || uncompressed / compressed > limits->max_compression_ratio))
        return LV_ZIP_TOO_LARGE;
    w->expanded += uncompressed; /* at most 65,535 records of under 4 GiB each: no overflow */
    w->compressed += compressed;
    if (w->expanded > limits->max_expanded_bytes) return LV_ZIP_TOO_LARGE;
    if (data_start + compressed > w->directory_offset) return LV_ZIP_DAMAGED;

    switch (lv_zip_validate_entry(w->path, data_start, compressed, uncompressed, crc, method)) {
    case 0:
        break;
    case 1:
        return LV_ZIP_TOO_LARGE;
    default:
        return LV_ZIP_EXTRACTION_FAILED;
    }
    if (w->visitor) w->visitor(w->context, name, name_length, uncompressed);
    *position = next;
    return LV_ZIP_OK;
}

static lv_zip_status inspect_open(walk* w) {
    struct stat status;
    if (fstat(w->fd, &status) != 0) return io_failure(w);
    w->file_size = (uint64_t)status.st_size;
    if (w->file_size == 0) return LV_ZIP_NOT_A_ZIP;
    if (w->file_size > w->limits->max_archive_bytes) return LV_ZIP_TOO_LARGE;

    uint8_t* tail = malloc(largest_tail_bytes);
    if (!tail) return LV_ZIP_EXTRACTION_FAILED;
    const size_t tail_length = w->file_size < largest_tail_bytes ? (size_t)w->file_size : largest_tail_bytes;
    int got = read_at(w->fd, tail, tail_length, w->file_size - tail_length);
    if (got != 0) {
        lv_zip_status failure = got < 0 ? io_failure(w) : LV_ZIP_DAMAGED; /* shrank meanwhile */
        free(tail);
        return failure;
    }
    size_t at = 0;
    if (!lv_zip_end_of_central_directory(tail, tail_length, &at)) {
        free(tail);
        /* A file that begins as a ZIP but has no end record was cut short (or had bytes added). */
        uint8_t start[4];
        got = read_at(w->fd, start, sizeof start, 0);
        if (got < 0) return io_failure(w);
        return got == 0 && u32(start) == 0x04034b50u ? LV_ZIP_DAMAGED : LV_ZIP_NOT_A_ZIP;
    }
    const uint8_t* end = tail + at;
    const uint16_t this_disk = u16(end + 4), directory_disk = u16(end + 6);
    const uint16_t records_here = u16(end + 8), records = u16(end + 10);
    w->directory_size = u32(end + 12);
    w->directory_offset = u32(end + 16);
    free(tail);
    if (this_disk != 0 || directory_disk != 0 || records_here != records || records == 0xFFFF ||
        w->directory_size == 0xFFFFFFFFu || w->directory_offset == 0xFFFFFFFFu)
        return LV_ZIP_UNSUPPORTED;
    if (records > w->limits->max_entry_count) return LV_ZIP_TOO_MANY_ENTRIES;
    if (w->directory_size > largest_central_directory) return LV_ZIP_UNSUPPORTED;
    if (w->directory_offset + w->directory_size > w->file_size) return LV_ZIP_DAMAGED;

    uint8_t* directory = malloc(w->directory_size ? w->directory_size : 1);
    if (!directory) return LV_ZIP_EXTRACTION_FAILED;
    got = read_at(w->fd, directory, w->directory_size, w->directory_offset);
    if (got != 0) {
        lv_zip_status failure = got < 0 ? io_failure(w) : LV_ZIP_DAMAGED;
        free(directory);
        return failure;
    }
    w->directory = directory;
    w->names = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    w->paths = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    lv_zip_status result = LV_ZIP_OK;
    uint64_t position = 0;
    for (unsigned i = 0; i < records && result == LV_ZIP_OK; i++) {
        if (w->cancelled && w->cancelled(w->context))
            result = LV_ZIP_CANCELLED;
        else
            result = check_record(w, &position);
    }
    g_hash_table_destroy(w->paths);
    g_hash_table_destroy(w->names);
    free(directory);
    if (result != LV_ZIP_OK) return result;
    if (position != w->directory_size) return LV_ZIP_DAMAGED;
    if (w->expanded > w->limits->max_expanded_bytes) return LV_ZIP_TOO_LARGE;
    if (w->expanded > 0 &&
        (w->compressed == 0 || w->expanded / w->compressed > w->limits->max_compression_ratio))
        return LV_ZIP_TOO_LARGE;
    return LV_ZIP_OK;
}

lv_zip_status lv_zip_inspect(const char* path, const lv_zip_limits* limits, lv_zip_entry_visitor visitor,
                             lv_zip_cancel_check cancelled, void* context, int* error_number) {
    walk w = {.path = path, .limits = limits, .visitor = visitor, .cancelled = cancelled, .context = context};
    w.fd = open(path, O_RDONLY | O_CLOEXEC);
    lv_zip_status result = w.fd < 0 ? io_failure(&w) : inspect_open(&w);
    if (w.fd >= 0) close(w.fd);
    if (error_number) *error_number = result == LV_ZIP_IO_ERROR ? w.error_number : 0;
    return result;
}
