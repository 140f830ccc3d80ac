#pragma once
// Receiving a sound dump into a file, for the menu's "Receive Sound Dump…" and for --receive:
// listening to the chosen sources, keeping every whole Brennick SysEx message in the order it
// arrives, counting what is not kept, and the silence that ends a dump. The file replaces the old
// one only at the end, in one step; when nothing was kept no file is written.

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "services/midi_backend.h"

namespace brennick {

// How long a dump may pause after a message before it is taken to be over.
inline constexpr double kDefaultDumpSilenceSeconds = 3.0;

struct DumpProgress {
    std::uint64_t messages = 0;  // kept so far
    std::uint64_t bytes = 0;     // of those messages, F0 and F7 included
    std::string source;          // display name of the source of the latest message kept
};

struct DumpOutcome {
    DumpProgress kept;
    std::uint64_t otherMakers = 0;    // whole SysEx messages of other makers, ignored
    std::uint64_t cutShort = 0;       // SysEx messages cut short (or too long), dropped
    std::uint64_t otherMessages = 0;  // channel, common and real-time messages, ignored
    bool saved = false;               // the file was replaced
    int error = 0;                    // errno when the file could not be written
};

class DumpReceiver {
public:
    // Begins the new file that is to replace `path`; ok() says whether it could be.
    DumpReceiver(const QString& path, double silenceSeconds = kDefaultDumpSilenceSeconds);
    ~DumpReceiver();
    DumpReceiver(const DumpReceiver&) = delete;
    DumpReceiver& operator=(const DumpReceiver&) = delete;

    bool ok() const;
    int error() const;  // errno, once something failed
    const QString& path() const { return path_; }

    struct Listening {
        std::vector<std::string> sources;    // display names of the sources listened to
        std::vector<std::string> available;  // display names of every source there is
        std::vector<std::string> missed;     // chosen, but gone meanwhile or beyond the listeners left
    };
    // On the MIDI service thread: listens to every source whose display name or identity contains
    // `from` (ignoring case; every source when it is empty). A source that cannot be listened to is
    // passed over and named in `missed`.
    Listening listen(MidiBackend& backend, const QString& from);

    // One whole SysEx message from `source`; on any thread (the listeners' own).
    void take(std::span<const std::uint8_t> message, const std::string& source);

    DumpProgress progress() const;
    // True once the dump is over: the silence has lasted since the latest SysEx message, after one
    // was kept; or the file can no longer be written.
    bool shouldEnd(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) const;

    // On the MIDI service thread: stops listening, then puts the file in place when a message
    // was kept. Once; what arrives afterwards is not kept.
    DumpOutcome finish();

private:
    const QString path_;
    const std::chrono::duration<double> silence_;
    mutable std::mutex mutex_;  // guards what take() changes
    AtomicFile file_;
    DumpOutcome outcome_;
    bool finished_ = false;
    std::chrono::steady_clock::time_point lastMessageAt_{};
    std::vector<std::unique_ptr<InputListener>> listeners_;  // on the MIDI service thread only
};

// "Receiving from <source>: <n> messages, <bytes> bytes"; before the first message the source is
// the one listened to, or how many are ("every source" before listening has begun).
QString dumpProgressText(const DumpProgress& progress, const std::vector<std::string>& sources);
// What the end says: "Saved 12 messages, 4.2 kB to FILE.syx", or that nothing was saved and why,
// with what was dropped and what was ignored.
QString dumpOutcomeText(const DumpOutcome& outcome, const QString& path);
// The sources for a message: "A, B" or "none".
QString sourceList(const std::vector<std::string>& names);

}  // namespace brennick
