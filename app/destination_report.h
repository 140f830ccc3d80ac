#pragma once
// What --list prints: the MIDI destinations as the player sees them and, for each file, the one
// it would be sent to and why, by the player's own rule. No file is sent; the devices are asked
// who they are.

#include <QString>
#include <QStringList>

namespace brennick {

class ModelPreferences;

// The report for `arguments` (each decoded from its bytes, as given on the command line; relative
// paths against `currentDirectory`). One line per destination, numbered from 1 in the service's
// order, with the model its device answered the Device Inquiry as (asking takes up to 300 ms),
// then one line per argument: where the file would go and why. With no MIDI service, or no
// destination, it says so, and each file line says the player would show the no-device alert.
QString destinationReport(const QStringList& arguments, const QString& currentDirectory,
                          const ModelPreferences& preferences);

}  // namespace brennick
