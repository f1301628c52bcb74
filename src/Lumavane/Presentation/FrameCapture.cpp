#include "Lumavane/Presentation/FrameCapture.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Platform/Foundation/AtomicWrite.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <system_error>

namespace lumavane {

namespace {

std::string newUUIDPrefix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[9];
    std::snprintf(text, sizeof text, "%08X", unsigned(generator() & 0xffffffffu));
    return text;
}

// A capture failure's text in the interface language, with the system's reason where there is one.
std::string say(const std::string& language, const char* key, const std::vector<FormatArgument>& arguments) {
    return AppLocalization::formatString(
        AppLocalization::string(key, language, AppLocalization::systemLanguagePreferences()), "", arguments);
}

std::string notSaved(const std::string& language, const std::string& name, const std::string& reason) {
    return say(language, "「%@」を保存できませんでした（%@）。", {name, reason});
}

} // namespace

std::string captureFileName(double secondsSince1970) {
    const auto milliseconds = static_cast<long long>(std::trunc(secondsSince1970 * 1000));
    return "Lumavane-" + std::to_string(milliseconds) + "-" + newUUIDPrefix() + ".png";
}

std::string captureFileName() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return captureFileName(std::chrono::duration<double>(now).count());
}

image::CPUImage composeCapture(const image::CPUImage& picture, const std::optional<image::CPUImage>& overlay) {
    if (!overlay) return picture;
    const int w = picture.width(), h = picture.height();
    std::vector<std::uint8_t> bytes(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* base = picture.row(y);
        const std::uint8_t* top = overlay->row(int(std::int64_t(y) * overlay->height() / h));
        std::uint8_t* out = &bytes[std::size_t(y) * w * 4];
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* o = top + std::size_t(std::int64_t(x) * overlay->width() / w) * 4;
            const unsigned keep = 255 - o[3];
            for (int c = 0; c < 4; ++c) out[x * 4 + c] = std::uint8_t(o[c] + (base[x * 4 + c] * keep + 127) / 255);
        }
    }
    return *image::CPUImage::make(w, h, 8, 32, std::size_t(w) * 4, std::move(bytes));
}

std::optional<std::string> CaptureSaver::writeIntoFolder(const std::filesystem::path& folder, const std::string& name,
                                                         const std::vector<std::uint8_t>& png,
                                                         const std::string& language) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(folder, ignored))
        return say(language, "キャプチャフォルダ「%@」が見つかりません。", {folder.string()});
    if (::access(folder.c_str(), W_OK) != 0)
        return say(language, "キャプチャフォルダ「%@」に保存する権限がありません。", {folder.string()});
    const auto path = folder / name;
    // O_EXCL: an existing file of that name is never replaced.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return notSaved(language, name, std::strerror(errno));
    std::size_t written = 0;
    while (written < png.size()) {
        const ssize_t n = ::write(fd, png.data() + written, png.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string why = std::strerror(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return notSaved(language, name, why);
        }
        written += std::size_t(n);
    }
    if (::close(fd) != 0) return notSaved(language, name, std::strerror(errno));
    return std::nullopt;
}

void CaptureSaver::save(const image::CPUImage& picture, const std::optional<image::CPUImage>& overlay,
                        const std::function<void(image::CPUImage)>& completion) {
    const image::CPUImage composed = composeCapture(picture, overlay);
    if (completion) {
        completion(composed);
        return;
    }
    const std::string language = d_.defaults.string(AppLocalization::languageKey).value_or("system");
    auto png = image::encodePNG(composed);
    if (!png) {
        if (d_.showError) d_.showError(say(language, "映像をキャプチャできませんでした（PNGを作成できませんでした）。", {}));
        return;
    }
    const std::string name = d_.fileName ? d_.fileName() : captureFileName();
    const auto folder = d_.defaults.string("player.captureDirectory");
    if (d_.defaults.string("player.captureSaveMode") == std::optional<std::string>("folder") && folder &&
        !folder->empty()) {
        const auto error = writeIntoFolder(*folder, name, *png, language);
        if (!error) {
            d_.defaults.set("player.captureDirectory", *folder);
            return;
        }
        if (d_.showError) d_.showError(*error);
    }
    if (!d_.askForPath) return;
    const std::string title =
        AppLocalization::string("表示中の映像を保存", language, AppLocalization::systemLanguagePreferences());
    d_.askForPath(title, name, [png = std::move(*png), showError = d_.showError, language](auto path) {
        if (!path) return;
        try {
            files::writeAtomically(*path, std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
        } catch (const std::system_error& error) {
            if (showError) showError(notSaved(language, path->filename().string(), error.code().message()));
        } catch (const std::exception&) {
            if (showError) showError(notSaved(language, path->filename().string(), std::strerror(EIO)));
        }
    });
}

} // namespace lumavane
