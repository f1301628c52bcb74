#include "Platform/Foundation/FileReading.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumavane::files {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error("cannot read file", path,
                                            std::error_code(error, std::generic_category()));
}

[[noreturn]] void failTooLarge(const std::filesystem::path& path, std::uint64_t maxBytes) {
    throw std::filesystem::filesystem_error("file is larger than the " + std::to_string(maxBytes) +
                                                "-byte limit",
                                            path, std::make_error_code(std::errc::file_too_large));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens a regular file; returns its descriptor and measured size.
Descriptor openRegular(const std::filesystem::path& path, std::uint64_t& size) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) fail(path, errno);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) fail(path, errno);
    if (S_ISDIR(status.st_mode)) fail(path, EISDIR);
    if (!S_ISREG(status.st_mode)) fail(path, EINVAL);
    size = static_cast<std::uint64_t>(status.st_size);
    return file;
}

// Reads to the end rather than trusting the size, in case the file changed meanwhile, but
// never more than limit + 1 bytes, so the caller can tell a file that outgrew its cap.
std::vector<std::uint8_t> readToEnd(const std::filesystem::path& path, int fd, std::uint64_t measured,
                                    std::uint64_t limit) {
    const std::uint64_t stop = limit == unlimited ? unlimited : limit + 1;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(measured, stop)));
    std::size_t filled = 0;
    while (filled < stop) {
        if (filled == bytes.size()) {
            bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() + 4096, stop)));
        }
        const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(path, errno);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

} // namespace

FileContents readFile(const std::filesystem::path& path, const std::function<bool(std::uint64_t)>& wanted) {
    std::uint64_t measured = 0;
    const Descriptor file = openRegular(path, measured);
    FileContents contents;
    contents.size = measured;
    if (!wanted(measured)) return contents;

    std::vector<std::uint8_t> bytes = readToEnd(path, file.get(), measured, unlimited);
    contents.size = bytes.size();
    if (bytes.size() != measured && !wanted(bytes.size())) return contents;
    contents.bytes = std::move(bytes);
    return contents;
}

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path, std::uint64_t maxBytes) {
    std::uint64_t measured = 0;
    const Descriptor file = openRegular(path, measured);
    if (measured > maxBytes) failTooLarge(path, maxBytes);
    std::vector<std::uint8_t> bytes = readToEnd(path, file.get(), measured, maxBytes);
    if (bytes.size() > maxBytes) failTooLarge(path, maxBytes);
    return bytes;
}

std::string readWholeText(const std::filesystem::path& path, std::uint64_t maxBytes) {
    const std::vector<std::uint8_t> bytes = readWholeFile(path, maxBytes);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace lumavane::files
