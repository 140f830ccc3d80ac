// "Receive Sound Dump…": the window's side of receiving a dump. Listening, the file and its saving
// happen on the MIDI service thread and the listeners' own; this thread only shows how it goes.

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

#include <cstdio>

#include "app/app_delegate.h"
#include "app/dump_receiver.h"
#include "app/playback_state.h"
#include "platform/local_path.h"
#include "platform/system_log.h"
#include "services/midi_connection.h"
#include "services/midi_service_thread.h"
#include "ui/midi_view.h"

namespace brennick {

namespace {

constexpr int kReceivingIntervalMs = 1000 / 30;
// How long quitting waits for the MIDI service thread to take the saving of a dump.
constexpr double kSaveAtQuitQueueSeconds = 0.5;

// Runs `job` on this (the window's) thread, unless `delegate` has gone by then.
void onWindowThread(QPointer<AppDelegate> delegate, std::function<void(AppDelegate&)> job)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [delegate, job = std::move(job)] {
            if (delegate)
                job(*delegate);
        },
        Qt::QueuedConnection);
}

// The end on standard output when something was saved, else on standard error, as --receive says it.
void printOutcome(const DumpOutcome& outcome, const QString& text)
{
    const QByteArray line = encodeLocalPath(text) + '\n';
    std::FILE* stream = outcome.saved ? stdout : stderr;
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stream);
    std::fflush(stream);
}

}  // namespace

void AppDelegate::doReceiveDump()
{
    const QString chosen = QFileDialog::getSaveFileName(window_, QStringLiteral("Receive Sound Dump"), QString(),
                                                        QStringLiteral("SysEx files (*.syx)"));
    if (chosen.isEmpty())
        return;
    receiveDump(QFileInfo(chosen).suffix().isEmpty() ? chosen + QStringLiteral(".syx") : chosen);
}

void AppDelegate::receiveDump(const QString& path)
{
    if (receiver_)
        endReceiving();
    // A synth that sends a dump is not sent a file meanwhile; "Quit on stop" is no reason to quit.
    ++latestRequest_;
    waitingNotice_->stop();
    pendingFile_.reset();
    stopPlayer();
    stopTimer();
    playerStarted = 0;
    paused_ = false;

    auto receiver = std::make_shared<DumpReceiver>(path);
    if (!receiver->ok()) {
        const DumpOutcome outcome = receiver->finish();
        printOutcome(outcome, dumpOutcomeText(outcome, path));
        showStatus(QString(), dumpOutcomeText(outcome, path), QString());
        return;
    }
    receiver_ = receiver;
    receivingFrom_.clear();
    mainTimer_ = startRepeatingTimer(kReceivingIntervalMs, [this] { showReceiving(); });
    showPlaybackState();
    postToMidiServiceThread([receiver, self = QPointer<AppDelegate>(this)] {
        const std::shared_ptr<MidiBackend> backend = currentMidiBackend();
        const DumpReceiver::Listening listening =
            backend ? receiver->listen(*backend, QString()) : DumpReceiver::Listening{};
        if (!listening.missed.empty())
            systemLog(QStringLiteral("Receiving: not listening to %1: no more sources can be listened to at once")
                          .arg(sourceList(listening.missed)));
        onWindowThread(self, [receiver, sources = listening.sources](AppDelegate& delegate) {
            if (delegate.receiver_ == receiver)
                delegate.listeningStarted(sources);
        });
    });
}

void AppDelegate::listeningStarted(const std::vector<std::string>& sources)
{
    receivingFrom_ = sources;
    if (!sources.empty())
        return;
    // Nothing to listen to, so nothing to save: the receiver only has its new file dropped.
    postToMidiServiceThread([receiver = std::move(receiver_)] { receiver->finish(); });
    receiver_.reset();
    stopTimer();
    const QString text = QStringLiteral("No MIDI source to receive from");
    printOutcome(DumpOutcome{}, text);
    showStatus(QString(), text, QString());
}

void AppDelegate::showReceiving()
{
    if (!receiver_)
        return;
    if (receiver_->shouldEnd()) {
        endReceiving();
        return;
    }
    const QString text = dumpProgressText(receiver_->progress(), receivingFrom_);
    showStatus(QString(), text, QString());
    // No end is known: the whole arc breathes while the dump comes.
    if (view_)
        view_->setIndicatorValue(1.0);
}

void AppDelegate::endReceiving()
{
    const std::shared_ptr<DumpReceiver> receiver = std::move(receiver_);
    receiver_.reset();
    stopTimer();
    if (!receiver)
        return;
    postToMidiServiceThread([receiver, self = QPointer<AppDelegate>(this)] {
        const DumpOutcome outcome = receiver->finish();
        const QString text = dumpOutcomeText(outcome, receiver->path());
        printOutcome(outcome, text);
        onWindowThread(self, [text](AppDelegate& delegate) {
            if (!delegate.hasSomethingToStop()) {
                delegate.showStatus(QString(), text, QString());
                if (delegate.view_)
                    delegate.view_->update();
            }
        });
    });
}

void AppDelegate::saveDumpBeforeQuitting()
{
    const std::shared_ptr<DumpReceiver> receiver = std::move(receiver_);
    receiver_.reset();
    if (!receiver)
        return;
    // Before the MIDI service closes; a service that does not answer is not waited for.
    DumpOutcome outcome;
    if (runOnMidiServiceThreadWithin(kSaveAtQuitQueueSeconds, [&] { outcome = receiver->finish(); }))
        printOutcome(outcome, dumpOutcomeText(outcome, receiver->path()));
}

}  // namespace brennick
