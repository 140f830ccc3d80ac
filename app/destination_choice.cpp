#include "app/destination_choice.h"

#include "services/music_services.h"

namespace brennick {

DestinationChoice chooseDestination(const QString& modelName, const QList<std::optional<QString>>& displayNames,
                                    const std::optional<QString>& picked)
{
    if (picked) {
        for (qsizetype i = 0; i < displayNames.size(); ++i)
            if (displayNames[i] == picked)
                return {i, DestinationChoice::Reason::Picked};
    }
    if (!modelName.isEmpty()) {
        for (qsizetype i = 0; i < displayNames.size(); ++i)
            if (displayNames[i] && displayNames[i]->contains(modelName, Qt::CaseSensitive))
                return {i, DestinationChoice::Reason::ModelName};
    }
    return {};
}

QList<std::optional<QString>> DestinationListing::names() const
{
    QList<std::optional<QString>> names;
    names.reserve(destinations.size());
    for (const ListedDestination& d : destinations)
        names.append(d.name);
    return names;
}

DestinationListing listDestinations()
{
    DestinationListing listing;
    MIDIClientRef client = 0;
    listing.serviceReached = MIDIClientCreate("Play Sequence", nullptr, nullptr, &client) == 0;
    if (!listing.serviceReached)
        return listing;  // asking again would only wait for the service a second time
    const ItemCount count = MIDIGetNumberOfDestinations();
    for (ItemCount i = 0; i < count; ++i) {
        ListedDestination d{MIDIGetDestination(i), std::nullopt};
        std::string name;
        if (MIDIObjectGetStringProperty(d.endpoint, kMIDIPropertyDisplayName, &name) == 0)
            d.name = QString::fromStdString(name);
        listing.destinations.append(d);
    }
    return listing;
}

}  // namespace brennick
