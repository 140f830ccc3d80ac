// The no-device alert: the player's only message, after which it ends.

#include <QMessageBox>

#include "app/app_delegate.h"
#include "platform/system_log.h"

namespace brennick {

namespace {

// Where the player looked, and where a user reads on. Only what is known without asking the MIDI
// service again: its calls do not belong on the window's thread.
const QString kWhereLooked = QStringLiteral("Looked for: a JACK server, the ALSA sequencer.\n"
                                            "Found no MIDI destination.\n"
                                            "See \"When the \"no device\" alert appears\" in the README.");

}  // namespace

void AppDelegate::testDatabaseConnection(QObject*)
{
    auto* alert = new QMessageBox(window_);
    alert->setIcon(QMessageBox::Critical);
    alert->setText(QStringLiteral("No Brennick Music MIDI device connected!"));
    alert->setInformativeText(QStringLiteral("There is no Brennick Music MIDI device or MIDI connection!\n"
                                             "Please connect a Brennick Music MIDI device or activate a MIDI "
                                             "Network session."));
    alert->setDetailedText(kWhereLooked);
    alert->setStandardButtons(QMessageBox::Ok);
    alert->setWindowModality(Qt::WindowModal);  // blocks the player window only
    connect(alert, &QMessageBox::finished, this,
            [this, alert](int result) { testDatabaseConnectionDidEnd(alert, result, nullptr); });
    alert_ = alert;
    alert->open();
    systemLog(alert->text());
    for (const QString& line : kWhereLooked.split(u'\n'))
        systemLog(line);
}

void AppDelegate::testDatabaseConnectionDidEnd(QMessageBox* alert, std::int32_t, void*)
{
    delete alert;
    exitProcess(1);
}

}  // namespace brennick
