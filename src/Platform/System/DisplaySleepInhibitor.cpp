#include "Platform/System/DisplaySleepInhibitor.hpp"

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace lumavane {

namespace {
constexpr const char* serviceName = "org.freedesktop.ScreenSaver";
constexpr const char* objectPath = "/org/freedesktop/ScreenSaver";
constexpr const char* interfaceName = "org.freedesktop.ScreenSaver";
constexpr int callTimeoutMilliseconds = 1000;
} // namespace

struct ScreenSaverInhibitor::State {
    std::string applicationName;
    std::optional<std::string> busAddress;
    GDBusConnection* connection = nullptr;
    bool connectFailed = false;
    bool logged = false;

    // One line per inhibitor, so a machine without the service is not flooded on every play.
    void logOnce(const std::string& what, GError* error) {
        if (!logged) {
            std::fprintf(stderr, "Display sleep inhibition unavailable: %s%s%s\n", what.c_str(),
                         error ? ": " : "", error ? error->message : "");
            logged = true;
        }
        if (error) g_error_free(error);
    }

    GDBusConnection* bus() {
        if (connection || connectFailed) return connection;
        const std::optional<std::string> address = busAddress ? busAddress : sessionBusAddress();
        if (!address) {
            connectFailed = true;
            logOnce("no session bus", nullptr);
            return nullptr;
        }
        GError* error = nullptr;
        connection = g_dbus_connection_new_for_address_sync(
            address->c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (!connection) {
            connectFailed = true;
            logOnce("cannot connect to the session bus", error);
            return nullptr;
        }
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        return connection;
    }
};

ScreenSaverInhibitor::ScreenSaverInhibitor(std::string applicationName, std::optional<std::string> busAddress)
    : state_(std::make_unique<State>()) {
    state_->applicationName = std::move(applicationName);
    state_->busAddress = std::move(busAddress);
}

ScreenSaverInhibitor::~ScreenSaverInhibitor() {
    if (state_->connection) {
        // Closing the connection also ends any request still held.
        g_dbus_connection_close_sync(state_->connection, nullptr, nullptr);
        g_object_unref(state_->connection);
    }
}

std::optional<std::string> ScreenSaverInhibitor::sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return std::string(address);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::filesystem::path socket = std::filesystem::path(runtime) / "bus";
        std::error_code error;
        if (std::filesystem::is_socket(socket, error)) return "unix:path=" + socket.string();
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ScreenSaverInhibitor::inhibit(const std::string& reason) {
    GDBusConnection* connection = state_->bus();
    if (!connection) return std::nullopt;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, serviceName, objectPath, interfaceName, "Inhibit",
        g_variant_new("(ss)", state_->applicationName.c_str(), reason.c_str()), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, &error);
    if (!reply) {
        state_->logOnce("the screen saver refused", error);
        return std::nullopt;
    }
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    return cookie;
}

void ScreenSaverInhibitor::uninhibit(std::uint32_t cookie) {
    GDBusConnection* connection = state_->bus();
    if (!connection) return;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, serviceName, objectPath, interfaceName, "UnInhibit", g_variant_new("(u)", cookie),
        nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, &error);
    if (reply) {
        g_variant_unref(reply);
    } else {
        state_->logOnce("the screen saver refused to release", error);
    }
}

} // namespace lumavane
