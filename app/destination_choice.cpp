#include "app/destination_choice.h"

namespace brennick {

DestinationChoice chooseDestination(const QString& modelName, const QList<std::optional<QString>>& displayNames)
{
    if (!modelName.isEmpty()) {
        for (qsizetype i = 0; i < displayNames.size(); ++i)
            if (displayNames[i] && displayNames[i]->contains(modelName, Qt::CaseSensitive))
                return {i, DestinationChoice::Reason::ModelName};
    }
    return {};
}

}  // namespace brennick
