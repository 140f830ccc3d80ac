// The settings file: the "Quit on stop" option, the options "Play Several Files in Turn" and
// "Repeat", the recent files and the per-model preferences, kept in the resource directory, or in
// the user's own folder when the resource directory cannot be written.

#include <QDateTime>
#include <QFileInfo>
#include <QVariant>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "app/app_delegate.h"
#include "platform/private_folder.h"
#include "platform/property_list.h"
#include "platform/resource_directory.h"
#include "platform/system_log.h"
#include "ui/menu_item.h"

namespace brennick {

namespace {

const QString kQuitOnStop = QStringLiteral("Quit on stop");
// The tempo the user chose for a file, by the key of its contents (see LoadedFile::contentKey).
const QString kTempoForFile = QStringLiteral("Tempo for file");
// Integers, 1 while on; absent while off, so the file of a user who never turns them on keeps
// only what it held before they existed.
const QString kPlayInTurn = QStringLiteral("Play several files in turn");
const QString kRepeat = QStringLiteral("Repeat");
const QString kSettingsFileName = QStringLiteral("BrennickMIDIPlayerSetting.xml");

QString sharedSettingsPath()
{
    return resourceDirectoryPath() + u'/' + kSettingsFileName;
}

// Empty when the user has no folder of their own (no HOME).
QString userSettingsPath()
{
    const QString folder = userConfigDirectoryPath();
    return folder.isEmpty() ? QString() : folder + u'/' + kSettingsFileName;
}

// Why the user's own folder may not hold the settings, or empty when it may: a folder another user
// can write could hold their picks, or a link that sends our save elsewhere.
QString userFolderProblem()
{
    const QString folder = userConfigDirectoryPath();
    if (folder.isEmpty())
        return QStringLiteral("the user has no folder of their own (HOME is not set)");
    return privateFolderProblem(QFile::encodeName(folder), FolderPrivacy::OthersMayReadOnly);
}

// The user's file holds their picks alone.
constexpr mode_t kUserFileMode = 0600;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A string's leading decimal integer, as a C string-to-int reading gives it: leading white space
// skipped, an optional sign, digits; saturated on overflow; 0 when there are no digits.
std::int32_t leadingInteger(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > std::int64_t(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    return std::int32_t(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

// The value's integer reading: numbers give their integer part (32-bit), numeric strings their
// leading number, booleans 1 or 0, and every other kind of value 0 (off).
std::int32_t intValue(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool: return value.toBool() ? 1 : 0;
    case QMetaType::LongLong:
    case QMetaType::Int: return std::int32_t(std::uint32_t(value.toLongLong()));  // keeps the low 32 bits
    case QMetaType::ULongLong:
    case QMetaType::UInt: return std::int32_t(std::uint32_t(value.toULongLong()));
    case QMetaType::Double: {
        const double d = std::trunc(value.toDouble());
        if (!std::isfinite(d))
            return 0;
        return std::int32_t(std::clamp(d, double(INT_MIN), double(INT_MAX)));
    }
    case QMetaType::QString: return leadingInteger(value.toString());
    default: return 0;
    }
}

}  // namespace

// The user's own file, once there is one, is the one read and written: it exists because the
// resource directory could not be written, and the next launch must find what was saved last.
QString AppDelegate::settingsPath()
{
    const QString user = userSettingsPath();
    return !user.isEmpty() && QFileInfo::exists(user) && userFolderProblem().isEmpty() ? user : sharedSettingsPath();
}

std::optional<QVariantMap> AppDelegate::readSettingsFile(const QString& path)
{
    if (!QFileInfo::exists(path))
        return QVariantMap();
    QString problem;
    std::optional<QVariantMap> dictionary = readPropertyListDictionary(path, &problem);
    if (!dictionary && !settingsReadProblemSaid_) {
        settingsReadProblemSaid_ = true;
        systemLog(QStringLiteral("Cannot read the settings file %1 (%2): it is kept as it is, and the settings are "
                                 "not saved while it cannot be read")
                      .arg(path, problem));
    }
    return dictionary;
}

void AppDelegate::saveSettings()
{
    const QString path = settingsPath();
    // Saved over what the file holds now, so that entries this player does not know stay: all but
    // those no property list can be written with (a real that is not finite), which would stop
    // every save.
    std::optional<QVariantMap> dictionary = readSettingsFile(path);
    if (!dictionary)
        return;
    dictionary = writableEntries(std::move(*dictionary));
    dictionary->insert(kQuitOnStop, QVariant::fromValue<qint64>(autoQuit_ ? autoQuit_->state() : 0));
    modelPreferences_.store(*dictionary);
    if (tempoByFile_.isEmpty())
        dictionary->remove(kTempoForFile);
    else
        dictionary->insert(kTempoForFile, tempoByFile_);
    // What has not been read yet is not saved over.
    if (preferencesLoaded_) {
        for (const auto& [key, item] : {std::pair{kPlayInTurn, playInTurnItem_}, std::pair{kRepeat, repeatItem_}}) {
            if (item && item->state() != 0)
                dictionary->insert(key, QVariant::fromValue<qint64>(1));
            else if (item)
                dictionary->remove(key);
        }
        modelPreferences_.store(*dictionary);
        recentFiles_.store(*dictionary);
    }
    const bool inUserFolder = path == userSettingsPath();
    if (writePropertyListDictionaryAtomically(path, *dictionary, inUserFolder ? std::optional(kUserFileMode)
                                                                               : std::nullopt))
        return;
    QString failure = QStringLiteral("%1 (%2)").arg(path, errnoText());
    if (!inUserFolder) {
        // A resource directory this user may not write (a system-wide install): the same file in the
        // user's own folder, which from now on is read first.
        if (const QString folder = userConfigDirectoryPath(); !folder.isEmpty())
            makePrivateDirectory(folder);
        QString problem = userFolderProblem();
        if (problem.isEmpty()) {
            if (writePropertyListDictionaryAtomically(userSettingsPath(), *dictionary, kUserFileMode))
                return;
            problem = QStringLiteral("%1 (%2)").arg(userSettingsPath(), errnoText());
        }
        failure += QStringLiteral(", nor in the user's own folder: ") + problem;
    }
    if (!settingsSaveProblemSaid_) {
        settingsSaveProblemSaid_ = true;
        systemLog(QStringLiteral("Cannot save the settings to %1; they are kept until the player ends").arg(failure));
    }
}

void AppDelegate::loadSettings()
{
    if (!QFileInfo::exists(settingsPath())) {
        if (autoQuit_)
            autoQuit_->setState(0);
        saveSettings();
    }
    // Asked again: the save may have created the user's file rather than the shared one.
    const QVariantMap dictionary = readSettingsFile(settingsPath()).value_or(QVariantMap());
    if (autoQuit_)
        autoQuit_->setState(qint64(intValue(dictionary.value(kQuitOnStop))));
    loadPreferences(dictionary);
}

void AppDelegate::loadPreferencesIfNeeded()
{
    if (preferencesLoaded_)
        return;
    // "Quit on stop" too: a file given at launch may play, and be remembered (which saves), before
    // the settings are loaded; the save must not write the item's state over the user's.
    const QVariantMap dictionary = readSettingsFile(settingsPath()).value_or(QVariantMap());
    if (autoQuit_)
        autoQuit_->setState(qint64(intValue(dictionary.value(kQuitOnStop))));
    loadPreferences(dictionary);
}

void AppDelegate::loadPreferences(const QVariantMap& dictionary)
{
    for (const auto& [key, item] : {std::pair{kPlayInTurn, playInTurnItem_}, std::pair{kRepeat, repeatItem_}}) {
        if (item)
            item->setState(intValue(dictionary.value(key)) != 0 ? 1 : 0);
    }
    modelPreferences_.load(dictionary);
    recentFiles_.load(dictionary);
    tempoByFile_.clear();
    const QVariantMap tempos = dictionary.value(kTempoForFile).toMap();
    for (auto it = tempos.begin(); it != tempos.end(); ++it) {
        bool number = false;
        const double rate = it.value().toDouble(&number);
        if (number && rate >= 0.5 && rate <= 2.0)  // a hand-edited value out of range is dropped
            tempoByFile_.insert(it.key(), rate);
    }
    preferencesLoaded_ = true;
    showPlaybackState();  // Repeat may have changed where Next and Previous lead
}

}  // namespace brennick
