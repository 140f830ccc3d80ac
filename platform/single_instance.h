#pragma once
// One running player per user: later launches hand their files and URLs to the first one.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QThread;

namespace brennick {

// The primary instance listens on a local socket; another launch forwards its items to it and
// exits. Launch sequence (ends with exactly one primary even when launches race):
//   forward(items) is Delivered                  -> done, the primary has them
//   forward(items) is NoPrimary, then listen():
//       Listening                                 -> run as the primary
//       PrimaryRunning                            -> lost a race: forward(items) again
//   anything else                                 -> the caller reports `message` and decides
// Items are bytes, since a path need not be UTF-8, and should be absolute paths or URLs: the
// primary has its own current directory. Only processes of one user meet here: the socket's
// folder must be private to the user, and each end checks the other's user id (SO_PEERCRED).
// Nothing here removes anything at the socket path but a socket of this user that nobody serves.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Status {
        Delivered,       // forward: the primary acknowledged the items
        Listening,       // listen: this instance is the primary
        NoPrimary,       // forward: nothing serves the socket path (none there, or a crashed primary's)
        PrimaryRunning,  // listen: a live primary serves the socket path
        NoAnswer,        // a primary, or a launch racing this one, is there but stays silent: stopped or hung
        OtherUser,       // the socket, or the process serving it, belongs to another user: nothing sent
        NotASocket,      // something else is at the socket path
        TooLarge,        // forward: the items do not fit in one message (see fitsOneMessage)
        Unavailable,     // no socket can be used there (no access, path too long, ...)
    };
    struct Result {
        Status status;
        QString message;  // one line for the user; empty for Delivered, Listening and NoPrimary
    };

    // Largest message accepted, in bytes, and most items in one message.
    static constexpr qint64 kMaxMessageBytes = 1 << 20;
    static constexpr int kMaxItems = 65536;

    // "<runtime folder>/brennick-midi-player.socket". The runtime folder is $XDG_RUNTIME_DIR, else
    // "<$TMPDIR or /tmp>/brennick-midi-player-<uid>", created with mode 0700. Either is used only
    // when lstat shows a folder (not a symlink) owned by this user with no access for group or
    // others; otherwise the answer is empty and `problem` (when given) holds one line saying why.
    static QString defaultSocketPath(QString* problem = nullptr);

    explicit SingleInstance(const QString& socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance: Listening (also when already listening), PrimaryRunning,
    // NoAnswer (a racing launch holds the lock and does not finish), OtherUser, NotASocket or
    // Unavailable. A socket left by a crashed primary of this user (it refuses connections) is
    // replaced. Needs the calling thread's event loop to deliver items afterwards.
    Result listen();
    bool isListening() const;

    // From now on a thread of its own accepts and acknowledges second launches, so one is taken
    // at once whatever the thread that made this instance is doing; itemsReceived still reaches
    // receivers on their own threads. Call it from that thread, after listen().
    void serveOnOwnThread();

    // Whether `items` fit in one message.
    static bool fitsOneMessage(const QList<QByteArray>& items);

    // Sends `items` to the primary at `socketPath` and waits for its acknowledgement, at most
    // about `timeoutMs` milliseconds in all: Delivered, NoPrimary, NoAnswer, OtherUser, NotASocket,
    // TooLarge or Unavailable. Needs no event loop, nor a QCoreApplication.
    static Result forward(const QList<QByteArray>& items, int timeoutMs, const QString& socketPath);

signals:
    // Emitted on the primary's thread for every accepted message, with its items in order, once
    // the acknowledgement has been sent (queued: the sender is not kept waiting for the work).
    // A malformed, oversized or unfinished message (5 seconds), a message whose sender gave up
    // before the acknowledgement, and any connection from another user are dropped without a signal.
    void itemsReceived(const QList<QByteArray>& items);

private:
    void acceptConnection();
    std::unique_ptr<QThread> thread_;
    void readFrom(QLocalSocket* socket);
    Result bindAndListen(const QByteArray& path);

    QString socketPath_;
    QLocalServer* server_;
};

}  // namespace brennick
