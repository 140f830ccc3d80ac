#pragma once
// What the player remembers per synth model: the destination the user picked, and how fast SysEx
// may flow to it.

#include <QMap>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace brennick {

// SysEx speed the player uses when the user has set none, in bytes per second.
inline constexpr int kDefaultSysExBytesPerSecond = 60000;
// The speeds accepted, in bytes per second: from a slow serial link to well beyond USB MIDI.
inline constexpr int kMinSysExBytesPerSecond = 100;
inline constexpr int kMaxSysExBytesPerSecond = 1000000;
// Longest pause after each SysEx message, in milliseconds; synths that must store a sound before
// the next one comes need a few hundred at most.
inline constexpr int kMaxSysExPauseMs = 5000;

// How SysEx is paced to a model's destination.
struct PacingPreference {
    int bytesPerSecond = kDefaultSysExBytesPerSecond;
    int pauseMs = 0;  // after each message
    bool operator==(const PacingPreference&) const = default;
};

// The preferences live in the settings file's root dictionary beside "Quit on stop", under three
// keys, each holding a dictionary keyed by model name (the model table's names; "" stands for
// files that name no model):
//
//   "Destination for model"      -> string: the display name of the destination the user picked
//   "SysEx speed"                -> integer: bytes per second, kMinSysExBytesPerSecond..kMax...
//   "SysEx pause after message"  -> integer: milliseconds, 0..kMaxSysExPauseMs
//
// Reading is forgiving: a file without these keys has no preferences; a key whose value is not a
// dictionary, and an entry of the wrong type (a speed that is not a number, an empty destination
// name), read as absent; numbers out of range are clamped, reals truncated.
class ModelPreferences {
public:
    // `changed` runs after every change made through the setters, so a pick can be saved at once.
    explicit ModelPreferences(std::function<void()> changed = {});

    // The destination display name remembered for `model`.
    std::optional<QString> rememberedDestination(const QString& model) const;
    // Remembers `displayName` for `model`; an empty name forgets instead.
    void setRememberedDestination(const QString& model, const QString& displayName);
    void forgetDestination(const QString& model);

    // The pacing for `model`: what was set, else the defaults.
    PacingPreference pacing(const QString& model) const;
    // Sets both values, each clamped to its range.
    void setPacing(const QString& model, PacingPreference pacing);

    // Replaces everything held with what `settings` (the file's root dictionary) holds. Never
    // calls `changed`.
    void load(const QVariantMap& settings);
    // Sets the three keys in `settings`: each holds its entries, or is removed when there are none.
    void store(QVariantMap& settings) const;

private:
    void notify() const;

    QMap<QString, QString> destinations_;
    QMap<QString, PacingPreference> pacing_;
    std::function<void()> changed_;
};

}  // namespace brennick
