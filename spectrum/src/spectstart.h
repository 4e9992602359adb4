#pragma once
// "SpectStart" from another program: a local socket per user on which a
// sender writes the line "SpectStart"; the program turns each such line into
// the registered "SpectStart" event on its GUI thread and answers what became
// of it: "taking" and then "ok" or "failed" when it takes the spectrum, else
// why it took none ("busy", "not connected", "legacy"). Each side talks only
// to a peer running as the same user.

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace spectrum {

// The registered event type of "SpectStart", the same for the whole process.
int spectStartMessage();

// What became of one "SpectStart".
enum class TSpectStartOutcome {
    NotTaken, // nobody took it on
    Taken,
    Failed,     // taken on, but the acquisition failed
    Busy,       // a run, a preview or another acquisition is going
    NotOpen,    // no device is open
    LegacyPage, // the legacy page takes no spectrum on request
};

// "SpectStart" as the window's message hook gets it from the socket: the
// hook calls taking() before it acquires and leaves the outcome.
class TSpectStartEvent : public QEvent {
public:
    explicit TSpectStartEvent(std::function<void()> taking = {},
                              std::function<void(TSpectStartOutcome)> answer = {});

    void taking() const {
        if (taking_) {
            taking_();
        }
    }
    // Sends the outcome now, before something that may hold this thread (a
    // message box); the sender gets only the first outcome sent.
    void answer(TSpectStartOutcome value) {
        if (!answered_) {
            answered_ = true;
            outcome = value;
            if (answer_) {
                answer_(value);
            }
        }
    }
    TSpectStartOutcome outcome = TSpectStartOutcome::NotTaken;

private:
    std::function<void()> taking_;
    std::function<void(TSpectStartOutcome)> answer_;
    bool answered_ = false;
};

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
    // Hands one request to the target and answers the sender.
    void serve(const QPointer<QLocalSocket>& socket);

    QObject* target_;
    QLocalServer* server_ = nullptr;
    QString error_;
};

// Sends "SpectStart" to the program listening on `name` and waits for its
// answer: `timeoutMs` for the connection and the sending; then as long as
// the program holds the request (its window may be acquiring meanwhile) and
// as long as the acquisition takes once it took the request on. 0 when the
// program took the spectrum; 1 with a message in `error` when no Revaduvo of
// this user took the request (none listens, the listener runs as another
// user, the program ended before it came to the request); 3 with the reason
// in `error` when the program answered but took no spectrum.
int sendSpectStart(const QString& name, int timeoutMs, QString& error);

} // namespace spectrum
