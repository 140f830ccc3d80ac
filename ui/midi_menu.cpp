#include "ui/midi_menu.h"

#include "platform/notification_center.h"
#include "ui/menu_item.h"

#include <QFileDialog>
#include <QFileInfo>

namespace brennick {

MIDIMenu::MIDIMenu(QObject* parent) : QObject(parent) {}

QString MIDIMenu::openDialogFilter()
{
    return QStringLiteral("MIDI and SysEx files (*.mid *.midi *.syx)");
}

void MIDIMenu::doOpen(QObject* /*sender*/, bool severalFiles)
{
    QFileDialog dialog;
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(severalFiles ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog.setNameFilter(openDialogFilter());
    if (dialog.exec() != QDialog::Accepted)
        return;
    QStringList paths;
    for (const QString& chosen : dialog.selectedFiles()) {
        // The filter only hides other files; a name typed into the dialog gets past it.
        const QFileInfo file(chosen);
        const QString suffix = file.suffix().toLower();
        if (suffix == QLatin1String("mid") || suffix == QLatin1String("midi") || suffix == QLatin1String("syx"))
            paths.append(file.absoluteFilePath());
    }
    if (paths.isEmpty())
        return;
    NotificationCenter::defaultCenter().postNotificationName(
        QStringLiteral("PlayMIDIFile"), paths.size() == 1 ? QVariant(paths.first()) : QVariant(paths));
}

void MIDIMenu::doAutoquit(MenuItem* sender)
{
    if (sender == nullptr)
        return;
    sender->setState(sender->state() == 0 ? 1 : 0);
}

}  // namespace brennick
