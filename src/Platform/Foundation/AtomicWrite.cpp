#include "Platform/Foundation/AtomicWrite.hpp"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumavane::files {

namespace {

[[noreturn]] void failWrite(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

} // namespace

void writeAtomically(const std::filesystem::path& path, std::string_view text, mode_t permissions) {
    const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
    std::filesystem::create_directories(folder);
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) failWrite("cannot create a temporary file", folder, errno);
    const auto discard = [&](const char* what) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        failWrite(what, path, error);
    };
    if (::fchmod(fd, permissions) != 0) discard("cannot write file");
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            discard("cannot write file");
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) discard("cannot write file");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        failWrite("cannot write file", path, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        failWrite("cannot replace file", path, error);
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

} // namespace lumavane::files
