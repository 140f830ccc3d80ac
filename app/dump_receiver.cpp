#include "app/dump_receiver.h"

#include <cstring>

namespace brennick {

namespace {

// The maker byte of Brennick's SysEx messages, after F0.
constexpr std::uint8_t kBrennickMaker = 0x3E;

QString counted(std::uint64_t n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromLatin1(n == 1 ? one : many));
}

// Sizes as a person reads them: "512 bytes", "4.2 kB", "1.3 MB" (powers of ten).
QString readableSize(std::uint64_t bytes)
{
    if (bytes < 1000)
        return counted(bytes, "byte", "bytes");
    if (bytes < 999'950)
        return QStringLiteral("%1 kB").arg(double(bytes) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / 1e6, 0, 'f', 1);
}

bool containsIgnoringCase(const std::string& name, const QString& part)
{
    return QString::fromStdString(name).contains(part, Qt::CaseInsensitive);
}

}  // namespace

DumpReceiver::DumpReceiver(const QString& path, double silenceSeconds)
    : path_(path), silence_(silenceSeconds), file_(path)
{
    outcome_.error = file_.error();
}

DumpReceiver::~DumpReceiver() = default;

bool DumpReceiver::ok() const
{
    std::lock_guard lock(mutex_);
    return outcome_.error == 0;
}

int DumpReceiver::error() const
{
    std::lock_guard lock(mutex_);
    return outcome_.error;
}

DumpReceiver::Listening DumpReceiver::listen(MidiBackend& backend, const QString& from)
{
    Listening listening;
    for (const SourceHandle& source : backend.sources()) {
        listening.available.push_back(source->displayName());
        if (!from.isEmpty() && !containsIgnoringCase(source->displayName(), from) &&
            !containsIgnoringCase(source->identity(), from))
            continue;
        auto handler = [this, name = source->displayName()](std::span<const std::uint8_t> message) {
            take(message, name);
        };
        if (auto listener = backend.listen(source, std::move(handler))) {
            listeners_.push_back(std::move(listener));
            listening.sources.push_back(source->displayName());
        } else {
            listening.missed.push_back(source->displayName());
        }
    }
    return listening;
}

void DumpReceiver::take(std::span<const std::uint8_t> message, const std::string& source)
{
    std::lock_guard lock(mutex_);
    if (finished_)
        return;
    lastMessageAt_ = std::chrono::steady_clock::now();
    if (message.size() < 3 || message[1] != kBrennickMaker) {
        ++outcome_.otherMakers;
        return;
    }
    if (!file_.append(reinterpret_cast<const char*>(message.data()), message.size())) {
        outcome_.error = file_.error();
        return;
    }
    ++outcome_.kept.messages;
    outcome_.kept.bytes += message.size();
    outcome_.kept.source = source;
}

DumpProgress DumpReceiver::progress() const
{
    std::lock_guard lock(mutex_);
    return outcome_.kept;
}

bool DumpReceiver::shouldEnd(std::chrono::steady_clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    return outcome_.error != 0 || (outcome_.kept.messages > 0 && now - lastMessageAt_ >= silence_);
}

DumpOutcome DumpReceiver::finish()
{
    // Stopped first, so that what they passed over counts everything that came before what was kept.
    std::uint64_t cutShort = 0;
    std::uint64_t otherMessages = 0;
    for (const auto& listener : listeners_) {
        listener->stop();
        const InputCounts counts = listener->counts();
        cutShort += counts.dropped + (counts.unfinished ? 1 : 0);
        otherMessages += counts.other;
    }
    listeners_.clear();

    std::lock_guard lock(mutex_);
    if (finished_)
        return outcome_;
    finished_ = true;
    outcome_.cutShort = cutShort;
    outcome_.otherMessages = otherMessages;
    if (outcome_.error == 0 && outcome_.kept.messages > 0) {
        outcome_.saved = file_.commit();
        if (!outcome_.saved)
            outcome_.error = file_.error();
    }
    return outcome_;
}

QString dumpProgressText(const DumpProgress& progress, const std::vector<std::string>& sources)
{
    const QString from = !progress.source.empty() ? QString::fromStdString(progress.source)
                         : sources.size() == 1    ? QString::fromStdString(sources.front())
                         : sources.empty()        ? QStringLiteral("every source")
                                                  : QStringLiteral("%1 sources").arg(sources.size());
    return QStringLiteral("Receiving from %1: %2, %3")
        .arg(from, counted(progress.messages, "message", "messages"), counted(progress.bytes, "byte", "bytes"));
}

QString dumpOutcomeText(const DumpOutcome& outcome, const QString& path)
{
    QString text;
    if (outcome.saved)
        text = QStringLiteral("Saved %1, %2 to %3")
                   .arg(counted(outcome.kept.messages, "message", "messages"), readableSize(outcome.kept.bytes), path);
    else if (outcome.error != 0)
        text = QStringLiteral("Cannot save %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(outcome.error)));
    else
        text = QStringLiteral("Nothing received: %1 not written").arg(path);
    if (outcome.cutShort > 0)
        text += QStringLiteral("; dropped %1").arg(counted(outcome.cutShort, "message cut short", "messages cut short"));
    QStringList ignored;
    if (outcome.otherMakers > 0)
        ignored << counted(outcome.otherMakers, "SysEx message of another maker", "SysEx messages of other makers");
    if (outcome.otherMessages > 0)
        ignored << counted(outcome.otherMessages, "other MIDI message", "other MIDI messages");
    if (!ignored.isEmpty())
        text += QStringLiteral("; ignored ") + ignored.join(QStringLiteral(" and "));
    return text;
}

QString sourceList(const std::vector<std::string>& names)
{
    QStringList list;
    for (const std::string& name : names)
        list << QString::fromStdString(name);
    return list.isEmpty() ? QStringLiteral("none") : list.join(QStringLiteral(", "));
}

}  // namespace brennick
