#pragma once
// Which MIDI destination a file goes to.

#include <QList>
#include <QString>

#include <optional>

#include "services/music_services.h"

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

// One destination of a listing: its ref and its display name (nullopt: one that could not be read,
// which matches nothing).
struct ListedDestination {
    MIDIEndpointRef endpoint = 0;
    std::optional<QString> name;
};

struct DestinationListing {
    bool serviceReached = false;  // a JACK server or the ALSA sequencer answered
    QList<ListedDestination> destinations;

    QList<std::optional<QString>> names() const;
};

// Connects to the MIDI service (one attempt) and lists its destinations as they are now, each
// display name read once. It waits for the service, which can take seconds: call it on the MIDI
// service thread, or where waiting is fine (the command line).
DestinationListing listDestinations();

}  // namespace brennick
