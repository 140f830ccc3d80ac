// A launch as the player makes it: forward to a running primary, or become the primary and print
// what arrives. Usage: single_instance_helper <socket path> <item> <items to wait for>
// Prints "primary" or "forwarded" first; a primary then prints "received <item>" lines.
#include "platform/single_instance.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QString socketPath = QString::fromLocal8Bit(argv[1]);
    const QStringList items{QString::fromLocal8Bit(argv[2])};
    const int expected = QString::fromLatin1(argv[3]).toInt();

    brennick::SingleInstance instance(socketPath);
    if (brennick::SingleInstance::forward(items, 3000, socketPath) ||
        (!instance.listen() && brennick::SingleInstance::forward(items, 3000, socketPath))) {
        std::printf("forwarded\n");
        return 0;
    }
    if (!instance.isListening())
        return 3;
    std::printf("primary\n");
    std::fflush(stdout);
    int received = 0;
    QObject::connect(&instance, &brennick::SingleInstance::itemsReceived, [&](const QStringList& got) {
        for (const QString& item : got)
            std::printf("received %s\n", qPrintable(item));
        std::fflush(stdout);
        if (++received == expected)
            app.quit();
    });
    if (expected == 0)
        return 0;
    QTimer::singleShot(15000, &app, [&] { app.exit(4); });
    return app.exec();
}
