#pragma once

#include "Lumavane/App/LaunchOptions.hpp"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace lumavane {

// One player per user and defaults file. The first launch claims the instance before it builds
// anything: it holds a lock for as long as it lives and answers later launches on a local
// socket. A later launch hands its options to the running player (which opens them as its own
// launch options and raises its window) and ends: the Linux form of opening a file with an
// application that is already running.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        player,      // this process is the player
        forwarded,   // the running player took the options
        unreachable, // a player runs but did not take them in time
    };

    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The socket of the standard defaults file, in $XDG_RUNTIME_DIR when there is one.
    static QString defaultName();

    // Becomes the player, or hands `options` to the running one, waiting at most `timeoutMs`
    // for it (a player still starting up answers only once its event loop runs). A socket that a
    // live player answers on is never removed; a stale one left by a crashed player is.
    Claim claim(const LaunchOptions& options, int timeoutMs = 30000);
    bool isListening() const;
    // Gives up being the player: later launches start a player of their own. For a player that is
    // ending, whose teardown may still take a while.
    void release();

    // Receives the options of later launches; those that came before it was set arrive then.
    void setLaunchHandler(std::function<void(const LaunchOptions&)> handler);

    // One request: "launch" and the options' paths as bytes in base64, on one line.
    static QByteArray encode(const LaunchOptions& options);
    static std::optional<LaunchOptions> decode(const QByteArray& line);

private:
    enum class Lock { taken, held, unavailable };
    Lock takeLock();
    void releaseLock();
    bool answers() const;
    bool listen();
    // One attempt: connected, sent, and "ok" came back before the deadline.
    bool forward(const QByteArray& request, const QDeadlineTimer& deadline) const;
    void accept(QLocalSocket* socket);
    void deliver(const LaunchOptions& options);

    QString name_;
    QString lockPath_;
    int lockFile_ = -1;
    QLocalServer* server_ = nullptr;
    std::function<void(const LaunchOptions&)> handler_;
    std::vector<LaunchOptions> pending_;
};

} // namespace lumavane
