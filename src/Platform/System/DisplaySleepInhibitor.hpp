#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumavane {

// Keeps the display awake while a request is held.
class DisplaySleepInhibiting {
public:
    virtual ~DisplaySleepInhibiting() = default;
    // A cookie for the held request, or nothing when it was refused.
    virtual std::optional<std::uint32_t> inhibit(const std::string& reason) = 0;
    virtual void uninhibit(std::uint32_t cookie) = 0;
};

// org.freedesktop.ScreenSaver Inhibit/UnInhibit on the session bus. The connection is made on
// the first request and kept: the desktop drops a connection's requests when it closes. Without
// a session bus, or when the desktop refuses, requests fail quietly after one line on standard
// error. The calls wait for the bus (a local round trip, bounded by a short timeout).
class ScreenSaverInhibitor final : public DisplaySleepInhibiting {
public:
    // busAddress: a D-Bus address; none means the user's session bus (DBUS_SESSION_BUS_ADDRESS,
    // else $XDG_RUNTIME_DIR/bus when that socket exists). No bus is ever launched.
    explicit ScreenSaverInhibitor(std::string applicationName = "Lumavane",
                                  std::optional<std::string> busAddress = std::nullopt);
    ~ScreenSaverInhibitor() override;
    ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
    ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

    std::optional<std::uint32_t> inhibit(const std::string& reason) override;
    void uninhibit(std::uint32_t cookie) override;

    // The session bus address as described above, or nothing.
    static std::optional<std::string> sessionBusAddress();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lumavane
