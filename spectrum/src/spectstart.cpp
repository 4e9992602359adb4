#include "spectstart.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

namespace spectrum {
namespace {

constexpr char kRequest[] = "SpectStart\n";
constexpr char kAnswer[] = "ok\n";
// A sender that never finishes its line is dropped at this size.
constexpr qint64 kMaxLine = 64;

// Whether the other end of a connected local socket runs as this user.
bool peerIsThisUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    const auto fd = static_cast<int>(socket.socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           size == sizeof peer && peer.uid == ::getuid();
}

} // namespace

int spectStartMessage() {
    static const int type = QEvent::registerEventType();
    return type;
}

QString spectStartServerName() {
    const QByteArray name = qgetenv("VELDON_SPECTSTART_SOCKET");
    if (!name.isEmpty()) {
        return QString::fromLocal8Bit(name);
    }
    // The user's own runtime directory, where no other user can put a socket.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/')) {
        return QString::fromLocal8Bit(runtime) + "/veldon-revaduvo";
    }
    return QString("veldon-revaduvo-%1").arg(::getuid());
}

TSpectStartServer::TSpectStartServer(QObject* target, QObject* parent)
    : QObject(parent), target_(target) {}

TSpectStartServer::~TSpectStartServer() {
    if (server_ != nullptr) {
        server_->close();
    }
}

bool TSpectStartServer::listen(const QString& name) {
    error_.clear();
    {
        // A socket file that accepts belongs to a running program: keep it.
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(200)) {
            probe.disconnectFromServer();
            error_ = "another program listens on " + name;
            return false;
        }
    }
    QLocalServer::removeServer(name);
    delete server_;
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name)) {
        error_ = server_->errorString();
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &TSpectStartServer::accept);
    return true;
}

bool TSpectStartServer::isListening() const {
    return server_ != nullptr && server_->isListening();
}

void TSpectStartServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        read(socket);
    }
}

void TSpectStartServer::read(QLocalSocket* socket) {
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxLine + 1);
        if (line == kRequest) {
            if (target_ != nullptr) {
                QCoreApplication::postEvent(
                    target_, new QEvent(static_cast<QEvent::Type>(spectStartMessage())));
            }
            socket->write(kAnswer);
        }
    }
    if (socket->bytesAvailable() > kMaxLine) {
        socket->abort();
    }
}

int sendSpectStart(const QString& name, int timeoutMs, QString& error) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) {
        // Named by its path: Qt takes a relative name as a socket in the
        // temporary directory.
        const QString path =
            QDir::isAbsolutePath(name) ? name : QDir(QDir::tempPath()).filePath(name);
        const auto failure = socket.error();
        if (failure == QLocalSocket::ServerNotFoundError ||
            failure == QLocalSocket::ConnectionRefusedError) {
            // No socket, or one left behind by a program that ended.
            error = "no Revaduvo of this user is running (nothing listens on " + path + ")";
        } else {
            error = "cannot reach Revaduvo on " + path + ": " + socket.errorString();
        }
        return 1;
    }
    if (!peerIsThisUser(socket)) {
        error = "the program listening on " + name + " is not this user's Revaduvo";
        return 1;
    }
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) {
        error = "sending failed: " + socket.errorString();
        return 1;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            error = "no answer: " + socket.errorString();
            return 1;
        }
    }
    if (socket.readLine(kMaxLine) != kAnswer) {
        error = "unexpected answer";
        return 1;
    }
    socket.disconnectFromServer();
    return 0;
}

} // namespace spectrum
