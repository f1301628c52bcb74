#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace lumavane {

// One player per user and defaults file: a second launch asks the first to bring its window
// back (the Linux form of clicking the running application's icon) and then ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    // The socket of the standard defaults file, in $XDG_RUNTIME_DIR when there is one.
    static QString defaultName();

    // True when a running instance took the request.
    bool notifyRunningInstance(int timeoutMs = 1000) const;
    // Starts answering later launches; a stale socket of a crashed player is replaced.
    bool listen();

    std::function<void()> onReopen;

private:
    QString name_;
    QLocalServer* server_ = nullptr;
};

} // namespace lumavane
