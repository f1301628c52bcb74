#include "Lumavane/Models/ModelArchiveImporter.hpp"

#include "Lumavane/Models/Uuid.hpp"
#include "ModelArchive/ModelArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <glib.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

namespace lumavane {
namespace fs = std::filesystem;
using ArchiveError = ModelArchiveImporter::ArchiveError;

namespace {

constexpr std::size_t chunkBytes = 65536;

// A descriptor closed on every path; close errors are of no use to anyone here.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

[[noreturn]] void throwSystemError(int error, const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

void writeAll(int fd, const std::uint8_t* data, std::size_t length, const fs::path& path) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throwSystemError(written < 0 ? errno : EIO, "write", path);
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Opens (creating when needed) the folder `name` inside `parent` without following a link.
int openFolder(int parent, const char* name) {
    if (::mkdirat(parent, name, 0755) != 0 && errno != EEXIST) return -1;
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Writes one entry below the destination folder, component by component relative to it, so no
// link on the way is followed and nothing outside can be reached; files are never overwritten.
void writeEntry(struct archive* reader, int root, const std::string& name, bool directory, std::uint64_t size,
                const CancellationToken& cancellation) {
    std::vector<std::unique_ptr<Descriptor>> folders;
    int parent = root;
    std::size_t start = 0;
    const std::size_t end = directory ? name.size() - 1 : name.size();
    for (;;) {
        const std::size_t slash = name.find('/', start);
        if (slash == std::string::npos || slash >= end) break;
        folders.push_back(
            std::make_unique<Descriptor>(openFolder(parent, name.substr(start, slash - start).c_str())));
        if ((parent = folders.back()->get()) < 0) throw ArchiveError(ArchiveError::extractionFailed);
        start = slash + 1;
    }
    const std::string last = name.substr(start, end - start);
    if (directory) {
        if (Descriptor(openFolder(parent, last.c_str())).get() < 0)
            throw ArchiveError(ArchiveError::extractionFailed);
        return;
    }
    const Descriptor file(
        ::openat(parent, last.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0) throw ArchiveError(ArchiveError::extractionFailed);
    std::uint64_t written = 0;
    for (;;) {
        cancellation.throwIfCancelled();
        const void* block = nullptr;
        size_t length = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &length, &offset);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK || offset < 0 || static_cast<std::uint64_t>(offset) > size ||
            length > size - static_cast<std::uint64_t>(offset))
            throw ArchiveError(ArchiveError::extractionFailed);
        written = std::max(written, static_cast<std::uint64_t>(offset) + length);
        const auto* bytes = static_cast<const std::uint8_t*>(block);
        while (length > 0) {
            const ssize_t written = ::pwrite(file.get(), bytes, length, offset);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) throw ArchiveError(ArchiveError::extractionFailed);
            bytes += written;
            length -= static_cast<std::size_t>(written);
            offset += written;
        }
    }
    if (written != size) throw ArchiveError(ArchiveError::extractionFailed);
}

// libarchive turns entry names into the thread's character set; the C locale has no room for
// anything but ASCII. UTF-8 for this thread only, while it extracts.
class UTF8ThreadLocale {
public:
    UTF8ThreadLocale() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {
        if (locale_) previous_ = ::uselocale(locale_);
    }
    ~UTF8ThreadLocale() {
        if (!locale_) return;
        ::uselocale(previous_);
        ::freelocale(locale_);
    }
    UTF8ThreadLocale(const UTF8ThreadLocale&) = delete;
    UTF8ThreadLocale& operator=(const UTF8ThreadLocale&) = delete;

private:
    locale_t locale_;
    locale_t previous_ = LC_GLOBAL_LOCALE;
};

bool isAlphanumeric(gunichar c) {
    switch (g_unichar_type(c)) {
    case G_UNICODE_LOWERCASE_LETTER:
    case G_UNICODE_MODIFIER_LETTER:
    case G_UNICODE_OTHER_LETTER:
    case G_UNICODE_TITLECASE_LETTER:
    case G_UNICODE_UPPERCASE_LETTER:
    case G_UNICODE_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
    case G_UNICODE_NON_SPACING_MARK:
    case G_UNICODE_DECIMAL_NUMBER:
    case G_UNICODE_LETTER_NUMBER:
    case G_UNICODE_OTHER_NUMBER:
        return true;
    default:
        return false;
    }
}

fs::path lastComponentOf(const fs::path& path) {
    return path.has_filename() ? path.filename() : path.parent_path().filename();
}

} // namespace

const char* ArchiveError::what() const noexcept {
    switch (case_) {
    case tooLarge:
        return "The model ZIP exceeds the 512 MB archive, 1 GB expanded, or 512 MB per-file limit.";
    case tooManyEntries:
        return "The model ZIP contains more than 4,096 entries.";
    case unsafeEntry:
        return "The model ZIP contains an unsafe path or symbolic link.";
    case unsupported:
        return "The model ZIP is encrypted, ZIP64, or uses an unsupported compression method.";
    case extractionFailed:
        return "The model ZIP could not be extracted.";
    case manifestNotFound:
        return "The model ZIP must contain exactly one model-series.json file.";
    case notAZip:
        return "The chosen file is not a ZIP archive.";
    case damaged:
        return "The model ZIP is damaged or incomplete.";
    }
    return "The model ZIP could not be extracted.";
}

ModelArchiveImporter::PreparedPackage ModelArchiveImporter::prepare(const fs::path& archive,
                                                                    const Limits& limits,
                                                                    const CancellationToken& cancellation) {
    cancellation.throwIfCancelled(); // given up before it could start: nothing is made
    const std::uintmax_t size = fs::file_size(archive);
    // An empty file is no ZIP at all, not an oversized one.
    if (size == 0) throw ArchiveError(ArchiveError::notAZip);
    if (size > limits.maxArchiveBytes) throw ArchiveError(ArchiveError::tooLarge);

    const fs::path stagingRoot = fs::temp_directory_path() / (std::string(stagingPrefix) + newUUIDString());
    try {
        fs::create_directories(stagingRoot);
        const fs::path source = stagingRoot / "source.zip";
        stageArchive(archive, source, limits.maxArchiveBytes, cancellation);
        CheckedEntries entries = inspect(source, limits, cancellation);
        const fs::path contents = stagingRoot / "contents";
        fs::create_directory(contents);
        extract(source, contents, std::move(entries), cancellation);
        cancellation.throwIfCancelled();
        const fs::path manifestURL = validateExtractedPackage(contents);
        ModelSeriesManifest manifest = ModelSeriesManifest::load(manifestURL);
        fs::remove(source);
        return PreparedPackage{stagingRoot, manifestURL.parent_path(), manifestURL, std::move(manifest)};
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(stagingRoot, ignored);
        throw;
    }
}

void ModelArchiveImporter::stageArchive(const fs::path& source, const fs::path& destination,
                                        std::uint64_t maximumBytes, const CancellationToken& cancellation) {
    const Descriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) throwSystemError(errno, "open", source);
    const Descriptor output(
        ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (output.get() < 0) throw ArchiveError(ArchiveError::extractionFailed);
    std::vector<std::uint8_t> chunk(chunkBytes);
    std::uint64_t total = 0;
    for (;;) {
        cancellation.throwIfCancelled();
        const ssize_t got = ::read(input.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throwSystemError(errno, "read", source);
        if (got == 0) break;
        // The file may have grown since its size was read.
        total += static_cast<std::uint64_t>(got);
        if (total > maximumBytes) throw ArchiveError(ArchiveError::tooLarge);
        writeAll(output.get(), chunk.data(), static_cast<std::size_t>(got), destination);
    }
}

ModelArchiveImporter::CheckedEntries ModelArchiveImporter::inspect(const fs::path& archive,
                                                                   const Limits& limits,
                                                                   const CancellationToken& cancellation) {
    const lv_zip_limits zipLimits{limits.maxArchiveBytes, limits.maxExpandedBytes, limits.maxEntryBytes,
                                  limits.maxEntryCount, limits.maxCompressionRatio};
    struct Walk {
        CheckedEntries entries;
        const CancellationToken& cancellation;
    } walk{{}, cancellation};
    const auto visit = [](void* context, const char* name, size_t length, std::uint64_t size) {
        static_cast<Walk*>(context)->entries.emplace(std::string(name, length), size);
    };
    const auto cancelled = [](void* context) -> int {
        return static_cast<Walk*>(context)->cancellation.isCancelled() ? 1 : 0;
    };
    int errorNumber = 0;
    switch (lv_zip_inspect(archive.c_str(), &zipLimits, visit, cancelled, &walk, &errorNumber)) {
    case LV_ZIP_OK:
        return std::move(walk.entries);
    case LV_ZIP_CANCELLED:
        throw CancellationError{};
    case LV_ZIP_TOO_LARGE:
        throw ArchiveError(ArchiveError::tooLarge);
    case LV_ZIP_TOO_MANY_ENTRIES:
        throw ArchiveError(ArchiveError::tooManyEntries);
    case LV_ZIP_UNSAFE_ENTRY:
        throw ArchiveError(ArchiveError::unsafeEntry);
    case LV_ZIP_UNSUPPORTED:
        throw ArchiveError(ArchiveError::unsupported);
    case LV_ZIP_NOT_A_ZIP:
        throw ArchiveError(ArchiveError::notAZip);
    case LV_ZIP_DAMAGED:
        throw ArchiveError(ArchiveError::damaged);
    case LV_ZIP_IO_ERROR:
        throwSystemError(errorNumber, "read", archive);
    case LV_ZIP_EXTRACTION_FAILED:
        break;
    }
    throw ArchiveError(ArchiveError::extractionFailed);
}

void ModelArchiveImporter::extract(const fs::path& archive, const fs::path& destination,
                                   CheckedEntries entries, const CancellationToken& cancellation) {
    // An archive of no entries has nothing to write (and the extractor would refuse it): what is
    // missing is the manifest, which the check of the tree reports.
    if (entries.empty()) return;
    const Descriptor root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0) throw ArchiveError(ArchiveError::extractionFailed);
    const UTF8ThreadLocale utf8;
    const std::unique_ptr<struct archive, int (*)(struct archive*)> reader(archive_read_new(),
                                                                           archive_read_free);
    if (!reader) throw ArchiveError(ArchiveError::extractionFailed);
    archive_read_support_format_zip_seekable(reader.get());
    // Names are taken as the UTF-8 that inspect() checked; inspect() also tested every CRC-32
    // of this very (private) file, so the second check would only cost time.
    if (archive_read_set_options(reader.get(), "zip:hdrcharset=UTF-8,zip:ignorecrc32") != ARCHIVE_OK ||
        archive_read_open_filename(reader.get(), archive.c_str(), 1 << 20) != ARCHIVE_OK)
        throw ArchiveError(ArchiveError::extractionFailed);
    for (;;) {
        cancellation.throwIfCancelled();
        struct archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) throw ArchiveError(ArchiveError::extractionFailed);
        const mode_t type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry) ||
            (type != AE_IFREG && type != AE_IFDIR))
            throw ArchiveError(ArchiveError::unsafeEntry);
        const char* name = archive_entry_pathname_utf8(entry);
        if (!name) name = archive_entry_pathname(entry);
        const std::string path = name ? name : "";
        const auto checked = entries.find(path);
        if (checked == entries.end()) throw ArchiveError(ArchiveError::extractionFailed);
        const std::uint64_t size = checked->second;
        entries.erase(checked); // each entry once
        writeEntry(reader.get(), root.get(), path, type == AE_IFDIR || path.back() == '/', size,
                   cancellation);
    }
}

fs::path ModelArchiveImporter::validateExtractedPackage(const fs::path& folder) {
    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    if (error) throw ArchiveError(ArchiveError::extractionFailed);
    fs::recursive_directory_iterator item(root, error);
    if (error) throw ArchiveError(ArchiveError::extractionFailed);
    const std::string prefix = root.string() + "/";
    std::vector<fs::path> manifests;
    for (const fs::recursive_directory_iterator end; item != end;) {
        if (item->is_symlink()) throw ArchiveError(ArchiveError::unsafeEntry);
        if (fs::canonical(item->path()).string().compare(0, prefix.size(), prefix) != 0)
            throw ArchiveError(ArchiveError::unsafeEntry);
        if (item->is_regular_file() && item->path().filename() == "model-series.json")
            manifests.push_back(item->path());
        // A tree that cannot be read to the end cannot be vouched for.
        item.increment(error);
        if (error) throw ArchiveError(ArchiveError::extractionFailed);
    }
    if (manifests.size() != 1) throw ArchiveError(ArchiveError::manifestNotFound);
    return manifests.front();
}

fs::path ModelArchiveImporter::install(const PreparedPackage& package, const fs::path& modelsFolder) {
    fs::create_directories(modelsFolder);
    const fs::path destination =
        modelsFolder /
        (safeComponent(package.manifest.id + "-" + package.manifest.version) + "-" + newUUIDString());
    std::error_code moveError;
    fs::rename(package.packageRoot, destination, moveError);
    if (moveError) {
        std::error_code copyError;
        fs::copy(package.packageRoot, destination, fs::copy_options::recursive, copyError);
        if (copyError) {
            // A half-copied package must not be left among the installed ones.
            std::error_code ignored;
            fs::remove_all(destination, ignored);
            throw fs::filesystem_error("copy", package.packageRoot, destination, copyError);
        }
    }
    std::error_code ignored;
    fs::remove_all(package.stagingRoot, ignored);
    return destination / "model-series.json";
}

void ModelArchiveImporter::discard(const std::optional<fs::path>& stagingRoot) noexcept {
    if (!stagingRoot || !lastComponentOf(*stagingRoot).string().starts_with(stagingPrefix)) return;
    std::error_code ignored;
    fs::remove_all(*stagingRoot, ignored);
}

bool ModelArchiveImporter::safeArchivePath(std::string_view name) {
    return lv_zip_safe_archive_path(name.data(), name.size()) != 0;
}

std::string ModelArchiveImporter::safeComponent(std::string_view text) {
    std::string result;
    std::size_t characters = 0;
    for (const char* p = text.data(); p < text.data() + text.size();) {
        gunichar c = g_utf8_get_char_validated(p, static_cast<gssize>(text.data() + text.size() - p));
        const bool valid = c < 0x110000;
        const std::size_t length = valid ? static_cast<std::size_t>(g_utf8_next_char(p) - p) : 1;
        const bool kept = valid && (isAlphanumeric(c) || c == '-' || c == '_' || c == '.');
        // Every scalar counts, marks too: a file system counts bytes, not what a reader sees.
        if (++characters > largestComponentCharacters ||
            result.size() + (kept ? length : 1) > largestComponentBytes)
            break;
        if (kept)
            result.append(p, length);
        else
            result += '-';
        p += length;
    }
    return result;
}

} // namespace lumavane
