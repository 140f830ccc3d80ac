#include "app/destination_report.h"

#include <optional>
#include <string>

#include "app/destination_choice.h"
#include "app/model_preferences.h"
#include "app/model_table.h"
#include "platform/launch_requests.h"
#include "platform/local_path.h"
#include "services/file_bytes.h"
#include "services/music_services.h"

namespace brennick {

namespace {

QString numbered(const QList<std::optional<QString>>& names, qsizetype index)
{
    return QStringLiteral("%1. %2").arg(index + 1).arg(names[index].value_or(QStringLiteral("(name unreadable)")));
}

// What a destination's device answered the Device Inquiry.
QString answerText(const ListedDestination& destination)
{
    if (!destination.answeredAs)
        return QStringLiteral("did not answer");
    if (destination.answeredAs->isEmpty())
        return QStringLiteral("answered as no model the player knows");
    return QStringLiteral("answered as %1").arg(*destination.answeredAs);
}

QString fileLine(const QString& path, const DestinationListing& listing, const ModelPreferences& preferences)
{
    // Read as a play request reads it, so a file it would refuse is refused here for the same reason.
    const FileReadResult file = readWholeFile(encodeLocalPath(path).toStdString());
    if (file.error != FileReadError::None)
        return QStringLiteral("cannot be read (%1)").arg(QString::fromUtf8(describe(file.error)));
    const QString model = modelNameForByte(scanModelByte(file.bytes.span()));
    const QString found = model.isEmpty() ? QStringLiteral("no model") : QStringLiteral("model \"%1\"").arg(model);
    const QList<std::optional<QString>> names = listing.names();
    if (names.isEmpty())
        return found + QStringLiteral(" -> none (the player would show the no-device alert)");
    const DestinationChoice choice =
        chooseDestination(model, names, preferences.rememberedDestination(model), listing.answeredModels());
    QString why;
    switch (choice.reason) {
    case DestinationChoice::Reason::Picked: why = QStringLiteral("remembered pick"); break;
    case DestinationChoice::Reason::ModelName: why = QStringLiteral("by name"); break;
    case DestinationChoice::Reason::AnsweredAs: why = QStringLiteral("answered as %1").arg(model); break;
    case DestinationChoice::Reason::FirstDestination: why = QStringLiteral("first destination"); break;
    }
    return QStringLiteral("%1 -> %2 (%3)").arg(found, numbered(names, choice.index), why);
}

}  // namespace

QString destinationReport(const QStringList& arguments, const QString& currentDirectory,
                          const ModelPreferences& preferences)
{
    QString report;
    DestinationListing listing = listDestinations();
    // Every device is asked, so that the report can say what each answered.
    if (!listing.destinations.isEmpty())
        askDevices(listing);
    if (!listing.serviceReached)
        report += QStringLiteral("no MIDI service: neither a JACK server nor the ALSA sequencer can be reached\n");
    const QList<std::optional<QString>> names = listing.names();
    report += names.isEmpty() ? QStringLiteral("MIDI destinations: none\n") : QStringLiteral("MIDI destinations:\n");
    for (qsizetype i = 0; i < names.size(); ++i)
        report += QStringLiteral("  %1 (%2)\n").arg(numbered(names, i), answerText(listing.destinations[i]));

    for (const QString& argument : arguments) {
        const QList<LaunchRequest> requests = classifyLaunchArguments({argument}, currentDirectory);
        if (requests.isEmpty())
            continue;
        const LaunchRequest& request = requests.front();
        const QString what = request.kind == LaunchRequest::Kind::OpenFile ? fileLine(request.value, listing, preferences)
                                                                           : QStringLiteral("not a file");
        report += argument + QStringLiteral(": ") + what + QLatin1Char('\n');
    }
    return report;
}

}  // namespace brennick
