#pragma once
// One running player per user: later launches hand their files and URLs to the first one.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

namespace brennick {

// The primary instance listens on a local socket; another launch forwards its items to it and
// exits. Launch sequence (ends with exactly one primary even when launches race):
//   if (SingleInstance::forward(items, t)) exit;            // a primary took them
//   if (!instance.listen() && SingleInstance::forward(items, t)) exit;  // lost the race
//   ... otherwise run as the primary (also when no socket can be made at all).
// Items should be absolute paths or URLs: the primary has its own current directory.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // Largest message accepted, in bytes, and most items in one message.
    static constexpr qint64 kMaxMessageBytes = 1 << 20;
    static constexpr int kMaxItems = 4096;

    // "<runtime directory>/brennick-midi-player.socket": $XDG_RUNTIME_DIR (through
    // QStandardPaths::RuntimeLocation), else a folder of mode 0700 in the temporary directory
    // named after the user id.
    static QString defaultSocketPath();

    explicit SingleInstance(const QString& socketPath = defaultSocketPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance: true when listening (also when already listening), false when
    // another live primary owns the socket or no socket can be made. A socket file left by a
    // crashed primary (nobody answers on it) is replaced. Needs the event loop of the calling
    // thread to deliver items afterwards.
    bool listen();
    bool isListening() const;

    // Sends `items` to the primary at `socketPath` and waits for its acknowledgement; true only
    // when the primary accepted them. Blocks at most about `timeoutMs` milliseconds; false when
    // nobody listens, the primary does not answer in time, or the message would exceed
    // kMaxMessageBytes or kMaxItems. Needs no event loop.
    static bool forward(const QStringList& items, int timeoutMs, const QString& socketPath = defaultSocketPath());

signals:
    // Emitted on the primary's thread for every accepted message, with its items in order.
    // A malformed, oversized or unfinished message (5 seconds) is dropped without a signal.
    void itemsReceived(const QStringList& items);

private:
    void acceptConnection();
    void readFrom(QLocalSocket* socket);

    QString socketPath_;
    QLocalServer* server_;
};

}  // namespace brennick
