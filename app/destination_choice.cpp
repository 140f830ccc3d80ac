#include "app/destination_choice.h"

#include <map>

#include "app/model_table.h"
#include "services/music_services.h"

namespace brennick {

namespace {

// How long a device has to answer the Device Inquiry; a USB synth answers within a few ms.
constexpr double kInquiryListenSeconds = 0.3;

}  // namespace

DestinationChoice chooseDestination(const QString& modelName, const QList<std::optional<QString>>& displayNames,
                                    const std::optional<QString>& picked,
                                    const QList<std::optional<QString>>& answeredModels)
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
        for (qsizetype i = 0; i < answeredModels.size(); ++i)
            if (answeredModels[i] == modelName)
                return {i, DestinationChoice::Reason::AnsweredAs};
    }
    return {};
}

namespace {

// One field of every destination, in listing order.
QList<std::optional<QString>> column(const QList<ListedDestination>& destinations,
                                     std::optional<QString> ListedDestination::*field)
{
    QList<std::optional<QString>> values;
    values.reserve(destinations.size());
    for (const ListedDestination& d : destinations)
        values.append(d.*field);
    return values;
}

}  // namespace

QList<std::optional<QString>> DestinationListing::names() const
{
    return column(destinations, &ListedDestination::name);
}

QList<std::optional<QString>> DestinationListing::answeredModels() const
{
    return column(destinations, &ListedDestination::answeredAs);
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
        ListedDestination d{MIDIGetDestination(i), std::nullopt, std::nullopt};
        std::string name;
        if (MIDIObjectGetStringProperty(d.endpoint, kMIDIPropertyDisplayName, &name) == 0)
            d.name = QString::fromStdString(name);
        listing.destinations.append(d);
    }
    return listing;
}

void keepAnswers(DestinationListing& fresh, const DestinationListing& previous)
{
    if (fresh.devicesAsked || fresh.destinations.size() != previous.destinations.size())
        return;
    for (qsizetype i = 0; i < fresh.destinations.size(); ++i)
        if (fresh.destinations[i].endpoint != previous.destinations[i].endpoint)
            return;
    for (qsizetype i = 0; i < fresh.destinations.size(); ++i)
        fresh.destinations[i].answeredAs = previous.destinations[i].answeredAs;
}

bool needsDeviceInquiry(const QString& modelName, const DestinationListing& listing,
                        const std::optional<QString>& picked)
{
    return !modelName.isEmpty() && !listing.devicesAsked && !listing.destinations.isEmpty() &&
           chooseDestination(modelName, listing.names(), picked).reason == DestinationChoice::Reason::FirstDestination;
}

void askDevices(DestinationListing& listing)
{
    std::map<MIDIEndpointRef, UInt32> familyCodes;
    MIDIInquireDestinations(kInquiryListenSeconds, &familyCodes);
    for (ListedDestination& d : listing.destinations) {
        const auto answer = familyCodes.find(d.endpoint);
        d.answeredAs = answer != familyCodes.end()
                           ? std::optional(modelNameForByte(modelByteForFamilyCode(std::uint16_t(answer->second))))
                           : std::nullopt;
    }
    listing.devicesAsked = true;
}

}  // namespace brennick
