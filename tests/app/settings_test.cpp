// The settings file: how each stored value reads as the "Quit on stop" option, what a save writes,
// and that failures to write are silent.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "app/app_delegate.h"
#include "platform/property_list.h"
#include "tests/app/private_tree_main.h"
#include "ui/menu_item.h"
#include "ui/midi_menu.h"

using namespace brennick;
using brennick::test::privateResourceDirectory;

namespace {

const QString kKey = QStringLiteral("Quit on stop");

QString settingsFile()
{
    return QString::fromStdString(privateResourceDirectory()) + "/BrennickMIDIPlayerSetting.xml";
}

std::string plist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

std::string quitOnStop(const std::string& valueXml)
{
    return plist("<dict>\n<key>Quit on stop</key>\n" + valueXml + "\n</dict>");
}

void writeText(const QString& path, const std::string& text)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.data(), qint64(text.size()));
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A controller with its auto-quit item, as the interface definition connects them.
struct Controller {
    AppDelegate delegate;
    MenuItem autoQuit{QStringLiteral("Quit on stop")};
    Controller() { delegate.setAutoQuit(&autoQuit); }
};

// The file as the next launch reads it: exactly one entry, an integer.
void expectFileHolds(qint64 expected)
{
    const std::optional<QVariantMap> saved = readPropertyListDictionary(settingsFile());
    ASSERT_TRUE(saved.has_value()) << readBytes(settingsFile()).toStdString();
    EXPECT_EQ(saved->keys(), QStringList{kKey});
    const QVariant value = saved->value(kKey);
    EXPECT_EQ(value.typeId(), QMetaType::LongLong) << value.typeName();
    EXPECT_EQ(value.toLongLong(), expected);
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(privateResourceDirectory())));
        ASSERT_EQ(AppDelegate::settingsPath(), settingsFile());
    }
};

struct ReadCase {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file at all
    qint64 option;                    // the item's state after loading
};

const ReadCase kReadCases[] = {
    {"Integer1", quitOnStop("<integer>1</integer>"), 1},
    {"Integer0", quitOnStop("<integer>0</integer>"), 0},
    {"IntegerMinus1", quitOnStop("<integer>-1</integer>"), -1},
    {"Integer5", quitOnStop("<integer>5</integer>"), 5},
    {"StringWithLeadingDigit", quitOnStop("<string>1abc</string>"), 1},
    {"StringWithLeadingSpace", quitOnStop("<string> 12</string>"), 12},
    {"StringNegative", quitOnStop("<string>-3</string>"), -3},
    {"StringWithoutNumber", quitOnStop("<string>abc</string>"), 0},
    {"EmptyString", quitOnStop("<string></string>"), 0},
    {"BooleanTrue", quitOnStop("<true/>"), 1},
    {"BooleanFalse", quitOnStop("<false/>"), 0},
    {"RealTruncated", quitOnStop("<real>1.9</real>"), 1},
    {"NegativeRealTruncated", quitOnStop("<real>-2.5</real>"), -2},
    {"Array", quitOnStop("<array><integer>1</integer></array>"), 0},
    {"Dictionary", quitOnStop("<dict><key>Quit on stop</key><integer>1</integer></dict>"), 0},
    {"Date", quitOnStop("<date>2020-01-01T00:00:00Z</date>"), 0},
    {"Data", quitOnStop("<data>AQ==</data>"), 0},
    {"MissingKey", plist("<dict><key>Other</key><integer>1</integer></dict>"), 0},
    {"KeyInOtherCase", plist("<dict><key>quit on stop</key><integer>1</integer></dict>"), 0},
    {"ExtraKeys",
     plist("<dict><key>Colour</key><string>red</string><key>Quit on stop</key><integer>1</integer>"
           "<key>Window</key><array><integer>3</integer></array></dict>"),
     1},
    {"RootIsNotADictionary", plist("<array><integer>1</integer></array>"), 0},
    {"NotAPropertyList", std::string("Quit on stop = 1\n"), 0},
    {"TruncatedPropertyList", quitOnStop("<integer>1</integer>").substr(0, 150), 0},
    {"EmptyFile", std::string(), 0},
    {"MissingFile", std::nullopt, 0},
};

class SettingsReading : public SettingsFileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SettingsReading, LoadSetsTheOptionLeavesTheFileAndTheNextSaveKeepsOnlyTheOption)
{
    const ReadCase& c = GetParam();
    if (c.file)
        writeText(settingsFile(), *c.file);
    Controller controller;
    controller.autoQuit.setState(7);  // loading must replace whatever the item held
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), c.option);

    if (c.file) {
        // Loading never rewrites an existing file, readable or not.
        EXPECT_EQ(readBytes(settingsFile()), QByteArray::fromStdString(*c.file));
    } else {
        // A first launch creates the file holding 0.
        expectFileHolds(0);
    }

    controller.delegate.saveSettings();
    expectFileHolds(c.option);
    // Written atomically: no temporary file is left beside it.
    EXPECT_EQ(QDir(QString::fromStdString(privateResourceDirectory()))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("BrennickMIDIPlayerSetting.xml")});
}

INSTANTIATE_TEST_SUITE_P(StoredValues, SettingsReading, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsFileTest, SaveWritesTheItemStateAsAnXmlInteger)
{
    for (const qint64 state : {0, 1, -1}) {
        Controller controller;
        controller.autoQuit.setState(state);
        controller.delegate.saveSettings();
        const QByteArray text = readBytes(settingsFile());
        EXPECT_TRUE(text.startsWith("<?xml")) << text.toStdString();
        EXPECT_TRUE(text.contains("<key>Quit on stop</key>")) << text.toStdString();
        EXPECT_TRUE(text.contains("<integer>" + QByteArray::number(state) + "</integer>")) << text.toStdString();
        expectFileHolds(state);
    }
}

TEST_F(SettingsFileTest, ToggleIsWrittenAtTerminationNotBefore)
{
    writeText(settingsFile(), quitOnStop("<integer>0</integer>"));
    const QByteArray before = readBytes(settingsFile());
    Controller controller;
    MIDIMenu menu;
    controller.delegate.loadSettings();
    menu.doAutoquit(&controller.autoQuit);
    EXPECT_EQ(readBytes(settingsFile()), before);
    controller.delegate.applicationWillTerminate();
    expectFileHolds(1);

    // The next launch sees it, and toggling back is saved as off.
    Controller next;
    next.delegate.loadSettings();
    EXPECT_EQ(next.autoQuit.state(), 1);
    menu.doAutoquit(&next.autoQuit);
    next.delegate.applicationWillTerminate();
    expectFileHolds(0);
}

TEST_F(SettingsFileTest, WithoutAnItemTheOptionReadsAsOff)
{
    AppDelegate delegate;  // no autoQuit outlet
    delegate.loadSettings();
    expectFileHolds(0);
}

// As the user the installed program runs as: root writes anywhere, so drop to an ordinary user.
void becomeOrdinaryUser()
{
    if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
        ::_exit(90);
}

TEST_F(SettingsFileTest, UnwritableFolderIsSilentAndKeepsTheOldFile)
{
    const QByteArray folder = QFile::encodeName(QString::fromStdString(privateResourceDirectory()));
    writeText(settingsFile(), quitOnStop("<integer>1</integer>"));
    ASSERT_EQ(::chmod(QFile::encodeName(settingsFile()).constData(), 0644), 0);
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    const QByteArray before = readBytes(settingsFile());

    EXPECT_EXIT(
        {
            becomeOrdinaryUser();
            Controller controller;
            controller.delegate.loadSettings();
            if (controller.autoQuit.state() != 1)
                ::_exit(2);
            controller.autoQuit.setState(0);
            controller.delegate.saveSettings();
            controller.delegate.applicationWillTerminate();
            ::_exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readBytes(settingsFile()), before);

    // Without a file, the launch that cannot create one reads the option as off.
    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
    ASSERT_TRUE(QFile::remove(settingsFile()));
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    EXPECT_EXIT(
        {
            becomeOrdinaryUser();
            Controller controller;
            controller.autoQuit.setState(1);
            controller.delegate.loadSettings();
            ::_exit(controller.autoQuit.state() == 0 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
    EXPECT_TRUE(QDir(QString::fromStdString(privateResourceDirectory()))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
}

TEST_F(SettingsFileTest, MissingResourceDirectoryIsSilent)
{
    ASSERT_TRUE(QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively());
    Controller controller;
    controller.autoQuit.setState(1);
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), 0);
    controller.delegate.saveSettings();
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
}

}  // namespace

int main(int argc, char** argv)
{
    return brennick::test::runInPrivateTree(argc, argv);
}
