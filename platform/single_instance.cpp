#include "platform/single_instance.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QThread>
#include <QLocalSocket>
#include <QTimer>
#include <QVariant>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "platform/local_path.h"
#include "platform/private_folder.h"

namespace brennick {

namespace {

using Status = SingleInstance::Status;
using Result = SingleInstance::Result;

// Message: "BRN1", then big-endian 32-bit fields: body length, item count, and for each item its
// length and bytes. The primary answers one acknowledgement byte.
constexpr char kMagic[4] = {'B', 'R', 'N', '1'};
constexpr qsizetype kHeaderBytes = 8;  // magic + body length
constexpr char kAck = 0x06;
constexpr int kUnfinishedMessageTimeoutMs = 5000;
constexpr int kProbeTimeoutMs = 500;
constexpr int kLockTimeoutMs = 3000;
constexpr int kRetryMs = 10;
constexpr int kBacklog = 64;
const char* const kBufferProperty = "brennickBuffer";

class ScopedFd {
public:
    explicit ScopedFd(int fd = -1) : fd_(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ScopedFd& operator=(ScopedFd&&) = delete;
    ~ScopedFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

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

std::optional<QByteArray> encodeMessage(const QList<QByteArray>& items)
{
    if (items.size() > SingleInstance::kMaxItems)
        return std::nullopt;
    QByteArray body;
    appendUInt32(body, static_cast<quint32>(items.size()));
    for (const QByteArray& item : items) {
        if (body.size() + 4 + item.size() + kHeaderBytes > SingleInstance::kMaxMessageBytes)
            return std::nullopt;
        appendUInt32(body, static_cast<quint32>(item.size()));
        body.append(item);
    }
    QByteArray message(kMagic, 4);
    appendUInt32(message, static_cast<quint32>(body.size()));
    return message + body;
}

// Items may hold any byte but NUL, which no path or argument can contain.
std::optional<QList<QByteArray>> decodeBody(const QByteArray& body)
{
    if (body.size() < 4)
        return std::nullopt;
    const quint32 count = uint32At(body, 0);
    if (count > static_cast<quint32>(SingleInstance::kMaxItems) || count > quint64(body.size() - 4) / 4)
        return std::nullopt;
    QList<QByteArray> items;
    items.reserve(count);
    qsizetype at = 4;
    for (quint32 i = 0; i < count; ++i) {
        if (body.size() - at < 4)
            return std::nullopt;
        const quint32 length = uint32At(body, at);
        at += 4;
        if (length > static_cast<quint64>(body.size() - at))
            return std::nullopt;
        QByteArray item = body.mid(at, length);
        if (item.contains('\0'))
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

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool socketAddress(const QByteArray& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    return true;
}

Result tooLong(const QByteArray& path)
{
    return {Status::Unavailable,
            QStringLiteral("cannot use %1: the path is too long for a socket (%2 bytes, at most %3)")
                .arg(decodeLocalPath(path))
                .arg(path.size())
                .arg(sizeof(sockaddr_un::sun_path) - 1)};
}

// Whether the process at the other end of `fd` runs as this user.
bool peerIsThisUser(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.uid == ::geteuid();
}

// What lies at the socket path, by lstat: NoPrimary when nothing, Listening for a socket of this
// user (to be probed), else what keeps it from being used.
Result inspectSocketPath(const QByteArray& path)
{
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) {
        if (errno == ENOENT)
            return {Status::NoPrimary, {}};
        return {Status::Unavailable, QStringLiteral("cannot use %1: %2").arg(decodeLocalPath(path), errorText(errno))};
    }
    if (!S_ISSOCK(info.st_mode))
        return {Status::NotASocket,
                QStringLiteral("%1 is not a socket (remove it if nothing needs it)").arg(decodeLocalPath(path))};
    if (info.st_uid != ::geteuid())
        return {Status::OtherUser, QStringLiteral("%1 belongs to another user").arg(decodeLocalPath(path))};
    return {Status::Listening, {}};
}

// Connects to `address` before `deadline`. A full backlog (EAGAIN: a primary that accepts no
// more) is retried until then. -1 with `*error` set on failure.
int connectBefore(const sockaddr_un& address, const QDeadlineTimer& deadline, int* error)
{
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        *error = errno;
        return -1;
    }
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd.release();
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || deadline.hasExpired()) {
            *error = errno;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
    }
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool sendAll(int fd, const QByteArray& bytes, const QDeadlineTimer& deadline)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, std::size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!waitFor(fd, POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool receiveAck(int fd, const QDeadlineTimer& deadline)
{
    for (;;) {
        char answer = 0;
        const ssize_t n = ::recv(fd, &answer, 1, 0);
        if (n == 1)
            return answer == kAck;
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        if (errno == EAGAIN && !waitFor(fd, POLLIN, deadline))
            return false;
    }
}

// An exclusive flock on `path`, released when the holder ends however it ends (so no lock is
// ever left stale). Waits until `deadline` for another holder.
class PathLock {
public:
    PathLock(const QByteArray& path, const QDeadlineTimer& deadline)
        : fd_(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600))
    {
        if (fd_.get() < 0) {
            error_ = errno;
            return;
        }
        for (;;) {
            if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
                locked_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error_ = errno;
                return;
            }
            if (deadline.hasExpired()) {
                error_ = EWOULDBLOCK;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
        }
    }
    bool locked() const { return locked_; }
    int error() const { return error_; }

private:
    ScopedFd fd_;
    bool locked_ = false;
    int error_ = 0;
};

}  // namespace

QString SingleInstance::defaultSocketPath(QString* problem)
{
    QByteArray folder = qgetenv("XDG_RUNTIME_DIR");
    if (folder.isEmpty()) {
        const QByteArray temporary = qgetenv("TMPDIR");
        folder = (temporary.isEmpty() ? QByteArray("/tmp") : temporary) + "/brennick-midi-player-" +
                 QByteArray::number(::geteuid());
        ::mkdir(folder.constData(), 0700);  // an existing one is checked like a new one
    }
    const QString refused = privateFolderProblem(folder, FolderPrivacy::OwnerOnly);
    if (!refused.isEmpty()) {
        if (problem != nullptr)
            *problem = refused;
        return {};
    }
    return decodeLocalPath(folder) + QStringLiteral("/brennick-midi-player.socket");
}

SingleInstance::SingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent), socketPath_(socketPath), server_(new QLocalServer(this))
{
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance()
{
    if (!thread_)
        return;
    // Back to the destroying thread, so the server and its sockets close where they live.
    QThread* home = QThread::currentThread();
    QMetaObject::invokeMethod(this, [this, home] { moveToThread(home); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

void SingleInstance::serveOnOwnThread()
{
    if (thread_)
        return;
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("single instance"));
    moveToThread(thread_.get());
    thread_->start();
}

bool SingleInstance::isListening() const
{
    return server_->isListening();
}

bool SingleInstance::fitsOneMessage(const QList<QByteArray>& items)
{
    return encodeMessage(items).has_value();
}

SingleInstance::Result SingleInstance::listen()
{
    if (server_->isListening())
        return {Status::Listening, {}};
    const QByteArray path = encodeLocalPath(socketPath_);
    sockaddr_un address{};
    if (!socketAddress(path, address))
        return tooLong(path);

    // Serialises the look-probe-remove-listen step: without it, two launches that both find a
    // stale socket could each remove the other's fresh one and both become primary.
    const QByteArray lockPath = path + ".lock";
    const PathLock lock(lockPath, QDeadlineTimer(kLockTimeoutMs));
    if (!lock.locked()) {
        if (lock.error() == EWOULDBLOCK)
            return {Status::NoAnswer,
                    QStringLiteral("another launch of the player holds %1 and does not finish (stopped?)")
                        .arg(decodeLocalPath(lockPath))};
        return {Status::Unavailable,
                QStringLiteral("cannot use %1: %2").arg(decodeLocalPath(lockPath), errorText(lock.error()))};
    }

    const Result found = inspectSocketPath(path);
    if (found.status == Status::NoPrimary)
        return bindAndListen(path);
    if (found.status != Status::Listening)
        return found;
    // A socket of ours: a live primary answers the connection (even one too stopped to accept
    // keeps it in its backlog); only a socket that refuses it is left over from a crash.
    int error = 0;
    const ScopedFd probe(connectBefore(address, QDeadlineTimer(kProbeTimeoutMs), &error));
    if (probe.get() >= 0) {
        if (!peerIsThisUser(probe.get()))
            return {Status::OtherUser,
                    QStringLiteral("the process serving %1 belongs to another user").arg(decodeLocalPath(path))};
        return {Status::PrimaryRunning, {}};
    }
    if (error == EAGAIN)
        return {Status::PrimaryRunning, {}};
    if (error != ECONNREFUSED)
        return {Status::Unavailable, QStringLiteral("cannot use %1: %2").arg(decodeLocalPath(path), errorText(error))};
    ::unlink(path.constData());
    return bindAndListen(path);
}

SingleInstance::Result SingleInstance::bindAndListen(const QByteArray& path)
{
    sockaddr_un address{};
    socketAddress(path, address);
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // bind never replaces what is at the path: something that appeared since it was looked at
    // makes this fail rather than vanish.
    if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {Status::Unavailable,
                QStringLiteral("cannot listen on %1: %2").arg(decodeLocalPath(path), errorText(errno))};
    if (::listen(fd.get(), kBacklog) != 0 || !server_->listen(qintptr(fd.get()))) {
        const int error = errno;
        ::unlink(path.constData());
        return {Status::Unavailable,
                QStringLiteral("cannot listen on %1: %2").arg(decodeLocalPath(path), errorText(error))};
    }
    fd.release();  // the server owns it now
    return {Status::Listening, {}};
}

SingleInstance::Result SingleInstance::forward(const QList<QByteArray>& items, int timeoutMs, const QString& socketPath)
{
    const auto message = encodeMessage(items);
    if (!message)
        return {Status::TooLarge, QStringLiteral("too many or too long items for one message")};
    const QDeadlineTimer deadline(timeoutMs);
    const QByteArray path = encodeLocalPath(socketPath);
    sockaddr_un address{};
    if (!socketAddress(path, address))
        return tooLong(path);
    const Result found = inspectSocketPath(path);
    if (found.status != Status::Listening)
        return found;

    int error = 0;
    const ScopedFd fd(connectBefore(address, deadline, &error));
    const Result noAnswer{
        Status::NoAnswer,
        QStringLiteral("the running player does not answer on %1 (stopped or hung?)").arg(decodeLocalPath(path))};
    if (fd.get() < 0) {
        if (error == ECONNREFUSED || error == ENOENT)
            return {Status::NoPrimary, {}};
        if (error == EAGAIN)
            return noAnswer;
        return {Status::Unavailable,
                QStringLiteral("cannot connect to %1: %2").arg(decodeLocalPath(path), errorText(error))};
    }
    if (!peerIsThisUser(fd.get()))
        return {Status::OtherUser,
                QStringLiteral("the process serving %1 belongs to another user").arg(decodeLocalPath(path))};
    if (sendAll(fd.get(), *message, deadline) && receiveAck(fd.get(), deadline))
        return {Status::Delivered, {}};
    return noAnswer;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (!peerIsThisUser(int(socket->socketDescriptor()))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
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
    auto items = decodeBody(buffer.mid(kHeaderBytes));
    if (!items)
        return drop();
    socket->setProperty(kBufferProperty, QVariant());
    // Acknowledged straight away, before any work. A sender that has given up (the write fails)
    // has told its user that nothing was handed over, so its items are dropped.
    const bool acknowledged = ::send(int(socket->socketDescriptor()), &kAck, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
    socket->disconnectFromServer();
    if (acknowledged)
        QMetaObject::invokeMethod(
            this, [this, items = std::move(*items)] { emit itemsReceived(items); }, Qt::QueuedConnection);
}

}  // namespace brennick
