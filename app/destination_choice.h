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
        AnsweredAs,        // no name does: the first destination whose device answered as the model
        FirstDestination,  // neither (or the file names no model): the first
    };
    qsizetype index = 0;
    Reason reason = Reason::FirstDestination;
};

// Chooses among `displayNames`, in the service's order (nullopt: a name that could not be read,
// which matches nothing): the destination named `picked` when there is one (the user's pick for
// the model; one that has gone falls back to the rule), else by the model name. The match is by
// case-sensitive substring, so "Lumen" also chooses a "Lumen 2 Port" that comes first; the empty
// model name matches nothing. When no name contains it, `answeredModels` (the model each
// destination's device answered a Device Inquiry as, in the same order; nullopt: no answer) names
// the destination. With no destinations the answer is index 0 all the same: the caller has
// nothing to send to.
DestinationChoice chooseDestination(const QString& modelName, const QList<std::optional<QString>>& displayNames,
                                    const std::optional<QString>& picked = std::nullopt,
                                    const QList<std::optional<QString>>& answeredModels = {});

// One destination of a listing: its ref and its display name (nullopt: one that could not be read,
// which matches nothing).
struct ListedDestination {
    MIDIEndpointRef endpoint = 0;
    std::optional<QString> name;
    // Once its device was asked: the model it answered as (empty when the answer names none of the
    // table); nullopt when it did not answer, or was not asked.
    std::optional<QString> answeredAs;
};

struct DestinationListing {
    bool serviceReached = false;  // a JACK server or the ALSA sequencer answered
    bool devicesAsked = false;    // askDevices has filled in the answers
    QList<ListedDestination> destinations;

    QList<std::optional<QString>> names() const;
    QList<std::optional<QString>> answeredModels() const;
};

// A listing made without asking the devices keeps what they answered in `previous` when it holds
// the same destinations in the same order: Send To then marks the same automatic choice after
// every listing. (Routing asks again when it needs the answers.)
void keepAnswers(DestinationListing& fresh, const DestinationListing& previous);

// Connects to the MIDI service (one attempt) and lists its destinations as they are now, each
// display name read once. It waits for the service, which can take seconds: call it on the MIDI
// service thread, or where waiting is fine (the command line).
DestinationListing listDestinations();

// Whether the devices must be asked before a file for `modelName` can be routed: it names a model,
// neither a pick nor a name finds its destination, and the listing has not been asked yet. A name
// that matches never waits for an inquiry.
bool needsDeviceInquiry(const QString& modelName, const DestinationListing& listing,
                        const std::optional<QString>& picked);

// Asks the devices behind the listing's destinations who they are (remembered answers at once, the
// others within 300 ms) and fills in `answeredAs`. Waits: call it on the MIDI service thread, or
// where waiting is fine (the command line).
void askDevices(DestinationListing& listing);

}  // namespace brennick
