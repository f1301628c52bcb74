#define _GNU_SOURCE
#include "ModelArchive/ModelArchive.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

enum { chunk_bytes = 65536 };

/* Reads exactly length bytes at offset; 0 on success, -1 on an error or a short read. */
static int read_exactly(int fd, unsigned char* buffer, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        if (offset + done > (uint64_t)INT64_MAX) return -1;
        ssize_t got = pread(fd, buffer + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += (size_t)got;
    }
    return 0;
}

static int check_stored(int fd, uint64_t data_offset, uint64_t size, uint32_t expected_crc32) {
    unsigned char buffer[chunk_bytes];
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t done = 0;
    while (done < size) {
        size_t length = size - done < chunk_bytes ? (size_t)(size - done) : chunk_bytes;
        if (read_exactly(fd, buffer, length, data_offset + done) != 0) return 2;
        crc = crc32(crc, buffer, (uInt)length);
        done += length;
    }
    return crc == expected_crc32 ? 0 : 2;
}

static int check_deflated(int fd, uint64_t data_offset, uint64_t compressed_size, uint64_t uncompressed_size,
                          uint32_t expected_crc32) {
    unsigned char input[chunk_bytes];
    unsigned char output[chunk_bytes];
    z_stream stream = {0};
    if (inflateInit2(&stream, -15) != Z_OK) return 2;
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t consumed = 0; /* compressed bytes read into the input buffer so far */
    uint64_t produced = 0;
    int result = 2;
    for (;;) {
        if (stream.avail_in == 0 && consumed < compressed_size) {
            uint64_t left = compressed_size - consumed;
            size_t length = left < chunk_bytes ? (size_t)left : chunk_bytes;
            if (read_exactly(fd, input, length, data_offset + consumed) != 0) goto done;
            consumed += length;
            stream.next_in = input;
            stream.avail_in = (uInt)length;
        }
        stream.next_out = output;
        stream.avail_out = chunk_bytes;
        int status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) goto done;
        uint64_t made = chunk_bytes - stream.avail_out;
        if (made > uncompressed_size - produced) {
            result = 1;
            goto done;
        }
        produced += made;
        crc = crc32(crc, output, (uInt)made);
        if (status == Z_STREAM_END) break;
    }
    if (stream.avail_in == 0 && consumed == compressed_size && crc == expected_crc32 &&
        produced == uncompressed_size)
        result = 0;
done:
    inflateEnd(&stream);
    return result;
}

int lv_zip_validate_entry(const char* path, uint64_t data_offset, uint64_t compressed_size,
                          uint64_t uncompressed_size, uint32_t expected_crc32, int method) {
    if (method != 0 && method != 8) return 2;
    if (method == 0 && compressed_size != uncompressed_size) return 2;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 2;
    int result = method == 8
                     ? check_deflated(fd, data_offset, compressed_size, uncompressed_size, expected_crc32)
                     : check_stored(fd, data_offset, uncompressed_size, expected_crc32);
    close(fd);
    return result;
}
