#pragma once
// Which MIDI destination a file goes to.

#include <QList>
#include <QString>

#include <optional>

namespace brennick {

struct DestinationChoice {
    enum class Reason {
        Picked,            // the destination the user picked for the model, when it is there
        ModelName,         // the first destination whose display name contains the model name
        FirstDestination,  // no display name contains it (or the file names no model): the first
    };
    qsizetype index = 0;
    Reason reason = Reason::FirstDestination;
};

// Chooses among `displayNames`, in the service's order (nullopt: a name that could not be read,
// which matches nothing): the destination named `picked` when there is one (the user's pick for
// the model; one that has gone falls back to the rule), else by the model name. The match is by
// case-sensitive substring, so "Lumen" also chooses a "Lumen 2 Port" that comes first; the empty
// model name matches nothing. With no destinations the answer is index 0 all the same: the
// caller has nothing to send to.
DestinationChoice chooseDestination(const QString& modelName, const QList<std::optional<QString>>& displayNames,
                                    const std::optional<QString>& picked = std::nullopt);

// The display names of the MIDI destinations as the service lists them now, each read once
// (nullopt: one that could not be read). Lists them afresh, so MIDIGetDestination indexes this list.
QList<std::optional<QString>> readDestinationNames();

}  // namespace brennick
