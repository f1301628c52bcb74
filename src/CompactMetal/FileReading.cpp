#include "CompactMetal/FileReading.hpp"

#include "CompactMetal/CompactMetalError.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumavane::compact_files {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error("cannot read file", path,
                                            std::error_code(error, std::generic_category()));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

FileContents readFile(const std::filesystem::path& path, const std::function<bool(std::uint64_t)>& wanted) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) fail(path, errno);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) fail(path, errno);
    if (S_ISDIR(status.st_mode)) fail(path, EISDIR);
    if (!S_ISREG(status.st_mode)) fail(path, EINVAL);

    const auto measured = static_cast<std::uint64_t>(status.st_size);
    FileContents contents;
    contents.size = measured;
    if (!wanted(measured)) return contents;

    // Read to the end rather than trusting the size, in case the file changed meanwhile.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(measured));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) bytes.resize(bytes.size() + 4096);
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(path, errno);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    contents.size = filled;
    if (filled != measured && !wanted(filled)) return contents;
    contents.bytes = std::move(bytes);
    return contents;
}

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path) {
    return std::move(*readFile(path, [](std::uint64_t) { return true; }).bytes);
}

std::string readWholeText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = readWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<float> littleEndianFloats(const std::vector<std::uint8_t>& bytes) {
    std::vector<float> values(bytes.size() / 4);
    if constexpr (std::endian::native == std::endian::little) {
        if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * 4);
    } else {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::uint8_t* b = bytes.data() + 4 * i;
            const std::uint32_t word = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                       std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
            values[i] = std::bit_cast<float>(word);
        }
    }
    return values;
}

std::optional<std::vector<float>> floatsIfCount(const std::filesystem::path& path,
                                                std::optional<std::uint64_t> expected) {
    const auto wanted = [&](std::uint64_t size) {
        return size % 4 == 0 && expected && size / 4 == *expected;
    };
    FileContents contents = readFile(path, wanted);
    require(contents.size % 4 == 0, "Invalid float file");
    if (!contents.bytes) return std::nullopt;
    return littleEndianFloats(*contents.bytes);
}

} // namespace lumavane::compact_files
