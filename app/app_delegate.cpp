#include "app/app_delegate.h"

#include "app/destination_lister.h"
#include "app/sequence_loader.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include "platform/notification_center.h"
#include "platform/system_log.h"
#include "services/midi_connection.h"
#include "ui/menu_item.h"
#include "ui/midi_view.h"

namespace brennick {

namespace {
constexpr int kResourcePollIntervalMs = 2000;
// A request that waits longer than this for the MIDI service says so.
constexpr int kWaitingNoticeMs = 1000;
const QString kPlayMIDIFile = QStringLiteral("PlayMIDIFile");
}  // namespace

AppDelegate::AppDelegate()
    : loader_(new SequenceLoader(this)), lister_(new DestinationLister(this)), waitingNotice_(new QTimer(this))
{
    connect(loader_, &SequenceLoader::loaded, this,
            [this](const std::shared_ptr<LoadedFile>& file) { fileLoaded(file); });
    connect(lister_, &DestinationLister::listed, this,
            [this](std::uint64_t request, const DestinationListing& listing) { destinationsListed(request, listing); });
    waitingNotice_->setSingleShot(true);
    waitingNotice_->setInterval(kWaitingNoticeMs);
    connect(waitingNotice_, &QTimer::timeout, this, [this] { showWaitingForService(); });
    NotificationCenter::defaultCenter().addObserver(this, kPlayMIDIFile,
                                                    [this](const Notification& n) { receiveNotification(n); });
}

AppDelegate::~AppDelegate()
{
    NotificationCenter::defaultCenter().removeObserver(this);
}

void AppDelegate::receiveNotification(const Notification& notification)
{
    if (notification.name != kPlayMIDIFile)
        return;
    if (notification.object.isNull()) {
        playMidiFile(nullptr);
        return;
    }
    if (notification.object.typeId() == QMetaType::QStringList) {
        playMidiFiles(notification.object.toStringList());
        return;
    }
    const QString path = notification.object.toString();
    playMidiFile(&path);
}

void AppDelegate::applicationWillFinishLaunching()
{
    getURLHandlerRegistered_ = true;
}

void AppDelegate::handleGetURLEvent(const QString& url)
{
    systemLog(QStringLiteral("handleGetURLEvent:(NSAppleEventDescriptor *)event withReplyEvent:"
                             "(NSAppleEventDescriptor *)replyEvent"));
    // A file manager hands remote files over as URLs; the player reads local files only.
    reportCannotPlay(url, QStringLiteral("not a local file"));
}

void AppDelegate::showStatus(const QString& before, const QString& subject, const QString& after)
{
    if (view_)
        view_->setInfoText(before + subject + after, TextSpan{before.size(), subject.size()});
}

void AppDelegate::reportCannotPlay(const QString& subject, const QString& reason)
{
    showStatus(QStringLiteral("Cannot play "), subject, QStringLiteral(": ") + reason);
    if (view_)
        view_->update();  // also when nothing else repaints, as while idle
    systemLog(QStringLiteral("Cannot play %1: %2").arg(subject, reason));
}

void AppDelegate::applicationDidFinishLaunching()
{
    if (window_)
        window_->repaint();
    if (view_)
        view_->setIndicatorValue(0.0);
    loadSettings();
    if (checkIfFileIsInResource() == 1) {
        doOpenResourceFile();
        if (openResourceFile_)
            openResourceFile_->setHidden(true);
        return;
    }
    // The poll only shows or hides the menu item; it never starts playback by itself.
    fileTimer_ = startRepeatingTimer(kResourcePollIntervalMs, [this] { checkIfFileIsInResource(); });
}

bool AppDelegate::applicationOpenFile(const QString* filename)
{
    playMidiFile(filename);
    return filename != nullptr;
}

void AppDelegate::applicationOpenFiles(const QStringList& filenames)
{
    if (filenames.size() > 1 && playsSeveralFilesInTurn())
        playMidiFiles(filenames);
    else if (!filenames.isEmpty())
        applicationOpenFile(&filenames.last());
}

void AppDelegate::applicationWillTerminate()
{
    saveDumpBeforeQuitting();
    saveSettings();
}

void leaveMidiServices(int status)
{
    if (closeMidiServices(kMidiServiceCloseSeconds))
        return;
    // The MIDI service thread is inside a call that does not return (a server or its metadata
    // database that does not answer): the end of the program must not wait for it, nor run static
    // destructors under it.
    std::fflush(nullptr);
    std::_Exit(status);
}

void exitProcess(int status)
{
    leaveMidiServices(status);
    std::fflush(nullptr);
    std::exit(status);
}

}  // namespace brennick
