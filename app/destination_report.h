#pragma once
// What --list prints: the MIDI destinations as the player sees them and, for each file, the one
// it would be sent to and why, by the player's own rule. Nothing is sent.

#include <QString>
#include <QStringList>

namespace brennick {

class ModelPreferences;

// The report for `arguments` (each decoded from its bytes, as given on the command line; relative
// paths against `currentDirectory`). One line per destination, numbered from 1 in the service's
// order, then one line per argument. With no MIDI service, or no destination, it says so, and
// each file line says the player would show the no-device alert.
QString destinationReport(const QStringList& arguments, const QString& currentDirectory,
                          const ModelPreferences& preferences);

}  // namespace brennick
