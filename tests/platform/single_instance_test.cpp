// One primary instance per user: forwarding, stale sockets, hostile clients and racing launches.
#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>

#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace brennick {
namespace {

class SingleInstanceTest : public ::testing::Test {
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

    QTemporaryDir dir_;
};

TEST_F(SingleInstanceTest, DefaultSocketLivesInTheRuntimeDirectory)
{
    EXPECT_EQ(SingleInstance::defaultSocketPath(),
              qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/brennick-midi-player.socket"));
}

TEST_F(SingleInstanceTest, PrimaryReceivesForwardedItems)
{
    SingleInstance primary(socketPath());
    ASSERT_TRUE(primary.listen());
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    const QStringList items{"/music/a b.mid", "brennick://x", QString::fromUtf8("/m/Größe.mid"), ""};
    EXPECT_TRUE(whileServing([&] { return SingleInstance::forward(items, 3000, socketPath()); }));
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].toStringList(), items);

    // A second instance on the same socket stays secondary.
    SingleInstance second(socketPath());
    EXPECT_FALSE(second.listen());
    EXPECT_TRUE(primary.isListening());
}

TEST_F(SingleInstanceTest, ForwardWithoutPrimaryFails)
{
    EXPECT_FALSE(SingleInstance::forward({"/a.mid"}, 500, socketPath()));
    QStringList tooMany;
    for (int i = 0; i <= SingleInstance::kMaxItems; ++i)
        tooMany.append(QStringLiteral("x"));
    SingleInstance primary(socketPath());
    ASSERT_TRUE(primary.listen());
    EXPECT_FALSE(SingleInstance::forward(tooMany, 500, socketPath()));
    EXPECT_FALSE(SingleInstance::forward({QString(SingleInstance::kMaxMessageBytes, 'x')}, 500, socketPath()));
}

TEST_F(SingleInstanceTest, StaleSocketOfCrashedPrimaryIsReplaced)
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

    SingleInstance primary(socketPath());
    ASSERT_TRUE(primary.listen());
    QSignalSpy received(&primary, &SingleInstance::itemsReceived);
    EXPECT_TRUE(whileServing([&] { return SingleInstance::forward({"/a.mid"}, 3000, socketPath()); }));
    EXPECT_EQ(received.size(), 1);
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

class SingleInstanceGarbage : public SingleInstanceTest, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(SingleInstanceGarbage, IsIgnoredAndThePrimaryKeepsServing)
{
    SingleInstance primary(socketPath());
    ASSERT_TRUE(primary.listen());
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
    EXPECT_TRUE(whileServing([&] { return SingleInstance::forward({"/ok.mid"}, 3000, socketPath()); }));
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][0].toStringList(), QStringList{"/ok.mid"});
}

const GarbageCase kGarbageCases[] = {
    {"WrongMagic", QByteArray("GET / HTTP/1.0\r\n\r\n")},
    {"HugeDeclaredLength", "BRN1" + bigEndian(0xFFFFFFF0u) + bigEndian(1)},
    {"HugeItemCount", "BRN1" + bigEndian(4) + bigEndian(0xFFFFFFFFu)},
    {"ItemLongerThanBody", "BRN1" + bigEndian(9) + bigEndian(1) + bigEndian(1000) + "x"},
    {"TrailingBytes", "BRN1" + bigEndian(9) + bigEndian(0) + "extra"},
    {"InvalidUtf8", "BRN1" + bigEndian(10) + bigEndian(1) + bigEndian(2) + "\xC3\x28"},
    {"Unfinished", "BRN1" + bigEndian(100) + bigEndian(1)},
    {"EmptyBody", "BRN1" + bigEndian(0)},
};

INSTANTIATE_TEST_SUITE_P(Messages, SingleInstanceGarbage, ::testing::ValuesIn(kGarbageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SingleInstanceTest, RacingLaunchesEndWithOnePrimary)
{
    constexpr int kLaunches = 4;
    std::vector<std::unique_ptr<QProcess>> launches;
    for (int i = 0; i < kLaunches; ++i) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(SINGLE_INSTANCE_HELPER),
                       {socketPath(), QStringLiteral("/item%1.mid").arg(i), QString::number(kLaunches - 1)});
        launches.push_back(std::move(process));
    }
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

}  // namespace
}  // namespace brennick
