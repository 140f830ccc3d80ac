#include "app/application.h"

#include <QApplication>
#include <QDir>
#include <QFileOpenEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "platform/launch_requests.h"
#include "platform/resource_directory.h"
#include "platform/single_instance.h"
#include "ui/midi_window.h"

namespace brennick {

namespace {

constexpr int kForwardTimeoutMs = 3000;

// Hands desktop requests to the controller: files to open and URLs to get.
class RequestIntake : public QObject {
public:
    explicit RequestIntake(AppDelegate& delegate) : delegate_(delegate) {}

    void handle(const QList<LaunchRequest>& requests)
    {
        for (const LaunchRequest& request : requests) {
            if (request.kind == LaunchRequest::Kind::OpenFile)
                delegate_.applicationOpenFile(&request.value);
            else if (delegate_.handlesGetURLEvents())
                delegate_.handleGetURLEvent(request.value);
        }
    }

    // Items forwarded by a second launch are already absolute paths or URLs.
    void handleForwarded(const QStringList& items) { handle(classifyLaunchArguments(items, QDir::rootPath())); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FileOpen) {
            const auto* open = static_cast<QFileOpenEvent*>(event);
            const QString file = open->file();
            handle(file.isEmpty() ? classifyLaunchArguments({open->url().toString()}, QDir::currentPath())
                                  : QList<LaunchRequest>{{LaunchRequest::Kind::OpenFile, file}});
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    AppDelegate& delegate_;
};

// SIGTERM and SIGINT (a session ending, Ctrl+C in a terminal) end the player like its Quit item:
// the settings are saved and the exit status is 0. The handler only writes a byte; the main loop
// does the rest.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void quitOnTerminationSignals(QObject* context)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

QStringList forwardable(const QList<LaunchRequest>& requests)
{
    QStringList items;
    for (const LaunchRequest& r : requests)
        items << r.value;
    return items;
}

}  // namespace

int runApplication(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brennick-midi-player"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brennick MIDI Player"));
    QApplication::setDesktopFileName(QStringLiteral("brennick-midi-player"));

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    const QList<LaunchRequest> launchRequests = classifyLaunchArguments(arguments, QDir::currentPath());

    // One player per user: a second launch hands its files and URLs to the first and ends.
    SingleInstance instance;
    if (SingleInstance::forward(forwardable(launchRequests), kForwardTimeoutMs))
        return 0;
    if (!instance.listen() && SingleInstance::forward(forwardable(launchRequests), kForwardTimeoutMs))
        return 0;

    MainInterface ui = loadMainInterface(resourceDirectoryPath());
    AppDelegate& delegate = *ui.delegate;
    QApplication::setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });

    RequestIntake intake(delegate);
    app.installEventFilter(&intake);
    QObject::connect(&instance, &SingleInstance::itemsReceived, &intake,
                     [&intake](const QStringList& items) { intake.handleForwarded(items); });

    quitOnTerminationSignals(&delegate);

    delegate.applicationWillFinishLaunching();
    ui.window->show();
    intake.handle(launchRequests);
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return app.exec();
}

}  // namespace brennick
