// One primary instance per user: forwarding, stale sockets, what else may sit at the socket
// path, hostile clients, stopped primaries, other users and racing launches.
#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>

#include <csignal>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/local_path.h"

namespace brennick {
namespace {

using Status = SingleInstance::Status;
constexpr uid_t kNobody = 65534;

class SingleInstancePrimary : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static QTemporaryDir runtime;
        ::chmod(QFile::encodeName(runtime.path()).constData(), 0700);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        static int argc = 1;
        static char name[] = "platform_single_instance";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }

    QString socketPath() const { return dir_.filePath(QStringLiteral("player.socket")); }

    // Runs `work` on another thread while this one serves events, as a second process would.
    template <typename Work> auto whileServing(Work work)
    {
        auto result = std::async(std::launch::async, work);
        while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return result.get();
    }

    Status forward(const QList<QByteArray>& items, int timeoutMs = 3000)
    {
        return whileServing([&] { return SingleInstance::forward(items, timeoutMs, socketPath()).status; });
    }

    // A launch of the helper with `item` (see single_instance_helper.cpp), started.
    static std::unique_ptr<QProcess> helper(const QString& socket, const QString& item, int itemsToWaitFor,
                                            const QString& program = QStringLiteral(SINGLE_INSTANCE_HELPER))
    {
        auto process = std::make_unique<QProcess>();
        process->start(program, {socket, item, QString::number(itemsToWaitFor)});
        return process;
    }

    static bool becamePrimary(QProcess& process)
    {
        return process.waitForReadyRead(10000) && process.readLine() == "primary\n";
    }

    QTemporaryDir dir_;
};

TEST_F(SingleInstancePrimary, DefaultSocketLivesInTheRuntimeDirectory)
{
    EXPECT_EQ(SingleInstance::defaultSocketPath(),
              qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/brennick-midi-player.socket"));
}

TEST_F(SingleInstancePrimary, PrimaryReceivesForwardedItemsByteForByte)
{
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    const QList<QByteArray> items{"/music/a b.mid",
                                  "brennick://x",
                                  "/m/Gr\xC3\xB6\xC3\x9F"
                                  "e.mid",
                                  "",
                                  "/m/caf\xE9\xFF.mid",
                                  "/" + QByteArray(3 * PATH_MAX, 'x') + ".mid"};
    EXPECT_EQ(forward(items), Status::Delivered);
    QCoreApplication::processEvents();  // the signal is queued behind the acknowledgement
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].value<QList<QByteArray>>(), items);

    // A second instance on the same socket stays secondary.
    SingleInstance second(socketPath());
    EXPECT_EQ(second.listen().status, Status::PrimaryRunning);
    EXPECT_TRUE(primary.isListening());
}

TEST_F(SingleInstancePrimary, OnItsOwnThreadALaunchIsAcknowledgedWhileTheOwnerIsBusy)
{
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    primary.serveOnOwnThread();
    QList<QByteArray> received;
    QObject receiver;
    QObject::connect(&primary, &SingleInstance::itemsReceived, &receiver,
                     [&received](const QList<QByteArray>& items) { received += items; });
    auto launch = std::async(std::launch::async, [this] {
        QElapsedTimer clock;
        clock.start();
        const Status status = SingleInstance::forward({"/busy.mid"}, 3000, socketPath()).status;
        return std::make_pair(status, clock.elapsed());
    });
    // This thread is busy (a window drawing, a slow call) and serves no events meanwhile.
    ASSERT_EQ(launch.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    const auto [status, elapsedMs] = launch.get();
    EXPECT_EQ(status, Status::Delivered);
    EXPECT_LT(elapsedMs, 1000);
    EXPECT_TRUE(received.isEmpty());  // the items reach the receiver on its own thread
    for (QDeadlineTimer deadline(2000); received.isEmpty() && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(received, QList<QByteArray>{"/busy.mid"});
}

TEST_F(SingleInstancePrimary, ForwardWithoutPrimaryOrOverLimitsSendsNothing)
{
    EXPECT_EQ(forward({"/a.mid"}, 500), Status::NoPrimary);
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    const QList<QByteArray> tooMany(SingleInstance::kMaxItems + 1, QByteArray("x"));
    EXPECT_FALSE(SingleInstance::fitsOneMessage(tooMany));
    EXPECT_EQ(forward(tooMany, 500), Status::TooLarge);
    EXPECT_EQ(forward({QByteArray(SingleInstance::kMaxMessageBytes, 'x')}, 500), Status::TooLarge);
}

TEST_F(SingleInstancePrimary, StaleSocketOfCrashedPrimaryIsReplaced)
{
    // A bound socket file nobody listens on, as a killed primary leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath());
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(socketPath()));

    EXPECT_EQ(forward({"/a.mid"}), Status::NoPrimary);
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    EXPECT_EQ(forward({"/a.mid"}), Status::Delivered);
    QCoreApplication::processEvents();
    EXPECT_EQ(received.size(), 1);
}

TEST_F(SingleInstancePrimary, SomethingElseAtTheSocketPathIsLeftAlone)
{
    for (const bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "a folder" : "a file");
        if (folder) {
            ASSERT_TRUE(QDir().mkdir(socketPath()));
        } else {
            QFile file(socketPath());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("keep");
        }
        SingleInstance instance(socketPath());
        const SingleInstance::Result listening = instance.listen();
        EXPECT_EQ(listening.status, Status::NotASocket);
        EXPECT_TRUE(listening.message.contains(socketPath())) << listening.message.toStdString();
        EXPECT_FALSE(instance.isListening());
        EXPECT_EQ(forward({"/a.mid"}, 500), Status::NotASocket);
        const QFileInfo after(socketPath());
        EXPECT_EQ(after.isDir(), folder);
        EXPECT_EQ(after.isFile(), !folder);
        if (!folder) {
            QFile file(socketPath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), "keep");
        }
        QDir().rmdir(socketPath());
        QFile::remove(socketPath());
    }
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

struct GarbageCase {
    const char* name;
    QByteArray bytes;
};

class SingleInstanceGarbage : public SingleInstancePrimary, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(SingleInstanceGarbage, IsIgnoredAndThePrimaryKeepsServing)
{
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    const QByteArray garbage = GetParam().bytes;
    const bool answered = whileServing([&] {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (!socket.waitForConnected(1000))
            return true;
        socket.write(garbage);
        socket.waitForBytesWritten(1000);
        // The primary either closes the connection or waits for more; it must never acknowledge.
        const bool gotAnswer = socket.waitForReadyRead(300) && socket.bytesAvailable() > 0;
        socket.abort();
        return gotAnswer;
    });
    EXPECT_FALSE(answered);
    QCoreApplication::processEvents();
    EXPECT_EQ(received.size(), 0);
    EXPECT_EQ(forward({"/ok.mid"}), Status::Delivered);
    QCoreApplication::processEvents();
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].value<QList<QByteArray>>(), QList<QByteArray>{"/ok.mid"});
}

const GarbageCase kGarbageCases[] = {
    {"WrongMagic", QByteArray("GET / HTTP/1.0\r\n\r\n")},
    {"HugeDeclaredLength", "BRN1" + bigEndian(0xFFFFFFF0u) + bigEndian(1)},
    {"HugeItemCount", "BRN1" + bigEndian(4) + bigEndian(0xFFFFFFFFu)},
    {"ItemLongerThanBody", "BRN1" + bigEndian(9) + bigEndian(1) + bigEndian(1000) + "x"},
    {"TrailingBytes", "BRN1" + bigEndian(9) + bigEndian(0) + "extra"},
    {"NulInItem", "BRN1" + bigEndian(11) + bigEndian(1) + bigEndian(3) + QByteArray("a\0b", 3)},
    {"Unfinished", "BRN1" + bigEndian(100) + bigEndian(1)},
    {"EmptyBody", "BRN1" + bigEndian(0)},
};

INSTANTIATE_TEST_SUITE_P(Messages, SingleInstanceGarbage, ::testing::ValuesIn(kGarbageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SingleInstancePrimary, StoppedPrimaryIsReportedAndKeepsItsSocket)
{
    auto primary = helper(socketPath(), QStringLiteral("/first.mid"), 1);
    ASSERT_TRUE(becamePrimary(*primary)) << primary->readAllStandardError().toStdString();
    ASSERT_EQ(::kill(pid_t(primary->processId()), SIGSTOP), 0);

    QElapsedTimer elapsed;
    elapsed.start();
    const SingleInstance::Result result = SingleInstance::forward({"/given-up.mid"}, 1000, socketPath());
    EXPECT_EQ(result.status, Status::NoAnswer);
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_TRUE(result.message.contains(QStringLiteral("does not answer"))) << result.message.toStdString();
    SingleInstance second(socketPath());
    EXPECT_EQ(second.listen().status, Status::PrimaryRunning);

    // Resumed, it drops what its sender gave up on and takes the next message.
    ::kill(pid_t(primary->processId()), SIGCONT);
    EXPECT_EQ(forward({"/later.mid"}), Status::Delivered);
    // It may have ended already (waitForFinished answers false for a process that has).
    ASSERT_TRUE(primary->state() == QProcess::NotRunning || primary->waitForFinished(10000));
    EXPECT_EQ(primary->readAllStandardOutput(), "received /later.mid\n");
}

TEST_F(SingleInstancePrimary, RacingLaunchesEndWithOnePrimary)
{
    constexpr int kLaunches = 4;
    std::vector<std::unique_ptr<QProcess>> launches;
    for (int i = 0; i < kLaunches; ++i)
        launches.push_back(helper(socketPath(), QStringLiteral("/item%1.mid").arg(i), kLaunches - 1));
    int primaries = 0;
    QStringList received;
    for (auto& process : launches) {
        ASSERT_TRUE(process->waitForFinished(20000));
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
        const QStringList lines = QString::fromUtf8(process->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        ASSERT_FALSE(lines.isEmpty());
        if (lines[0] == QLatin1String("primary")) {
            ++primaries;
            for (const QString& line : lines.mid(1))
                received.append(line.section(' ', 1));
        } else {
            EXPECT_EQ(lines[0], QLatin1String("forwarded"));
        }
    }
    EXPECT_EQ(primaries, 1);
    EXPECT_EQ(received.size(), kLaunches - 1);
}

// --- The runtime folder ---------------------------------------------------------------------

struct FolderCase {
    const char* name;
    bool viaRuntimeVariable;  // XDG_RUNTIME_DIR names the folder; else the fallback under TMPDIR
    void (*prepare)(const QByteArray& folder);
    const char* refusal;  // nullptr: the folder is used
    bool needsRoot;
};

class RuntimeFolder : public ::testing::TestWithParam<FolderCase> {
protected:
    void SetUp() override { saved_ = qgetenv("XDG_RUNTIME_DIR"); }
    void TearDown() override
    {
        qputenv("XDG_RUNTIME_DIR", saved_);
        qunsetenv("TMPDIR");
    }
    QByteArray saved_;
};

TEST_P(RuntimeFolder, IsUsedOnlyWhenPrivateToTheUser)
{
    const FolderCase& c = GetParam();
    if (c.needsRoot && ::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    QTemporaryDir temporary;
    const QByteArray base = QFile::encodeName(temporary.path());
    QByteArray folder = base + "/runtime";
    if (c.viaRuntimeVariable) {
        qputenv("XDG_RUNTIME_DIR", folder);
    } else {
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", base);
        folder = base + "/brennick-midi-player-" + QByteArray::number(::geteuid());
    }
    if (c.prepare != nullptr)
        c.prepare(folder);

    QString problem;
    const QString path = SingleInstance::defaultSocketPath(&problem);
    if (c.refusal == nullptr) {
        EXPECT_EQ(path, decodeLocalPath(folder) + QStringLiteral("/brennick-midi-player.socket"));
        struct stat info {};
        ASSERT_EQ(::lstat(folder.constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
    } else {
        EXPECT_TRUE(path.isEmpty());
        EXPECT_TRUE(problem.contains(QLatin1String(c.refusal))) << problem.toStdString();
    }
}

const FolderCase kFolderCases[] = {
    {"FallbackCreatedPrivate", false, nullptr, nullptr, false},
    {"FallbackOpenToOthers", false,
     [](const QByteArray& f) {
         ::mkdir(f, 0700);
         ::chmod(f, 0755);
     },
     "open to other users", false},
    {"FallbackSymlink", false,
     [](const QByteArray& f) {
         ::mkdir(f + ".real", 0700);
         EXPECT_EQ(::symlink(f + ".real", f), 0);
     },
     "symbolic link", false},
    {"FallbackNotAFolder", false, [](const QByteArray& f) { ::close(::open(f, O_CREAT | O_WRONLY, 0600)); },
     "not a folder", false},
    {"FallbackOfAnotherUser", false,
     [](const QByteArray& f) {
         ::mkdir(f, 0700);
         [[maybe_unused]] const int ignored = ::chown(f, kNobody, kNobody);
     },
     "another user", true},
    {"RuntimeDirectoryOpenToOthers", true,
     [](const QByteArray& f) {
         ::mkdir(f, 0700);
         ::chmod(f, 0777);
     },
     "open to other users", false},
};

INSTANTIATE_TEST_SUITE_P(Folders, RuntimeFolder, ::testing::ValuesIn(kFolderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Another user (needs root, which can act as another user) -------------------------------

class OtherUser : public SingleInstancePrimary {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "acting as another user needs root";
        // A folder both users may use, as a runtime directory shared by mistake would be.
        ::chmod(QFile::encodeName(dir_.path()).constData(), 01777);
    }
};

TEST_F(OtherUser, PrimaryOfAnotherUserIsSentNothing)
{
    // The helper, copied where the other user may run it, runs as that user.
    const QString program = dir_.filePath(QStringLiteral("helper"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(SINGLE_INSTANCE_HELPER), program));
    QProcess foreign;
    foreign.setChildProcessModifier([] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(126);
    });
    foreign.start(program, {socketPath(), QStringLiteral("/theirs.mid"), QStringLiteral("1")});
    ASSERT_TRUE(becamePrimary(foreign)) << foreign.readAllStandardError().toStdString();

    EXPECT_EQ(forward({"/mine.mid"}), Status::OtherUser);
    SingleInstance mine(socketPath());
    EXPECT_EQ(mine.listen().status, Status::OtherUser);
    // A socket file that looks like ours: the serving process still gives the other user away.
    ASSERT_EQ(::chown(QFile::encodeName(socketPath()).constData(), ::geteuid(), ::getegid()), 0);
    EXPECT_EQ(forward({"/mine.mid"}), Status::OtherUser);
    EXPECT_EQ(mine.listen().status, Status::OtherUser);
    foreign.kill();
    foreign.waitForFinished(5000);
    EXPECT_EQ(foreign.readAllStandardOutput(), "");
}

TEST_F(OtherUser, PrimaryDropsConnectionsOfAnotherUser)
{
    SingleInstance primary(socketPath());
    ASSERT_EQ(primary.listen().status, Status::Listening);
    ::chmod(QFile::encodeName(socketPath()).constData(), 0777);
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    const QByteArray message = "BRN1" + bigEndian(11) + bigEndian(1) + bigEndian(3) + "/x1";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath());
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));

    // Only system calls in the child: it is forked from a process with threads.
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::_exit(2);
        [[maybe_unused]] const ssize_t n = ::write(fd, message.constData(), std::size_t(message.size()));
        pollfd p{fd, POLLIN, 0};
        char answer = 0;
        const bool acknowledged = ::poll(&p, 1, 2000) == 1 && ::read(fd, &answer, 1) == 1;
        ::_exit(acknowledged ? 1 : 0);
    }
    int status = -1;
    while (::waitpid(child, &status, WNOHANG) == 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: acknowledged, 2: could not connect";
    QCoreApplication::processEvents();
    EXPECT_EQ(received.size(), 0);
}

}  // namespace
}  // namespace brennick
