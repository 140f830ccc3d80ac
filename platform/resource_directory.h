#pragma once
// Where the application's own resources live (settings file, knob image, resource sequence).

#include <QString>

namespace brennick {

// `<directory of the executable>/../share/brennick-midi-player`, cleaned (no "..", no trailing
// slash). The build tree mirrors an installed tree (bin/ beside share/), so the same rule finds
// the resources both when run from the build folder and after installation. Needs a
// QCoreApplication; the folder is not checked for existence.
QString resourceDirectoryPath();

}  // namespace brennick
