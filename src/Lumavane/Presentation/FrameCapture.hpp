#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Image/CPUImage.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace lumavane {

// "Lumavane-" + whole milliseconds since 1970 + "-" + the first 8 characters of a new UUID
// (upper-case hexadecimal) + ".png".
std::string captureFileName(double secondsSince1970);
std::string captureFileName(); // now

// The picture with the overlay (premultiplied BGRA, may be of another size) stretched over it.
image::CPUImage composeCapture(const image::CPUImage& picture, const std::optional<image::CPUImage>& overlay);

// Writes captured frames: into the folder stored under "player.captureDirectory" when
// "player.captureSaveMode" is "folder", else (or after a failure there) through a save dialog.
class CaptureSaver {
public:
    struct Dependencies {
        DefaultsStore defaults;
        // Asks where to save (title, suggested name); the answer arrives later, none when cancelled.
        std::function<void(const std::string& title, const std::string& name,
                           std::function<void(std::optional<std::filesystem::path>)> answer)>
            askForPath;
        // The platform's alert built from an error.
        std::function<void(const std::string& message)> showError;
        std::function<std::string()> fileName; // empty: captureFileName()
    };
    explicit CaptureSaver(Dependencies dependencies) : d_(std::move(dependencies)) {}

    void save(const image::CPUImage& picture, const std::optional<image::CPUImage>& overlay,
              const std::function<void(image::CPUImage)>& completion);

    // Writes into the folder without replacing a file; the error text on failure.
    // The failure's text in `language` (an interface language id, "system" included).
    static std::optional<std::string> writeIntoFolder(const std::filesystem::path& folder,
                                                      const std::string& name,
                                                      const std::vector<std::uint8_t>& png,
                                                      const std::string& language = "system");

private:
    Dependencies d_;
};

} // namespace lumavane
