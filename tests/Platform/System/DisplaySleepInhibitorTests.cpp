#include "Platform/System/DisplaySleepInhibitor.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumavane {
namespace {

TEST(ScreenSaverInhibitor, WithoutABusRefusesQuietlyAfterOneLine) {
    ScreenSaverInhibitor inhibitor("Lumavane", "unix:path=/nonexistent/lumavane-test-bus");
    testing::internal::CaptureStderr();
    EXPECT_EQ(inhibitor.inhibit("reason"), std::nullopt);
    EXPECT_EQ(inhibitor.inhibit("reason"), std::nullopt);
    inhibitor.uninhibit(7);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("Display sleep inhibition unavailable"), std::string::npos) << log;
}

// A screen saver of our own on the session bus, answering on its own thread.
class FakeScreenSaver {
public:
    FakeScreenSaver() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~FakeScreenSaver() {
        // Queued on the loop's context, so it also works before the loop has started running.
        g_main_context_invoke(
            context_,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return gboolean(G_SOURCE_REMOVE);
            },
            loop_);
        thread_.join();
    }

    bool owned() const { return owned_; }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    static constexpr const char* introspection =
        "<node><interface name='org.freedesktop.ScreenSaver'>"
        "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='UnInhibit'><arg type='u' direction='in'/></method>"
        "</interface></node>";

    static void handle(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<FakeScreenSaver*>(data);
        std::lock_guard lock(self->mutex_);
        if (std::string(method) == "Inhibit") {
            const gchar* application = nullptr;
            const gchar* reason = nullptr;
            g_variant_get(parameters, "(&s&s)", &application, &reason);
            self->calls_.push_back(std::string("Inhibit ") + application + " " + reason);
            g_dbus_method_invocation_return_value(invocation,
                                                  g_variant_new("(u)", 41u + guint(self->calls_.size())));
        } else {
            guint32 cookie = 0;
            g_variant_get(parameters, "(u)", &cookie);
            self->calls_.push_back("UnInhibit " + std::to_string(cookie));
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    void run() {
        GMainContext* context = context_ = g_main_context_new();
        g_main_context_push_thread_default(context);
        GDBusConnection* connection = nullptr;
        guint registration = 0;
        GDBusNodeInfo* node = nullptr;
        if (const auto address = ScreenSaverInhibitor::sessionBusAddress()) {
            connection = g_dbus_connection_new_for_address_sync(
                address->c_str(),
                GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                     G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr);
        }
        if (connection) {
            node = g_dbus_node_info_new_for_xml(introspection, nullptr);
            static const GDBusInterfaceVTable vtable = {&FakeScreenSaver::handle, nullptr, nullptr, {}};
            registration =
                g_dbus_connection_register_object(connection, "/org/freedesktop/ScreenSaver",
                                                  node->interfaces[0], &vtable, this, nullptr, nullptr);
            // DO_NOT_QUEUE (4): a desktop's own screen saver keeps its name and the test skips.
            GVariant* reply = g_dbus_connection_call_sync(
                connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", "org.freedesktop.ScreenSaver", 4u),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            if (reply) {
                guint32 result = 0;
                g_variant_get(reply, "(u)", &result);
                owned_ = result == 1;
                g_variant_unref(reply);
            }
        }
        loop_ = g_main_loop_new(context, FALSE);
        {
            std::lock_guard lock(mutex_);
            ready_ = true;
        }
        changed_.notify_all();
        g_main_loop_run(loop_);
        if (registration) g_dbus_connection_unregister_object(connection, registration);
        if (node) g_dbus_node_info_unref(node);
        if (connection) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool owned_ = false;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::vector<std::string> calls_;
};

// Runs for real under dbus-run-session (a CTest entry does that); skipped without a bus.
TEST(ScreenSaverInhibitorBus, InhibitsAndReleasesThroughTheScreenSaver) {
    if (!ScreenSaverInhibitor::sessionBusAddress()) GTEST_SKIP() << "no session bus";
    FakeScreenSaver screenSaver;
    if (!screenSaver.owned()) GTEST_SKIP() << "the session bus has its own screen saver";

    ScreenSaverInhibitor inhibitor("Lumavane");
    const std::optional<std::uint32_t> cookie = inhibitor.inhibit("Lumavaneで動画を再生中");
    ASSERT_EQ(cookie, 42u);
    inhibitor.uninhibit(*cookie);
    EXPECT_EQ(screenSaver.calls(),
              (std::vector<std::string>{"Inhibit Lumavane Lumavaneで動画を再生中", "UnInhibit 42"}));
}

} // namespace
} // namespace lumavane
