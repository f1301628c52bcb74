#include "Lumavane/App/SingleInstance.hpp"

#include "Platform/Foundation/DefaultsStore.hpp"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>
#include <iostream>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lumavane {
namespace {

constexpr const char* requestWord = "launch";
// A request is one short line; anything longer is not ours.
constexpr qsizetype requestLimit = 64 * 1024;

QString socketPath(const QString& name) {
    return QDir::isAbsolutePath(name) ? name : QDir(QDir::tempPath()).filePath(name);
}

QByteArray pathBytes(const std::filesystem::path& path) { return QByteArray::fromStdString(path.native()); }

} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)), lockPath_(socketPath(name_) + ".lock") {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    releaseLock();
}

QString SingleInstance::defaultName() {
    const QByteArray profile = QByteArray::fromStdString(DefaultsStore::standardPath().string());
    const QString tag = QString::fromLatin1(QCryptographicHash::hash(profile, QCryptographicHash::Sha256).toHex().left(12));
    const QString file = QString("lumavane-%1-%2").arg(getuid()).arg(tag);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
        return QString::fromLocal8Bit(runtime) + "/" + file;
    return file;
}

QByteArray SingleInstance::encode(const LaunchOptions& options) {
    QByteArray line = requestWord;
    if (options.model) line += " model=" + pathBytes(*options.model).toBase64();
    if (options.video) line += " video=" + pathBytes(*options.video).toBase64();
    return line + "\n";
}

std::optional<LaunchOptions> SingleInstance::decode(const QByteArray& line) {
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.isEmpty() || words.front() != requestWord) return std::nullopt;
    LaunchOptions options;
    for (qsizetype i = 1; i < words.size(); ++i) {
        const qsizetype equals = words[i].indexOf('=');
        if (equals <= 0) return std::nullopt;
        const QByteArray key = words[i].left(equals);
        const auto decoded = QByteArray::fromBase64Encoding(words[i].mid(equals + 1), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty()) return std::nullopt;
        const std::filesystem::path path(decoded.decoded.toStdString());
        if (key == "model") options.model = path;
        else if (key == "video") options.video = path;
        else return std::nullopt;
    }
    return options;
}

SingleInstance::Lock SingleInstance::takeLock() {
    if (lockFile_ >= 0) return Lock::taken;
    const QByteArray path = QFile::encodeName(lockPath_);
    const int file = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0) return Lock::unavailable;
    // The kernel lets the lock go with the process, however it ends: no stale lock survives.
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(file);
        return busy ? Lock::held : Lock::unavailable;
    }
    lockFile_ = file;
    return Lock::taken;
}

void SingleInstance::releaseLock() {
    if (lockFile_ < 0) return;
    ::close(lockFile_);
    lockFile_ = -1;
}

bool SingleInstance::answers() const {
    // A socket file without a listener refuses at once; a live one accepts even before its
    // player's event loop runs.
    QLocalSocket socket;
    socket.connectToServer(name_);
    return socket.waitForConnected(500);
}

void SingleInstance::release() {
    if (server_) server_->close();
    releaseLock();
}

bool SingleInstance::isListening() const { return server_ && server_->isListening(); }

bool SingleInstance::listen() {
    if (!server_) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = server_->nextPendingConnection()) accept(socket);
        });
    }
    if (server_->listen(name_)) return true;
    // Only the lock holder gets here, and nobody answered: the file is a crashed player's.
    if (answers()) return false;
    QLocalServer::removeServer(name_);
    return server_->listen(name_);
}

bool SingleInstance::forward(const QByteArray& request, const QDeadlineTimer& deadline) const {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(std::max<qint64>(1, std::min<qint64>(500, deadline.remainingTime())))) return false;
    socket.write(request);
    if (!socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())))) return false;
    QByteArray answer;
    while (!answer.contains('\n')) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            return false;
        answer += socket.readAll();
    }
    socket.disconnectFromServer();
    return answer.startsWith("ok");
}

SingleInstance::Claim SingleInstance::claim(const LaunchOptions& options, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    const QByteArray request = encode(options);
    for (;;) {
        const Lock lock = takeLock();
        if (lock != Lock::held) {
            // Nobody else may start a player now. A player of an older kind holds no lock: when
            // its socket answers, it is the player.
            if (answers()) {
                releaseLock();
                if (forward(request, deadline)) return Claim::forwarded;
            } else {
                if (!listen())
                    std::cerr << "lumavane: later launches cannot reach this player: "
                              << server_->errorString().toStdString() << "\n";
                return Claim::player;
            }
        } else if (forward(request, deadline)) {
            return Claim::forwarded;
        }
        // The lock holder is still starting (not listening yet) or has just ended: ask again.
        if (deadline.hasExpired()) return Claim::unreachable;
        QThread::msleep(50);
    }
}

void SingleInstance::accept(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        const qsizetype end = buffer->indexOf('\n');
        if (end < 0) {
            if (buffer->size() > requestLimit) socket->abort();
            return;
        }
        const std::optional<LaunchOptions> options = decode(buffer->left(end));
        buffer->clear();
        if (!options) {
            socket->abort();
            return;
        }
        socket->write("ok\n");
        socket->flush();
        deliver(*options);
    });
}

void SingleInstance::setLaunchHandler(std::function<void(const LaunchOptions&)> handler) {
    handler_ = std::move(handler);
    if (!handler_) return;
    const std::vector<LaunchOptions> waiting = std::exchange(pending_, {});
    for (const LaunchOptions& options : waiting) handler_(options);
}

void SingleInstance::deliver(const LaunchOptions& options) {
    if (handler_) handler_(options);
    else pending_.push_back(options);
}

} // namespace lumavane
