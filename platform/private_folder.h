#pragma once
// Folders whose contents the player trusts: the single-instance socket's and the user's settings
// folder. Another user who could put files there could feed the player their socket or settings.

#include <QByteArray>
#include <QString>

namespace brennick {

enum class FolderPrivacy {
    OwnerOnly,          // no access at all for group or others
    OthersMayReadOnly,  // group and others may look, not write
};

// Why `folder` cannot be trusted, as one line for the user ("... belongs to another user"), or
// empty when it can: it must be a folder, not a symbolic link (checked with lstat), owned by this
// user, and open to others no further than `privacy` allows.
QString privateFolderProblem(const QByteArray& folder, FolderPrivacy privacy);

}  // namespace brennick
