#pragma once
// "SpectStart" from another program: a local socket per user on which a
// sender writes the line "SpectStart"; the program turns each such line into
// the registered "SpectStart" event on its GUI thread and answers "ok". Each
// side talks only to a peer running as the same user.

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace spectrum {

// The registered event type of "SpectStart", the same for the whole process.
int spectStartMessage();

// VELDON_SPECTSTART_SOCKET when that is set; else "veldon-revaduvo" in
// XDG_RUNTIME_DIR when that is an absolute path; else "veldon-revaduvo-<uid>"
// (in the temporary directory).
QString spectStartServerName();

class TSpectStartServer : public QObject {
    Q_OBJECT

public:
    // Posts the event to `target` for every "SpectStart" received.
    explicit TSpectStartServer(QObject* target, QObject* parent = nullptr);
    ~TSpectStartServer() override;

    // Takes the name over when the socket left there is stale; false (and the
    // reason in errorString) when another program listens or listening fails.
    bool listen(const QString& name);
    bool isListening() const;
    QString errorString() const { return error_; }

private:
    void accept();
    void read(QLocalSocket* socket);

    QObject* target_;
    QLocalServer* server_ = nullptr;
    QString error_;
};

// Sends "SpectStart" to the program listening on `name` and waits for its
// answer. 0 when delivered; 1 with a message in `error` otherwise, also when
// the listener runs as another user.
int sendSpectStart(const QString& name, int timeoutMs, QString& error);

} // namespace spectrum
