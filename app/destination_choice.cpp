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

QList<std::optional<QString>> readDestinationNames()
{
    QList<std::optional<QString>> names;
    const ItemCount count = MIDIGetNumberOfDestinations();
    for (ItemCount i = 0; i < count; ++i) {
        std::string name;
        if (MIDIObjectGetStringProperty(MIDIGetDestination(i), kMIDIPropertyDisplayName, &name) == 0)
            names.append(QString::fromStdString(name));
        else
            names.append(std::nullopt);
    }
    return names;
}

}  // namespace brennick
