#include "app/application.h"

#include <QApplication>
#include <QFileOpenEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/destination_report.h"
#include "app/dump_receiver.h"
#include "app/main_interface.h"
#include "app/model_preferences.h"
#include "platform/launch_requests.h"
#include "platform/local_path.h"
#include "platform/media_controls.h"
#include "platform/property_list.h"
#include "platform/resource_directory.h"
#include "platform/single_instance.h"
#include "platform/system_log.h"
#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "ui/midi_window.h"

namespace brennick {

namespace {

constexpr int kForwardTimeoutMs = 3000;
// Attempts to become the primary or reach it while a primary comes and goes at the same time.
constexpr int kInstanceAttempts = 3;

// Writes `text`, with the exact bytes of any path in it.
void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = encodeLocalPath(text);
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

// The one place where the program ends after its own work: after --list, and after the main loop.
int endProgram(int status)
{
    leaveMidiServices(status);
    return status;
}

// Whether Qt can show a window: a display server is named, or QT_QPA_PLATFORM names a platform
// that needs none (among a list, Qt takes the first that works).
bool graphicalDisplayAvailable()
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    static const QStringList displayFree{"offscreen", "minimal", "minimalegl",  "linuxfb",
                                         "eglfs",     "vnc",     "vkkhrdisplay"};
    const QStringList platforms = qEnvironmentVariable("QT_QPA_PLATFORM").split(u';', Qt::SkipEmptyParts);
    return std::any_of(platforms.begin(), platforms.end(), [](const QString& platform) {
        return displayFree.contains(platform.section(u':', 0, 0).trimmed());
    });
}

QStringList decoded(const QList<QByteArray>& items)
{
    QStringList out;
    out.reserve(items.size());
    for (const QByteArray& item : items)
        out.append(decodeLocalPath(item));
    return out;
}

// Hands desktop requests to the controller: files to open and URLs to get. A batch (one launch's
// arguments, one forwarded message) may hold thousands of requests; each play request replaces
// the one before, so only the newest file is played (unless the controller plays several files in
// turn), and the get-URL handler, whose only effect is its fixed log line, is called once.
class RequestIntake : public QObject {
public:
    explicit RequestIntake(AppDelegate& delegate) : delegate_(delegate) {}

    void handle(const QList<LaunchRequest>& requests)
    {
        const LaunchBatch batch = coalesceLaunchRequests(requests);
        if (batch.requestCount > 1) {
            const QString played = batch.files.size() > 1 && delegate_.playsSeveralFilesInTurn()
                                       ? QStringLiteral("; playing the files in turn")
                                   : batch.newestFile ? QStringLiteral("; playing the newest")
                                                      : QString();
            systemLog(QStringLiteral("received %1 requests").arg(batch.requestCount) + played);
        }
        if (batch.newestGetURL && delegate_.handlesGetURLEvents())
            delegate_.handleGetURLEvent(*batch.newestGetURL);
        if (!batch.files.isEmpty())
            delegate_.applicationOpenFiles(batch.files);
    }

    // Items forwarded by a second launch are already absolute paths or URLs.
    void handleForwarded(const QList<QByteArray>& items)
    {
        handle(classifyLaunchArguments(decoded(items), QStringLiteral("/")));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FileOpen) {
            const auto* open = static_cast<QFileOpenEvent*>(event);
            const QString file = open->file();
            handle(file.isEmpty() ? classifyLaunchArguments({open->url().toString()}, currentDirectoryPath())
                                  : QList<LaunchRequest>{{LaunchRequest::Kind::OpenFile, file}});
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    AppDelegate& delegate_;
};

// SIGTERM and SIGINT (a session ending, Ctrl+C in a terminal) end the player like its Quit item,
// and end --receive. The handler only writes a byte; the main loop does the rest.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// The end of a pipe that becomes readable when SIGTERM or SIGINT arrives; -1 without one.
int watchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return -1;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return signalPipe[0];
}

// The settings are saved and the exit status is 0.
void quitOnTerminationSignals(QObject* context)
{
    const int signalled = watchTerminationSignals();
    if (signalled < 0)
        return;
    auto* notifier = new QSocketNotifier(signalled, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [signalled] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalled, &byte, 1);
        QCoreApplication::quit();
    });
}

// Whether a termination signal arrived within `timeoutMs` (on `signalled`, from
// watchTerminationSignals).
bool terminationSignalled(int signalled, int timeoutMs)
{
    pollfd watched{signalled, POLLIN, 0};
    return ::poll(&watched, signalled < 0 ? 0 : 1, timeoutMs) > 0;
}

// --receive: listens on the MIDI service thread, waits for the dump's end in this one, saves.
// Needs no display: it is a command like --list. A signal ends it also while a server that does
// not answer holds the listening up.
int runReceive(const CommandLine& line)
{
    constexpr int kPollMs = 50;
    constexpr double kServiceQueueSeconds = 0.5;
    const QString path = decodeLocalPath(line.receivePath);
    const auto receiver = std::make_shared<DumpReceiver>(path, line.silenceSeconds);
    if (!receiver->ok()) {
        print(stderr, dumpOutcomeText(receiver->finish(), path) + QLatin1Char('\n'));
        return kExitAfterPlayback;
    }
    const int signalled = watchTerminationSignals();
    auto listening = std::make_shared<std::promise<DumpReceiver::Listening>>();
    std::future<DumpReceiver::Listening> listened = listening->get_future();
    postToMidiServiceThread([receiver, listening, from = line.from] {
        const std::shared_ptr<MidiBackend> backend = currentMidiBackend();
        listening->set_value(backend ? receiver->listen(*backend, from) : DumpReceiver::Listening{});
    });
    bool signalArrived = false;
    while (!signalArrived && listened.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        signalArrived = terminationSignalled(signalled, kPollMs);
    const DumpReceiver::Listening sources = signalArrived ? DumpReceiver::Listening{} : listened.get();
    int status = kExitOk;  // until said otherwise: what the end says decides
    if (signalArrived) {
        // Nothing can have been received yet.
    } else if (sources.available.empty()) {
        print(stderr, QStringLiteral("no MIDI source to receive from\n"));
        status = kExitAfterPlayback;
    } else if (sources.sources.empty() && !line.from.isEmpty()) {
        print(stderr, QStringLiteral("no MIDI source's name contains \"%1\"; the sources are: %2\n")
                          .arg(line.from, sourceList(sources.available)));
        status = kExitUsage;
    } else if (sources.sources.empty()) {
        print(stderr, QStringLiteral("cannot listen to any MIDI source\n"));
        status = kExitAfterPlayback;
    } else {
        print(stderr, QStringLiteral("Waiting for a dump from %1 (it ends %2 s after the latest message, or on "
                                     "Ctrl+C)\n")
                          .arg(sourceList(sources.sources))
                          .arg(line.silenceSeconds));
        // A backend listens to a few sources at once (JACK: 8): a synth beyond them would go unheard.
        if (!sources.missed.empty())
            print(stderr, QStringLiteral("not listening to %1: no more sources can be listened to at once; pick "
                                         "one with --from\n")
                              .arg(sourceList(sources.missed)));
        while (!receiver->shouldEnd() && !terminationSignalled(signalled, kPollMs)) {
        }
    }
    // The listeners close before the MIDI service does; a service thread that is held up by a
    // server that does not answer is not waited for (nothing was received then).
    DumpOutcome outcome;
    runOnMidiServiceThreadWithin(kServiceQueueSeconds, [&] { outcome = receiver->finish(); });
    if (status == kExitOk) {
        status = outcome.saved ? kExitOk : kExitAfterPlayback;
        print(outcome.saved ? stdout : stderr, dumpOutcomeText(outcome, path) + QLatin1Char('\n'));
    }
    return endProgram(status);
}

// What a second launch sends: every request, or, when they are too many for one message (tens of
// thousands), what they come to: the newest file alone.
QList<QByteArray> forwardedItems(const QList<LaunchRequest>& requests)
{
    QList<QByteArray> items;
    for (const LaunchRequest& r : requests)
        items.append(encodeLocalPath(r.value));
    if (SingleInstance::fitsOneMessage(items))
        return items;
    items.clear();
    for (const LaunchRequest& r : coalesceLaunchRequests(requests).requests())
        items.append(encodeLocalPath(r.value));
    return items;
}

// The end of a single-instance step that neither made this launch the primary nor found none:
// the exit status, or nullopt to run without single instance. Never a second player next to one
// that may be running: only a socket that cannot be used at all lets this launch run alone.
std::optional<int> settle(const SingleInstance::Result& result)
{
    if (result.status == SingleInstance::Status::Delivered)
        return kExitOk;
    if (result.status == SingleInstance::Status::Unavailable) {
        print(stderr, result.message + QStringLiteral("; running without single instance\n"));
        return std::nullopt;
    }
    print(stderr, result.message + QStringLiteral("; not starting a second player\n"));
    return kExitPlayerStuck;
}

// Becomes the primary (`instance` listens), or hands `items` to the primary that won a race.
// nullopt: run; a value: the exit status.
std::optional<int> becomePrimary(SingleInstance& instance, const QList<QByteArray>& items, const QString& socketPath)
{
    for (int attempt = 0; attempt < kInstanceAttempts; ++attempt) {
        const SingleInstance::Result listening = instance.listen();
        if (listening.status == SingleInstance::Status::Listening)
            return std::nullopt;
        if (listening.status != SingleInstance::Status::PrimaryRunning)
            return settle(listening);
        const SingleInstance::Result forwarded = SingleInstance::forward(items, kForwardTimeoutMs, socketPath);
        if (forwarded.status != SingleInstance::Status::NoPrimary)
            return settle(forwarded);
        // The primary ended in between: try again to take its place.
    }
    print(stderr,
          QStringLiteral("players keep starting and ending on %1; not starting a second player\n").arg(socketPath));
    return kExitPlayerStuck;
}

int runPlayer(char* programName, const QList<QByteArray>& operands)
{
    const QList<LaunchRequest> launchRequests = classifyLaunchArguments(decoded(operands), currentDirectoryPath());

    // One player per user: a later launch hands its files and URLs to the first and ends.
    QString problem;
    const QString socketPath = SingleInstance::defaultSocketPath(&problem);
    bool singleInstance = !socketPath.isEmpty();
    if (!singleInstance)
        print(stderr, problem + QStringLiteral("; running without single instance\n"));
    const QList<QByteArray> items = singleInstance ? forwardedItems(launchRequests) : QList<QByteArray>();
    if (singleInstance) {
        const SingleInstance::Result forwarded = SingleInstance::forward(items, kForwardTimeoutMs, socketPath);
        if (forwarded.status != SingleInstance::Status::NoPrimary) {
            if (const auto status = settle(forwarded))
                return *status;
            singleInstance = false;
        }
    }

    settleSessionBus();  // before any other thread reads the environment
    // The connection to the MIDI service opens while Qt starts and the window is built: the first
    // file plays sooner, and a server that is slow to answer holds up nothing here. (A launch that
    // still hands its files over to a primary started meanwhile ends without using it.)
    postToMidiServiceThread([] { currentMidiBackend(); });

    // Qt sees no user argument, so that no file name is taken for one of its options.
    int qtArgc = 1;
    char* qtArgv[] = {programName, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("brennick-midi-player"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brennick MIDI Player"));
    QApplication::setDesktopFileName(QStringLiteral("brennick-midi-player"));
    QApplication::setWindowIcon(playerIcon());  // the open dialog and the alert have it too

    SingleInstance instance(socketPath);
    if (singleInstance) {
        if (const auto status = becomePrimary(instance, items, socketPath))
            return *status;
        instance.serveOnOwnThread();
    }

    MainInterface ui = loadMainInterface(resourceDirectoryPath());
    AppDelegate& delegate = *ui.delegate;
    QApplication::setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });

    RequestIntake intake(delegate);
    app.installEventFilter(&intake);
    QObject::connect(&instance, &SingleInstance::itemsReceived, &intake,
                     [&intake](const QList<QByteArray>& received) { intake.handleForwarded(received); });

    quitOnTerminationSignals(&delegate);

    delegate.applicationWillFinishLaunching();
    // The files given are read, and the destinations listed, while the window is first drawn.
    intake.handle(launchRequests);
    ui.window->show();
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return endProgram(app.exec());
}

}  // namespace

int runApplication(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv);
    switch (line.action) {
    case CommandLine::Action::Usage:
        print(stderr, line.error + QLatin1Char('\n') + usageText() +
                          QStringLiteral("Try 'brennick-midi-player --help' for more.\n"));
        return kExitUsage;
    case CommandLine::Action::Help: print(stdout, helpText()); return kExitOk;
    case CommandLine::Action::Version: print(stdout, versionText()); return kExitOk;
    case CommandLine::Action::List: {
        // Only for the program's own place, where the settings with the user's picks are found.
        int coreArgc = 1;
        QCoreApplication core(coreArgc, argv);
        ModelPreferences preferences;
        if (const auto settings = readPropertyListDictionary(AppDelegate::settingsPath()))
            preferences.load(*settings);
        print(stdout, destinationReport(decoded(line.operands), currentDirectoryPath(), preferences));
        return endProgram(kExitOk);
    }
    case CommandLine::Action::Receive: return runReceive(line);
    case CommandLine::Action::Run: break;
    }
    // Checked before anything starts: without it Qt would abort with a long message of its own.
    if (!graphicalDisplayAvailable()) {
        print(stderr, QStringLiteral("no graphical display: set DISPLAY or WAYLAND_DISPLAY\n"));
        return kExitUsage;
    }
    return runPlayer(argv[0], line.operands);
}

}  // namespace brennick
