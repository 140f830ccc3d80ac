// The no-device alert: the player's only message, after which it ends.

#include <QMessageBox>

#include "app/app_delegate.h"

namespace brennick {

void AppDelegate::testDatabaseConnection(QObject*)
{
    auto* alert = new QMessageBox(window_);
    alert->setIcon(QMessageBox::Critical);
    alert->setText(QStringLiteral("No Brennick Music MIDI device connected!"));
    alert->setInformativeText(QStringLiteral("There is no Brennick Music MIDI device or MIDI connection!\n"
                                             "Please connect a Brennick Music MIDI device or activate a MIDI "
                                             "Network session."));
    alert->setStandardButtons(QMessageBox::Ok);
    alert->setWindowModality(Qt::WindowModal);  // blocks the player window only
    connect(alert, &QMessageBox::finished, this,
            [this, alert](int result) { testDatabaseConnectionDidEnd(alert, result, nullptr); });
    alert_ = alert;
    alert->open();
}

void AppDelegate::testDatabaseConnectionDidEnd(QMessageBox* alert, std::int32_t, void*)
{
    delete alert;
    exitProcess(1);
}

}  // namespace brennick
