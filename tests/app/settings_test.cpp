// The settings file: how each stored value reads as the "Quit on stop" option and as per-model
// preferences, what a save writes, and where: the resource directory, or the user's own folder when
// the resource directory cannot be written.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "app/app_delegate.h"
#include "app/model_preferences.h"
#include "platform/local_path.h"
#include "platform/property_list.h"
#include "platform/resource_directory.h"
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

// The user's own settings file, under XDG_CONFIG_HOME as this test sets it.
QString userSettingsFile()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/brennick-midi-player/BrennickMIDIPlayerSetting.xml";
}

QString treePath(const QString& relative)
{
    return QString::fromStdString(brennick::test::privateTreeRoot()) + u'/' + relative;
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

// A controller with its option items, as the interface definition connects them.
struct Controller {
    AppDelegate delegate;
    MenuItem autoQuit{QStringLiteral("Quit on stop")};
    MenuItem playInTurn{QStringLiteral("Play Several Files in Turn")};
    MenuItem repeat{QStringLiteral("Repeat")};
    Controller()
    {
        delegate.setAutoQuit(&autoQuit);
        delegate.setPlayInTurnItem(&playInTurn);
        delegate.setRepeatItem(&repeat);
    }
};

// The file as the next launch reads it: the option, an integer, beside `otherKeys` (sorted).
void expectFileHolds(qint64 expected, const QString& path = settingsFile(), QStringList otherKeys = {})
{
    const std::optional<QVariantMap> saved = readPropertyListDictionary(path);
    ASSERT_TRUE(saved.has_value()) << path.toStdString() << ": " << readBytes(path).toStdString();
    otherKeys.append(kKey);
    otherKeys.sort();
    EXPECT_EQ(saved->keys(), otherKeys);
    const QVariant value = saved->value(kKey);
    EXPECT_EQ(value.typeId(), QMetaType::LongLong) << value.typeName();
    EXPECT_EQ(value.toLongLong(), expected);
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(privateResourceDirectory())));
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(treePath("config")).constData(), 1);
        ASSERT_TRUE(QDir(treePath("config")).removeRecursively());
        ASSERT_EQ(AppDelegate::settingsPath(), settingsFile());
    }
    void TearDown() override
    {
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(treePath("config")).constData(), 1);
        ::setenv("HOME", home_.constData(), 1);
    }

private:
    QByteArray home_ = qgetenv("HOME");
};

struct ReadCase {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file at all
    qint64 option;                    // the item's state after loading
    // Keys besides the option that a save keeps; nullopt: the file cannot be read, so no save
    // may replace it.
    std::optional<QStringList> keptKeys = QStringList{};
};

constexpr std::nullopt_t kUnreadable = std::nullopt;

qsizetype linesContaining(const std::string& text, const char* part)
{
    return QString::fromStdString(text).split(u'\n').filter(QLatin1String(part)).size();
}

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
    {"MissingKey", plist("<dict><key>Other</key><integer>1</integer></dict>"), 0, QStringList{"Other"}},
    {"KeyInOtherCase", plist("<dict><key>quit on stop</key><integer>1</integer></dict>"), 0,
     QStringList{"quit on stop"}},
    {"ExtraKeys",
     plist("<dict><key>Colour</key><string>red</string><key>Quit on stop</key><integer>1</integer>"
           "<key>Window</key><array><integer>3</integer></array></dict>"),
     1, QStringList{"Colour", "Window"}},
    {"UnknownKeyNoListCanHold",
     plist("<dict><key>Odd</key><real>nan</real><key>Colour</key><string>red</string>"
           "<key>Quit on stop</key><integer>1</integer></dict>"),
     1, QStringList{"Colour"}},
    {"RootIsNotADictionary", plist("<array><integer>1</integer></array>"), 0, kUnreadable},
    {"NotAPropertyList", std::string("Quit on stop = 1\n"), 0, kUnreadable},
    {"TruncatedPropertyList", quitOnStop("<integer>1</integer>").substr(0, 150), 0, kUnreadable},
    {"EmptyFile", std::string(), 0, kUnreadable},
    {"LargerThanTheReaderTakes", quitOnStop("<integer>1</integer>") + std::string(kMaxPropertyListBytes, ' '), 0,
     kUnreadable},
    {"MissingFile", std::nullopt, 0},
};

class SettingsReading : public SettingsFile, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SettingsReading, LoadSetsTheOptionAndSavesKeepWhatThePlayerDoesNotKnowOrCannotRead)
{
    const ReadCase& c = GetParam();
    if (c.file)
        writeText(settingsFile(), *c.file);
    Controller controller;
    controller.autoQuit.setState(7);  // loading must replace whatever the item held
    testing::internal::CaptureStderr();
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), c.option);

    if (c.file) {
        // Loading never rewrites an existing file, readable or not.
        EXPECT_EQ(readBytes(settingsFile()), QByteArray::fromStdString(*c.file));
    } else {
        // A first launch creates the file holding 0.
        expectFileHolds(0);
    }

    controller.delegate.modelPreferences().setPacing("Lumen", {30000, 0});  // saved at once
    controller.delegate.saveSettings();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(linesContaining(said, "settings"), c.keptKeys ? 0 : 1) << said;
    if (!c.keptKeys) {
        EXPECT_EQ(readBytes(settingsFile()), QByteArray::fromStdString(*c.file));
        EXPECT_EQ(controller.delegate.modelPreferences().pacing("Lumen").bytesPerSecond, 30000) << "kept in memory";
        return;
    }
    expectFileHolds(c.option, settingsFile(), *c.keptKeys + QStringList{"SysEx pause after message", "SysEx speed"});
    if (c.file) {
        const QVariantMap saved = *readPropertyListDictionary(settingsFile());
        for (const QString& key : *c.keptKeys)
            EXPECT_EQ(saved.value(key),
                      readPropertyListDictionaryFromBytes(QByteArray::fromStdString(*c.file))->value(key));
    }
    // Written atomically: no temporary file is left beside it.
    EXPECT_EQ(QDir(QString::fromStdString(privateResourceDirectory()))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("BrennickMIDIPlayerSetting.xml")});
}

INSTANTIATE_TEST_SUITE_P(StoredValues, SettingsReading, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsFile, SaveWritesTheItemStateAsAnXmlInteger)
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

TEST_F(SettingsFile, ToggleIsWrittenAtTerminationNotBefore)
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

TEST_F(SettingsFile, WithoutAnItemTheOptionReadsAsOff)
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

// A launch as an ordinary user, in a process of its own: loading must give `loaded`; `saved`, when
// given, is the option that launch saves at its end.
void launchAsOrdinaryUser(qint64 loaded, std::optional<qint64> saved)
{
    EXPECT_EXIT(
        {
            becomeOrdinaryUser();
            Controller controller;
            controller.autoQuit.setState(7);  // loading must replace whatever the item held
            controller.delegate.loadSettings();
            if (controller.autoQuit.state() != loaded)
                ::_exit(2);
            if (saved) {
                controller.autoQuit.setState(*saved);
                controller.delegate.applicationWillTerminate();
            }
            ::_exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

mode_t modeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A system-wide install: the resource directory is not the user's to write.
TEST_F(SettingsFile, UnwritableResourceDirectoryKeepsTheOptionInTheUsersFolder)
{
    const QByteArray folder = QFile::encodeName(QString::fromStdString(privateResourceDirectory()));
    const QByteArray home = QFile::encodeName(treePath("nobody"));
    ASSERT_TRUE(QDir().mkpath(treePath("nobody")));
    ASSERT_EQ(::chown(home.constData(), 65534, 65534), 0);
    ::setenv("XDG_CONFIG_HOME", home + "/config", 1);  // missing: made 0700 with the folder below it
    writeText(settingsFile(), quitOnStop("<integer>1</integer>"));
    ASSERT_EQ(::chmod(QFile::encodeName(settingsFile()).constData(), 0644), 0);
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    const QByteArray shared = readBytes(settingsFile());

    // The first launch reads the shared file; the toggle saved at the end goes to the user's file.
    launchAsOrdinaryUser(1, 0);
    EXPECT_EQ(readBytes(settingsFile()), shared);
    expectFileHolds(0, userSettingsFile());
    EXPECT_EQ(modeOf(home + "/config"), 0700u);
    EXPECT_EQ(modeOf(home + "/config/brennick-midi-player"), 0700u);

    // The next launch reads the user's file first, and saves there again.
    launchAsOrdinaryUser(0, 1);
    EXPECT_EQ(readBytes(settingsFile()), shared);
    expectFileHolds(1, userSettingsFile());

    // Without any file, the first launch creates the user's, holding 0.
    ASSERT_TRUE(QDir(QString::fromUtf8(home + "/config")).removeRecursively());
    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
    ASSERT_TRUE(QFile::remove(settingsFile()));
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    launchAsOrdinaryUser(0, std::nullopt);
    expectFileHolds(0, userSettingsFile());
    EXPECT_TRUE(QDir(QString::fromStdString(privateResourceDirectory()))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    ASSERT_EQ(::chmod(folder.constData(), 0755), 0);

    // Once the user's file exists it stays the one in use, writable resource directory or not
    // (here root's, now that root is its user: a folder of another user's is not).
    writeText(settingsFile(), quitOnStop("<integer>1</integer>"));
    for (const QByteArray& mine : {home + "/config/brennick-midi-player", QFile::encodeName(userSettingsFile())})
        ASSERT_EQ(::chown(mine.constData(), ::geteuid(), ::getegid()), 0);
    Controller controller;
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), 0);
    controller.autoQuit.setState(-1);
    controller.delegate.saveSettings();
    expectFileHolds(-1, userSettingsFile());
    expectFileHolds(1, settingsFile());
}

TEST_F(SettingsFile, MissingResourceDirectoryKeepsTheOptionInTheUsersFolder)
{
    ASSERT_TRUE(QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively());
    Controller controller;
    controller.autoQuit.setState(1);
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), 0);
    controller.autoQuit.setState(1);
    controller.delegate.saveSettings();
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
    expectFileHolds(1, userSettingsFile());
}

// ---- Saves that cannot be made, and a settings folder that is not the user's alone.

struct SaveFailureCase {
    const char* name;
    void (*prepare)(const QString& configHome);  // XDG_CONFIG_HOME, set unless the case unsets it
};

const SaveFailureCase kSaveFailureCases[] = {
    {"ReadOnlyFolders", [](const QString& configHome) { QDir().mkpath(configHome); }},
    {"FileWhereTheFolderShouldBe",
     [](const QString& configHome) {
         QDir().mkpath(configHome);
         writeText(configHome + "/brennick-midi-player", "a file");
     }},
    {"NoHome",
     [](const QString&) {
         ::unsetenv("HOME");
         ::unsetenv("XDG_CONFIG_HOME");
     }},
};

void PrintTo(const SaveFailureCase& c, std::ostream* out)
{
    *out << c.name;
}

class SettingsSaveFailure : public SettingsFile, public ::testing::WithParamInterface<SaveFailureCase> {};

// As an ordinary user, whom read-only folders stop: the resource directory, and the user's own
// folder is not to be had either. One line says so, however often the player saves.
TEST_P(SettingsSaveFailure, IsSaidOnceAndTheOptionStaysInMemory)
{
    GetParam().prepare(treePath("config"));
    const QByteArray resources = QFile::encodeName(QString::fromStdString(privateResourceDirectory()));
    ASSERT_EQ(::chmod(resources.constData(), 0555), 0);
    EXPECT_EXIT(
        {
            becomeOrdinaryUser();
            testing::internal::CaptureStderr();
            Controller controller;
            controller.delegate.loadSettings();
            controller.autoQuit.setState(1);
            for (int save = 0; save < 3; ++save)
                controller.delegate.saveSettings();
            const std::string said = testing::internal::GetCapturedStderr();
            std::fputs(said.c_str(), stderr);
            ::_exit(controller.autoQuit.state() == 1 ? int(linesContaining(said, "Cannot save the settings")) : 9);
        },
        ::testing::ExitedWithCode(1), "Cannot save the settings");
    ASSERT_EQ(::chmod(resources.constData(), 0755), 0);
    EXPECT_TRUE(QDir(QString::fromUtf8(resources)).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

INSTANTIATE_TEST_SUITE_P(Places, SettingsSaveFailure, ::testing::ValuesIn(kSaveFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct UserFolderCase {
    const char* name;
    void (*prepare)(const QByteArray& folder);  // the user's settings folder, made 0700 by this user
    bool trusted;
};

const UserFolderCase kUserFolderCases[] = {
    {"Private", [](const QByteArray&) {}, true},
    {"OthersMayRead", [](const QByteArray& f) { ::chmod(f, 0755); }, true},
    {"OthersMayWrite", [](const QByteArray& f) { ::chmod(f, 0777); }, false},
    {"OfAnotherUser", [](const QByteArray& f) { [[maybe_unused]] const int ignored = ::chown(f, 65534, 65534); },
     false},
    {"SymbolicLink",
     [](const QByteArray& f) {
         ::rename(f, f + ".real");
         [[maybe_unused]] const int ignored = ::symlink(f + ".real", f);
     },
     false},
};

void PrintTo(const UserFolderCase& c, std::ostream* out)
{
    *out << c.name;
}

class SettingsUserFolder : public SettingsFile, public ::testing::WithParamInterface<UserFolderCase> {};

// Another user who can write the folder could plant their picks there, or read what is saved.
TEST_P(SettingsUserFolder, IsUsedOnlyWhenNoOtherUserControlsItAndItsFileIsPrivate)
{
    const UserFolderCase& c = GetParam();
    ASSERT_TRUE(QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively());
    const QString folder = treePath("config/brennick-midi-player");
    ASSERT_TRUE(makePrivateDirectory(folder));
    writeText(userSettingsFile(), quitOnStop("<integer>1</integer>"));
    ASSERT_EQ(::chmod(QFile::encodeName(userSettingsFile()).constData(), 0666), 0);
    const QByteArray before = readBytes(userSettingsFile());
    c.prepare(QFile::encodeName(folder));

    Controller controller;
    testing::internal::CaptureStderr();
    controller.delegate.loadSettings();
    EXPECT_EQ(controller.autoQuit.state(), c.trusted ? 1 : 0);
    controller.autoQuit.setState(5);
    controller.delegate.saveSettings();
    const std::string said = testing::internal::GetCapturedStderr();
    if (c.trusted) {
        expectFileHolds(5, userSettingsFile());
        EXPECT_EQ(modeOf(userSettingsFile()), 0600u);
        EXPECT_EQ(said, "");
    } else {
        EXPECT_EQ(readBytes(userSettingsFile()), before);
        EXPECT_EQ(modeOf(userSettingsFile()), 0666u);
        EXPECT_EQ(linesContaining(said, "Cannot save the settings"), 1) << said;
    }
    QFile::remove(folder);
    QDir(folder + ".real").removeRecursively();
}

INSTANTIATE_TEST_SUITE_P(Folders, SettingsUserFolder, ::testing::ValuesIn(kUserFolderCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct LocationCase {
    const char* name;
    std::optional<const char*> xdgConfigHome;  // below the private tree unless relative; nullopt: unset
    const char* file;                          // where the user's file lands, below the private tree
};

const LocationCase kLocationCases[] = {
    {"XdgConfigHome", "/xdg", "xdg/brennick-midi-player/BrennickMIDIPlayerSetting.xml"},
    {"UnsetMeansHomeConfig", std::nullopt, "home/.config/brennick-midi-player/BrennickMIDIPlayerSetting.xml"},
    {"RelativeIsIgnored", "relative", "home/.config/brennick-midi-player/BrennickMIDIPlayerSetting.xml"},
};

void PrintTo(const LocationCase& c, std::ostream* out)
{
    *out << c.name;
}

class SettingsLocation : public SettingsFile, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(SettingsLocation, TheUsersFileFollowsTheXdgRules)
{
    const LocationCase& c = GetParam();
    ::setenv("HOME", QFile::encodeName(treePath("home")).constData(), 1);
    if (!c.xdgConfigHome)
        ::unsetenv("XDG_CONFIG_HOME");
    else if (QByteArray(*c.xdgConfigHome).startsWith('/'))
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(treePath(*c.xdgConfigHome)).constData(), 1);
    else
        ::setenv("XDG_CONFIG_HOME", *c.xdgConfigHome, 1);
    ASSERT_TRUE(QDir(QString::fromStdString(privateResourceDirectory())).removeRecursively());  // cannot be written

    Controller controller;
    controller.delegate.loadSettings();
    expectFileHolds(0, treePath(c.file));
    EXPECT_EQ(AppDelegate::settingsPath(), treePath(c.file));
    QDir(treePath("home")).removeRecursively();
    QDir(treePath("xdg")).removeRecursively();
}

INSTANTIATE_TEST_SUITE_P(Environments, SettingsLocation, ::testing::ValuesIn(kLocationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Per-model preferences.

TEST_F(SettingsFile, PreferencesAreSavedAtOnceAndOlderFilesHaveNone)
{
    writeText(settingsFile(), quitOnStop("<integer>1</integer>"));  // written before there were any
    {
        Controller controller;
        controller.delegate.loadSettings();
        EXPECT_EQ(controller.autoQuit.state(), 1);
        ModelPreferences& preferences = controller.delegate.modelPreferences();
        EXPECT_EQ(preferences.rememberedDestination("Lumen"), std::nullopt);
        EXPECT_EQ(preferences.pacing("Lumen"), (PacingPreference{60000, 0}));

        preferences.setRememberedDestination("Lumen", "Lumen 2 Port");
        const std::optional<QVariantMap> saved = readPropertyListDictionary(settingsFile());
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->value("Destination for model").toMap(), (QVariantMap{{"Lumen", "Lumen 2 Port"}}));

        preferences.setRememberedDestination("", "Carrow:midi_in");  // files naming no model
        preferences.setRememberedDestination("Carrow", "Carrow:midi_in");
        preferences.forgetDestination("Carrow");
        preferences.setPacing("Carrow", {30000, 20});
        preferences.setPacing("Vell/Vell+", {5, 99999});  // clamped
    }                                                     // no orderly end: as after a crash

    Controller next;
    next.delegate.loadSettings();
    EXPECT_EQ(next.autoQuit.state(), 1);
    const ModelPreferences& preferences = next.delegate.modelPreferences();
    EXPECT_EQ(preferences.rememberedDestination("Lumen"), "Lumen 2 Port");
    EXPECT_EQ(preferences.rememberedDestination(""), "Carrow:midi_in");
    EXPECT_EQ(preferences.rememberedDestination("Carrow"), std::nullopt);
    EXPECT_EQ(preferences.pacing("Carrow"), (PacingPreference{30000, 20}));
    EXPECT_EQ(preferences.pacing("Vell/Vell+"), (PacingPreference{kMinSysExBytesPerSecond, kMaxSysExPauseMs}));
    EXPECT_EQ(preferences.pacing("Lumen"), (PacingPreference{60000, 0}));

    const std::optional<QVariantMap> saved = readPropertyListDictionary(settingsFile());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->keys(),
              (QStringList{"Destination for model", "Quit on stop", "SysEx pause after message", "SysEx speed"}));
    EXPECT_EQ(saved->value("SysEx speed").toMap().value("Carrow").typeId(), QMetaType::LongLong);

    // A save keeps what the file holds beside the player's own keys, but not a pick forgotten.
    next.delegate.modelPreferences().forgetDestination("Lumen");
    next.delegate.modelPreferences().forgetDestination("");
    EXPECT_FALSE(readPropertyListDictionary(settingsFile())->contains("Destination for model"));
}

struct PreferenceCase {
    const char* name;
    std::string entries;  // beside "Quit on stop" in the root dictionary
    const char* model;
    std::optional<QString> destination;
    PacingPreference pacing;
};

std::string entry(const char* key, const std::string& valueXml)
{
    return std::string("<key>") + key + "</key>" + valueXml;
}

std::string forModel(const char* model, const std::string& valueXml)
{
    return std::string("<dict><key>") + model + "</key>" + valueXml + "</dict>";
}

const PreferenceCase kPreferenceCases[] = {
    {"Destination",
     entry("Destination for model", forModel("Lumen", "<string>Lumen In</string>")),
     "Lumen",
     "Lumen In",
     {}},
    {"EmptyModelName", entry("Destination for model", forModel("", "<string>Any</string>")), "", "Any", {}},
    {"DestinationsNotADictionary", entry("Destination for model", "<string>Lumen</string>"), "Lumen", std::nullopt, {}},
    {"DestinationNotAString",
     entry("Destination for model", forModel("Lumen", "<integer>3</integer>")),
     "Lumen",
     std::nullopt,
     {}},
    {"DestinationEmpty",
     entry("Destination for model", forModel("Lumen", "<string></string>")),
     "Lumen",
     std::nullopt,
     {}},
    {"Speed", entry("SysEx speed", forModel("Orrin", "<integer>31250</integer>")), "Orrin", std::nullopt, {31250, 0}},
    {"SpeedAsString", entry("SysEx speed", forModel("Orrin", "<string>31250</string>")), "Orrin", std::nullopt, {}},
    {"SpeedAsBoolean", entry("SysEx speed", forModel("Orrin", "<true/>")), "Orrin", std::nullopt, {}},
    {"SpeedsNotADictionary", entry("SysEx speed", "<integer>31250</integer>"), "Orrin", std::nullopt, {}},
    {"SpeedZero", entry("SysEx speed", forModel("Orrin", "<integer>0</integer>")), "Orrin", std::nullopt, {100, 0}},
    {"SpeedHuge",
     entry("SysEx speed", forModel("Orrin", "<integer>18446744073709551615</integer>")),
     "Orrin",
     std::nullopt,
     {1000000, 0}},
    {"SpeedReal", entry("SysEx speed", forModel("Orrin", "<real>31250.9</real>")), "Orrin", std::nullopt, {31250, 0}},
    {"SpeedNotANumber", entry("SysEx speed", forModel("Orrin", "<real>nan</real>")), "Orrin", std::nullopt, {}},
    {"PauseOnly",
     entry("SysEx pause after message", forModel("Orrin", "<integer>20</integer>")),
     "Orrin",
     std::nullopt,
     {60000, 20}},
    {"PauseTooLong",
     entry("SysEx pause after message", forModel("Orrin", "<integer>86400000</integer>")),
     "Orrin",
     std::nullopt,
     {60000, 5000}},
    {"PauseAsArray", entry("SysEx pause after message", forModel("Orrin", "<array/>")), "Orrin", std::nullopt, {}},
};

void PrintTo(const PreferenceCase& c, std::ostream* out)
{
    *out << c.name;
}

class PreferenceReading : public SettingsFile, public ::testing::WithParamInterface<PreferenceCase> {};

TEST_P(PreferenceReading, GarbageReadsAsAbsentAndNumbersAreClamped)
{
    const PreferenceCase& c = GetParam();
    writeText(settingsFile(), plist("<dict><key>Quit on stop</key><integer>1</integer>" + c.entries + "</dict>"));
    for (int launch = 0; launch < 2; ++launch) {  // what the first reads, its save keeps for the next
        SCOPED_TRACE(launch == 0 ? "as written" : "as saved");
        Controller controller;
        controller.delegate.loadSettings();
        EXPECT_EQ(controller.autoQuit.state(), 1);
        const ModelPreferences& preferences = controller.delegate.modelPreferences();
        EXPECT_EQ(preferences.rememberedDestination(c.model), c.destination);
        EXPECT_EQ(preferences.pacing(c.model), c.pacing);
        controller.delegate.saveSettings();
    }
}

INSTANTIATE_TEST_SUITE_P(StoredValues, PreferenceReading, ::testing::ValuesIn(kPreferenceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// "Play several files in turn", "Repeat" and "Recent files" beside "Quit on stop": read
// forgivingly, and what the first launch read its save keeps for the next, where an option that is
// off leaves no key.
struct RememberedCase {
    const char* name;
    std::string entries;
    bool inTurn, repeat;
    QStringList recent;
};

std::string recentFiles(const std::string& arrayBody)
{
    return entry("Recent files", "<array>" + arrayBody + "</array>");
}

std::string strings(int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += "<string>/m/" + std::to_string(i) + ".mid</string>";
    return out;
}

const RememberedCase kRememberedCases[] = {
    {"Options",
     entry("Play several files in turn", "<integer>1</integer>") + entry("Repeat", "<true/>"),
     true,
     true,
     {}},
    {"OptionsOff",
     entry("Play several files in turn", "<integer>0</integer>") + entry("Repeat", "<string>no</string>"),
     false,
     false,
     {}},
    {"RecentFiles",
     recentFiles("<string>/m/b.mid</string><string>/m/a b.mid</string>"),
     false,
     false,
     {"/m/b.mid", "/m/a b.mid"}},
    {"RecentGarbage",
     recentFiles("<integer>1</integer><string>a.mid</string><string></string><dict/><string>/m/a.mid</string>"
                 "<string>/m/a.mid</string>"),
     false,
     false,
     {"/m/a.mid"}},
    {"RecentNotAnArray", entry("Recent files", "<string>/m/a.mid</string>"), false, false, {}},
    {"RecentNameNotUtf8", recentFiles("<data>L20v/y5taWQ=</data>"), false, false, {decodeLocalPath("/m/\xFF.mid")}},
    {"RecentMoreThanTen", recentFiles(strings(12)), false, false,
     QString::fromStdString(strings(10)).remove("<string>").split("</string>", Qt::SkipEmptyParts)},
};

class RememberedReading : public SettingsFile, public ::testing::WithParamInterface<RememberedCase> {};

TEST_P(RememberedReading, OptionsAndRecentFilesSurviveASave)
{
    const RememberedCase& c = GetParam();
    writeText(settingsFile(), plist("<dict><key>Quit on stop</key><integer>1</integer>" + c.entries + "</dict>"));
    for (int launch = 0; launch < 2; ++launch) {
        SCOPED_TRACE(launch == 0 ? "as written" : "as saved");
        Controller controller;
        controller.delegate.loadSettings();
        EXPECT_EQ(controller.playInTurn.state(), c.inTurn);
        EXPECT_EQ(controller.repeat.state(), c.repeat);
        EXPECT_EQ(controller.delegate.recentFiles().paths(), c.recent);
        controller.delegate.saveSettings();
        const QVariantMap saved = *readPropertyListDictionary(settingsFile());
        EXPECT_EQ(saved.contains("Repeat"), c.repeat);
        EXPECT_EQ(saved.contains("Recent files"), !c.recent.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(StoredValues, RememberedReading, ::testing::ValuesIn(kRememberedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecentFilesChanges, NewestFirstEachOnceAtMostTen)
{
    int saves = 0;
    RecentFiles recent([&] { ++saves; });
    for (int i = 0; i < 12; ++i)
        recent.add(QStringLiteral("/m/%1.mid").arg(i));
    recent.add("/m/5.mid");
    recent.add("/m/5.mid");  // already the newest: no change
    EXPECT_EQ(recent.paths(), (QStringList{"/m/5.mid", "/m/11.mid", "/m/10.mid", "/m/9.mid", "/m/8.mid", "/m/7.mid",
                                           "/m/6.mid", "/m/4.mid", "/m/3.mid", "/m/2.mid"}));
    EXPECT_EQ(saves, 13);
}

TEST(ModelPreferencesChanges, OnlyRealChangesAreReported)
{
    int saves = 0;
    ModelPreferences preferences([&] { ++saves; });
    preferences.load(QVariantMap{{"SysEx speed", QVariantMap{{"Lumen", qint64(100)}}}});
    EXPECT_EQ(saves, 0) << "loading is not a change";
    preferences.setPacing("Lumen", {100, 0});
    preferences.setPacing("Lumen", {50, -3});  // clamps to the same
    preferences.forgetDestination("Lumen");
    preferences.setRememberedDestination("Lumen", "");
    EXPECT_EQ(saves, 0);
    preferences.setRememberedDestination("Lumen", "Lumen In");
    preferences.setRememberedDestination("Lumen", "Lumen In");
    preferences.setPacing("Lumen", {200, 0});
    preferences.setRememberedDestination("Lumen", "");  // forgets
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(preferences.rememberedDestination("Lumen"), std::nullopt);
}

}  // namespace

int main(int argc, char** argv)
{
    return brennick::test::runInPrivateTree(argc, argv);
}
