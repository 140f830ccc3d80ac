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

void MIDIMenu::doOpen(QObject* /*sender*/)
{
    QFileDialog dialog;
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(openDialogFilter());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return;
    // The filter only hides other files; a name typed into the dialog gets past it.
    const QFileInfo file(chosen.first());
    const QString suffix = file.suffix().toLower();
    if (suffix != QLatin1String("mid") && suffix != QLatin1String("midi") && suffix != QLatin1String("syx"))
        return;
    NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("PlayMIDIFile"),
                                                             QVariant(file.absoluteFilePath()));
}

void MIDIMenu::doAutoquit(MenuItem* sender)
{
    if (sender == nullptr)
        return;
    sender->setState(sender->state() == 0 ? 1 : 0);
}

}  // namespace brennick
