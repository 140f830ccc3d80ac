// A launch as the player makes it: forward to a running primary, or become the primary and print
// what arrives. Usage: single_instance_helper <socket path> <item> <items to wait for>
// Prints "primary" or "forwarded" first; a primary then prints "received <item>" lines (the
// item's bytes as they came). Anything else ends with status 3 and the message on stderr.
#include "platform/single_instance.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "platform/local_path.h"

using brennick::SingleInstance;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QString socketPath = brennick::decodeLocalPath(argv[1]);
    const QList<QByteArray> items{QByteArray(argv[2])};
    const int expected = QString::fromLatin1(argv[3]).toInt();

    SingleInstance instance(socketPath);
    SingleInstance::Result result = SingleInstance::forward(items, 3000, socketPath);
    if (result.status == SingleInstance::Status::NoPrimary) {
        result = instance.listen();
        if (result.status == SingleInstance::Status::PrimaryRunning)
            result = SingleInstance::forward(items, 3000, socketPath);
    }
    if (result.status == SingleInstance::Status::Delivered) {
        std::printf("forwarded\n");
        return 0;
    }
    if (result.status != SingleInstance::Status::Listening) {
        std::fprintf(stderr, "%s\n", qPrintable(result.message));
        return 3;
    }
    std::printf("primary\n");
    std::fflush(stdout);
    int received = 0;
    QObject::connect(&instance, &SingleInstance::itemsReceived, [&](const QList<QByteArray>& got) {
        for (const QByteArray& item : got)
            std::printf("received %s\n", item.constData());
        std::fflush(stdout);
        if (++received == expected)
            app.quit();
    });
    if (expected == 0)
        return 0;
    QTimer::singleShot(15000, &app, [&] { app.exit(4); });
    return app.exec();
}
