#pragma once
// Where the application's own resources live (settings file, knob image, resource sequence), and
// the user's own folder for what cannot be kept there.

#include <QString>

namespace brennick {

// `<directory of the executable>/../share/brennick-midi-player`, cleaned (no "..", no trailing
// slash). The build tree mirrors an installed tree (bin/ beside share/), so the same rule finds
// the resources both when run from the build folder and after installation. Needs a
// QCoreApplication; the folder is not checked for existence.
QString resourceDirectoryPath();

// `$XDG_CONFIG_HOME/brennick-midi-player`, or `$HOME/.config/brennick-midi-player` when
// XDG_CONFIG_HOME is unset, empty or not an absolute path (the XDG base directory rules); empty
// when HOME is not an absolute path either. Not checked for existence.
QString userConfigDirectoryPath();

// Creates the folder `path` and any missing parent with mode 0700, as the XDG rules ask for
// configuration folders; folders that exist keep their mode. True when `path` is a folder
// afterwards.
bool makePrivateDirectory(const QString& path);

}  // namespace brennick
