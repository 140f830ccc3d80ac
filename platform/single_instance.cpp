#include "platform/single_instance.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTimer>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

namespace brennick {

namespace {

// Message: "BRN1", then big-endian 32-bit fields: body length, item count, and for each item its
// UTF-8 length and bytes. The primary answers one acknowledgement byte.
constexpr char kMagic[4] = {'B', 'R', 'N', '1'};
constexpr qsizetype kHeaderBytes = 8;  // magic + body length
constexpr char kAck = 0x06;
constexpr int kUnfinishedMessageTimeoutMs = 5000;
constexpr int kProbeTimeoutMs = 500;
constexpr int kLockTimeoutMs = 3000;
const char* const kBufferProperty = "brennickBuffer";

void appendUInt32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 uint32At(const QByteArray& in, qsizetype at)
{
    return qFromBigEndian<quint32>(in.constData() + at);
}

std::optional<QByteArray> encodeMessage(const QStringList& items)
{
    if (items.size() > SingleInstance::kMaxItems)
        return std::nullopt;
    QByteArray body;
    appendUInt32(body, static_cast<quint32>(items.size()));
    for (const QString& item : items) {
        const QByteArray utf8 = item.toUtf8();
        if (body.size() + 4 + utf8.size() + kHeaderBytes > SingleInstance::kMaxMessageBytes)
            return std::nullopt;
        appendUInt32(body, static_cast<quint32>(utf8.size()));
        body.append(utf8);
    }
    QByteArray message(kMagic, 4);
    appendUInt32(message, static_cast<quint32>(body.size()));
    return message + body;
}

std::optional<QStringList> decodeBody(const QByteArray& body)
{
    if (body.size() < 4)
        return std::nullopt;
    const quint32 count = uint32At(body, 0);
    if (count > static_cast<quint32>(SingleInstance::kMaxItems))
        return std::nullopt;
    QStringList items;
    qsizetype at = 4;
    for (quint32 i = 0; i < count; ++i) {
        if (body.size() - at < 4)
            return std::nullopt;
        const quint32 length = uint32At(body, at);
        at += 4;
        if (length > static_cast<quint64>(body.size() - at))
            return std::nullopt;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString item = decoder.decode(QByteArrayView(body.constData() + at, length));
        if (decoder.hasError())
            return std::nullopt;
        items.append(std::move(item));
        at += length;
    }
    if (at != body.size())
        return std::nullopt;
    return items;
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

}  // namespace

QString SingleInstance::defaultSocketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath() + QStringLiteral("/brennick-midi-player-") + QString::number(::getuid());
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    }
    return folder + QStringLiteral("/brennick-midi-player.socket");
}

SingleInstance::SingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent), socketPath_(socketPath), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::isListening() const
{
    return server_->isListening();
}

bool SingleInstance::listen()
{
    if (server_->isListening())
        return true;
    // Serialises the probe-remove-listen step: without it, two launches that both find a stale
    // socket could each remove the other's fresh one and both become primary.
    QLockFile lock(socketPath_ + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockTimeoutMs))
        return false;
    // Probe first: with access options set, QLocalServer binds elsewhere and renames the socket
    // into place, which would silently take the path from a live primary.
    QLocalSocket probe;
    probe.connectToServer(socketPath_);
    if (probe.waitForConnected(kProbeTimeoutMs)) {
        probe.abort();
        return false;  // a live primary
    }
    QLocalServer::removeServer(socketPath_);  // whatever is left of a crashed primary
    return server_->listen(socketPath_);
}

bool SingleInstance::forward(const QStringList& items, int timeoutMs, const QString& socketPath)
{
    const auto message = encodeMessage(items);
    if (!message)
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(remainingMs(deadline)))
        return false;
    socket.write(*message);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline)))
            return false;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(remainingMs(deadline)))
            return false;
    }
    char answer = 0;
    return socket.read(&answer, 1) == 1 && answer == kAck;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        // A client that stalls must not hold its connection (and memory) forever.
        QTimer::singleShot(kUnfinishedMessageTimeoutMs, socket, [socket] { socket->abort(); });
    }
}

void SingleInstance::readFrom(QLocalSocket* socket)
{
    QByteArray buffer = socket->property(kBufferProperty).toByteArray();
    buffer.append(socket->readAll());
    auto drop = [socket] {
        socket->setProperty(kBufferProperty, QVariant());
        socket->abort();
    };
    if (buffer.size() >= 4 && !buffer.startsWith(QByteArray(kMagic, 4)))
        return drop();
    if (buffer.size() < kHeaderBytes) {
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    const quint32 bodyBytes = uint32At(buffer, 4);
    if (bodyBytes > kMaxMessageBytes - kHeaderBytes || buffer.size() > kHeaderBytes + bodyBytes)
        return drop();
    if (buffer.size() < kHeaderBytes + bodyBytes) {
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    const auto items = decodeBody(buffer.mid(kHeaderBytes));
    if (!items)
        return drop();
    socket->setProperty(kBufferProperty, QVariant());
    socket->write(&kAck, 1);
    socket->flush();
    socket->disconnectFromServer();
    emit itemsReceived(*items);
}

}  // namespace brennick
