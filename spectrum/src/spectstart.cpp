#include "spectstart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <iterator>
#include <optional>
#include <utility>

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace spectrum {
namespace {

constexpr char kRequest[] = "SpectStart\n";
// Sent when the program takes the request on; the outcome follows once the
// acquisition has ended.
constexpr char kTaking[] = "taking\n";
// A sender that never finishes its line is dropped at this size.
constexpr qint64 kMaxLine = 64;

struct TAnswer {
    TSpectStartOutcome outcome;
    const char* line;
    const char* text; // what the sender says when no spectrum was taken
};

constexpr TAnswer kAnswers[] = {
    {TSpectStartOutcome::Taken, "ok\n", ""},
    {TSpectStartOutcome::Failed, "failed\n",
     "Revaduvo could not take the spectrum (its logfile.log says why)"},
    {TSpectStartOutcome::Busy, "busy\n",
     "Revaduvo is busy (a run, a preview or another acquisition is going); no spectrum was "
     "taken"},
    {TSpectStartOutcome::NotOpen, "not connected\n",
     "Revaduvo has no spectrometer open (\"Not connected\"); no spectrum was taken"},
    {TSpectStartOutcome::LegacyPage, "legacy\n",
     "Revaduvo shows the legacy measurement page, which takes no spectrum on request"},
    {TSpectStartOutcome::NotTaken, "not taken\n", "Revaduvo took no spectrum"},
};

const TAnswer& answerFor(TSpectStartOutcome outcome) {
    for (const TAnswer& answer : kAnswers) {
        if (answer.outcome == outcome) {
            return answer;
        }
    }
    return kAnswers[std::size(kAnswers) - 1];
}

// The user the other end of a connected local socket runs as.
std::optional<uid_t> peerUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    const auto fd = static_cast<int>(socket.socketDescriptor());
    if (fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
        size == sizeof peer) {
        return peer.uid;
    }
    return std::nullopt;
}

QString userName(uid_t uid) {
    if (const passwd* user = ::getpwuid(uid); user != nullptr && user->pw_name != nullptr) {
        return QString::fromLocal8Bit(user->pw_name);
    }
    return QString("uid %1").arg(uid);
}

// A socket this user may not reach: whose it is, when it is another user's
// (its own owner, or the owner of the folder it lies in); empty otherwise.
QString anotherUsersSocket(const QString& path) {
    struct stat file {};
    if (::stat(QFile::encodeName(path).constData(), &file) == 0) {
        if (file.st_uid == ::getuid()) {
            return {};
        }
        return path + " belongs to another user (" + userName(file.st_uid) +
               "): it is not this user's Revaduvo";
    }
    struct stat folder {};
    const QString dir = QFileInfo(path).absolutePath();
    if (::stat(QFile::encodeName(dir).constData(), &folder) == 0 && folder.st_uid != ::getuid()) {
        return path + " lies in a folder of another user (" + userName(folder.st_uid) +
               "): it is not this user's Revaduvo";
    }
    return {};
}

// Whether the other end still waits for the answer: a sender that has gone
// (its end closed) learns nothing of what would be done for it.
bool senderWaits(const QLocalSocket* socket) {
    if (socket == nullptr || socket->state() != QLocalSocket::ConnectedState) {
        return false;
    }
    pollfd peer{static_cast<int>(socket->socketDescriptor()), 0, 0};
    return peer.fd >= 0 && ::poll(&peer, 1, 0) == 0;
}

// One answer line; false with the reason in `error` when none came.
bool readAnswer(QLocalSocket& socket, int timeoutMs, QByteArray& line, QString& error) {
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            error = "no answer: " + socket.errorString();
            return false;
        }
    }
    line = socket.readLine(kMaxLine);
    return true;
}

} // namespace

int spectStartMessage() {
    static const int type = QEvent::registerEventType();
    return type;
}

TSpectStartEvent::TSpectStartEvent(std::function<void()> taking,
                                   std::function<void(TSpectStartOutcome)> answer)
    : QEvent(static_cast<QEvent::Type>(spectStartMessage())), taking_(std::move(taking)),
      answer_(std::move(answer)) {}

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
        if (peerUser(*socket) != ::getuid()) {
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
            // Served from the event loop, where the window's message hook
            // runs, not from inside this socket's signal.
            QMetaObject::invokeMethod(
                this, [this, peer = QPointer<QLocalSocket>(socket)] { serve(peer); },
                Qt::QueuedConnection);
        }
    }
    if (socket->bytesAvailable() > kMaxLine) {
        socket->abort();
    }
}

void TSpectStartServer::serve(const QPointer<QLocalSocket>& socket) {
    // The window may have held the request while it acquired: a sender that
    // went meanwhile gets no spectrum it would never hear of.
    if (!senderWaits(socket)) {
        return;
    }
    const auto send = [socket](const char* line) {
        if (socket != nullptr) {
            socket->write(line);
            socket->flush();
        }
    };
    // The sender learns at once that the acquisition started; it may last.
    TSpectStartEvent request([send] { send(kTaking); },
                             [send](TSpectStartOutcome outcome) { send(answerFor(outcome).line); });
    if (target_ != nullptr) {
        QCoreApplication::sendEvent(target_, &request);
    }
    request.answer(request.outcome);
}

int sendSpectStart(const QString& name, int timeoutMs, QString& error) {
    // Named by its path: Qt takes a relative name as a socket in the
    // temporary directory.
    const QString path = QDir::isAbsolutePath(name) ? name : QDir(QDir::tempPath()).filePath(name);
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) {
        const auto failure = socket.error();
        if (failure == QLocalSocket::ServerNotFoundError ||
            failure == QLocalSocket::ConnectionRefusedError) {
            // No socket, or one left behind by a program that ended.
            error = "no Revaduvo of this user is running (nothing listens on " + path + ")";
        } else if (const QString other = anotherUsersSocket(path); !other.isEmpty()) {
            error = other;
        } else {
            error = "cannot reach Revaduvo on " + path + ": " + socket.errorString();
        }
        return 1;
    }
    if (const auto peer = peerUser(socket); peer != ::getuid()) {
        error = "the program listening on " + path + " is not this user's Revaduvo";
        if (peer) {
            error += " (it runs as " + userName(*peer) + ")";
        }
        return 1;
    }
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) {
        error = "sending failed: " + socket.errorString();
        return 1;
    }
    QByteArray line;
    // The program comes to the request once its window is done with what it
    // acquires (its own "Get Revaduvo", another command's): no time limit
    // here, as the program, when it ends, ends the connection.
    if (!readAnswer(socket, -1, line, error)) {
        return 1;
    }
    // Taken on: the outcome comes when the acquisition has ended, which
    // takes the device's time as often as it averages.
    if (line == kTaking && !readAnswer(socket, -1, line, error)) {
        error = "Revaduvo ended before it had taken the spectrum";
        return 3;
    }
    for (const TAnswer& answer : kAnswers) {
        if (line == answer.line) {
            socket.disconnectFromServer();
            if (answer.outcome == TSpectStartOutcome::Taken) {
                return 0;
            }
            error = answer.text;
            return 3;
        }
    }
    error = "unexpected answer";
    return 1;
}

} // namespace spectrum
