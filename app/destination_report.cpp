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

QString fileLine(const QString& path, const QList<std::optional<QString>>& names, const ModelPreferences& preferences)
{
    // Read as a play request reads it, so a file it would refuse is refused here for the same reason.
    const FileReadResult file = readWholeFile(encodeLocalPath(path).toStdString());
    if (file.error != FileReadError::None)
        return QStringLiteral("cannot be read (%1)").arg(QString::fromUtf8(describe(file.error)));
    const QString model = modelNameForByte(scanModelByte(file.bytes.span()));
    const QString found = model.isEmpty() ? QStringLiteral("no model") : QStringLiteral("model \"%1\"").arg(model);
    if (names.isEmpty())
        return found + QStringLiteral(" -> none (the player would show the no-device alert)");
    const DestinationChoice choice = chooseDestination(model, names, preferences.rememberedDestination(model));
    QString why;
    if (choice.reason == DestinationChoice::Reason::Picked)
        why = QStringLiteral("picked for this model with Send To");
    else if (choice.reason == DestinationChoice::Reason::ModelName)
        why = QStringLiteral("its name contains the model name");
    else if (model.isEmpty())
        why = QStringLiteral("the first destination");
    else
        why = QStringLiteral("no name contains the model name: the first destination");
    return QStringLiteral("%1 -> %2 (%3)").arg(found, numbered(names, choice.index), why);
}

}  // namespace

QString destinationReport(const QStringList& arguments, const QString& currentDirectory,
                          const ModelPreferences& preferences)
{
    QString report;
    const DestinationListing listing = listDestinations();
    if (!listing.serviceReached)
        report += QStringLiteral("no MIDI service: neither a JACK server nor the ALSA sequencer can be reached\n");
    const QList<std::optional<QString>> names = listing.names();
    report += names.isEmpty() ? QStringLiteral("MIDI destinations: none\n") : QStringLiteral("MIDI destinations:\n");
    for (qsizetype i = 0; i < names.size(); ++i)
        report += QStringLiteral("  ") + numbered(names, i) + QLatin1Char('\n');

    for (const QString& argument : arguments) {
        const QList<LaunchRequest> requests = classifyLaunchArguments({argument}, currentDirectory);
        if (requests.isEmpty())
            continue;
        const LaunchRequest& request = requests.front();
        const QString what = request.kind == LaunchRequest::Kind::OpenFile ? fileLine(request.value, names, preferences)
                                                                           : QStringLiteral("not a file");
        report += argument + QStringLiteral(": ") + what + QLatin1Char('\n');
    }
    return report;
}

}  // namespace brennick
