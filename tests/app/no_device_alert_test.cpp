// The no-device alert: shown when there is no MIDI destination at all, modal for the player window
// only; every way of dismissing it ends the process with status 1 without saving the settings.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTest>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "app/app_delegate.h"
#include "services/music_services.h"
#include "tests/app/private_tree_main.h"
#include "tests/support/captured_stderr.h"
#include "tests/support/player_process.h"
#include "tests/support/smf_builder.h"
#include "ui/menu_item.h"
#include "ui/midi_menu.h"
#include "ui/midi_view.h"
#include "ui/midi_window.h"

using namespace brennick;
using brennick::test::privateResourceDirectory;
namespace fs = std::filesystem;

namespace {

const QString kMessage = QStringLiteral("No Brennick Music MIDI device connected!");
const QString kInformative =
    QStringLiteral("There is no Brennick Music MIDI device or MIDI connection!\n"
                   "Please connect a Brennick Music MIDI device or activate a MIDI Network session.");
const QString kDetailed = QStringLiteral("Looked for: a JACK server, the ALSA sequencer.\n"
                                         "Found no MIDI destination.\n"
                                         "See \"When the \"no device\" alert appears\" in the README.");

// No JACK server answers under this name, and no ALSA sequencer is reachable on the test machines:
// the host offers no destination at all.
class NoServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::string name = "brennick-no-server-" + std::to_string(::getpid());
        ::setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    }
};
const auto* environment = ::testing::AddGlobalTestEnvironment(new NoServerEnvironment);

std::string sequencePath()
{
    const std::string path = privateResourceDirectory() + "/../song.mid";
    brennick::test::SmfBuilder b(0, 96);
    b.track().delta(0).noteOn(0, 60, 100).delta(96).noteOff(0, 60).delta(0).endOfTrack();
    brennick::test::writeFile(path, b.bytes());
    return path;
}

std::string settingsFile()
{
    return privateResourceDirectory() + "/BrennickMIDIPlayerSetting.xml";
}

// The player as the interface definition wires it, minus the menu bar.
struct Player {
    MIDIWindow window{QRect(200, 200, 450, 450)};
    MIDIView* view = new MIDIView(QRectF(0, 0, 450, 450));
    MenuItem autoQuit{QStringLiteral("Quit on stop")};
    AppDelegate delegate;

    Player()
    {
        window.setContentView(view);
        delegate.setWindow(&window);
        delegate.setView(view);
        delegate.setAutoQuit(&autoQuit);
        window.show();
    }
    ~Player()
    {
        // Leaving the alert up must not end the test program.
        if (QMessageBox* alert = delegate.currentAlert()) {
            QObject::disconnect(alert, nullptr, nullptr, nullptr);
            delete alert;
        }
    }

    QMessageBox* play()
    {
        const QString path = QString::fromStdString(sequencePath());
        delegate.playMidiFile(&path);
        // The file is read off the window's thread; the alert follows once it has been.
        for (int waited = 0; delegate.currentAlert() == nullptr && waited < 5000; waited += 5)
            QTest::qWait(5);
        return delegate.currentAlert();
    }
};

class NoDeviceAlert : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (MIDIGetNumberOfDestinations() != 0)
            GTEST_SKIP() << "this machine offers a MIDI destination without a JACK server";
        fs::create_directories(privateResourceDirectory());
    }
};

TEST_F(NoDeviceAlert, PlayingWithoutDestinationShowsTheCriticalAlertOnThePlayerWindow)
{
    Player player;
    player.view->setInfoText("before");
    brennick::test::CapturedStandardError captured;
    QMessageBox* alert = player.play();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->icon(), QMessageBox::Critical);
    EXPECT_EQ(alert->text(), kMessage);
    EXPECT_EQ(alert->informativeText(), kInformative);
    EXPECT_EQ(alert->detailedText(), kDetailed);
    EXPECT_NE(captured.text().find((kMessage + "\n" + kDetailed + "\n").toStdString()), std::string::npos);
    EXPECT_EQ(alert->standardButtons(), QMessageBox::Ok);  // the one button that dismisses it
    // A sheet: attached to the player window and blocking that window alone.
    EXPECT_EQ(alert->parentWidget(), &player.window);
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    // Nothing plays and nothing is tracked; the text stays.
    EXPECT_EQ(player.delegate.mainTimer(), nullptr);
    EXPECT_EQ(player.view->infoText(), "before");
    EXPECT_EQ(player.view->indicatorValue(), 0.0);
}

struct Dismissal {
    const char* name;
    std::function<void(QMessageBox&)> dismiss;
};

const Dismissal kDismissals[] = {
    {"Button", [](QMessageBox& alert) { alert.button(QMessageBox::Ok)->click(); }},
    {"ReturnKey", [](QMessageBox& alert) { QTest::keyClick(&alert, Qt::Key_Return); }},
    {"EscapeKey", [](QMessageBox& alert) { QTest::keyClick(&alert, Qt::Key_Escape); }},
    {"WindowClosed", [](QMessageBox& alert) { alert.close(); }},
};

class AlertDismissal : public NoDeviceAlert, public ::testing::WithParamInterface<Dismissal> {};

TEST_P(AlertDismissal, EndsWithStatus1AndLeavesTheSettingsFileAsItWas)
{
    const std::string before =
        brennick::test::settingsText("<key>Quit on stop</key><integer>0</integer><key>Extra</key><true/>");
    brennick::test::writeText(settingsFile(), before);

    EXPECT_EXIT(
        {
            Player player;
            player.delegate.loadSettings();
            MIDIMenu menu;
            menu.doAutoquit(&player.autoQuit);  // toggled since launch: lost on this path
            QMessageBox* alert = player.play();
            if (alert == nullptr)
                ::_exit(3);
            GetParam().dismiss(*alert);
            QTest::qWait(1000);  // a dismissal that does not end the process shows as exit 4
            ::_exit(4);
        },
        ::testing::ExitedWithCode(1), "");

    EXPECT_EQ(brennick::test::readText(settingsFile()), before);
}

INSTANTIATE_TEST_SUITE_P(Ways, AlertDismissal, ::testing::ValuesIn(kDismissals),
                         [](const ::testing::TestParamInfo<Dismissal>& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv)
{
    return brennick::test::runInPrivateTree(argc, argv);
}
