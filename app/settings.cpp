// The settings file: the "Quit on stop" option and the per-model preferences, kept in the resource
// directory, or in the user's own folder when the resource directory cannot be written.

#include <QDateTime>
#include <QFileInfo>
#include <QVariant>

#include <climits>
#include <cmath>

#include "app/app_delegate.h"
#include "platform/property_list.h"
#include "platform/resource_directory.h"
#include "ui/menu_item.h"

namespace brennick {

namespace {

const QString kQuitOnStop = QStringLiteral("Quit on stop");
const QString kSettingsFileName = QStringLiteral("BrennickMIDIPlayerSetting.xml");

QString sharedSettingsPath()
{
    return resourceDirectoryPath() + u'/' + kSettingsFileName;
}

QString userSettingsPath()
{
    return userConfigDirectoryPath() + u'/' + kSettingsFileName;
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
    return QFileInfo::exists(user) ? user : sharedSettingsPath();
}

void AppDelegate::saveSettings()
{
    QVariantMap dictionary;
    dictionary.insert(kQuitOnStop, QVariant::fromValue<qint64>(autoQuit_ ? autoQuit_->state() : 0));
    modelPreferences_.store(dictionary);
    const QString path = settingsPath();
    if (writePropertyListDictionaryAtomically(path, dictionary) || path == userSettingsPath())
        return;
    // A resource directory this user may not write (a system-wide install): the same file in the
    // user's own folder, which from now on is read first.
    if (makePrivateDirectory(userConfigDirectoryPath()))
        writePropertyListDictionaryAtomically(userSettingsPath(), dictionary);
}

void AppDelegate::loadSettings()
{
    if (!QFileInfo::exists(settingsPath())) {
        if (autoQuit_)
            autoQuit_->setState(0);
        saveSettings();
    }
    // Asked again: the save may have created the user's file rather than the shared one.
    const std::optional<QVariantMap> dictionary = readPropertyListDictionary(settingsPath());
    const QVariant value = dictionary ? dictionary->value(kQuitOnStop) : QVariant();
    if (autoQuit_)
        autoQuit_->setState(qint64(intValue(value)));
    modelPreferences_.load(dictionary.value_or(QVariantMap()));
    preferencesLoaded_ = true;
}

void AppDelegate::loadModelPreferencesIfNeeded()
{
    if (preferencesLoaded_)
        return;
    modelPreferences_.load(readPropertyListDictionary(settingsPath()).value_or(QVariantMap()));
    preferencesLoaded_ = true;
}

}  // namespace brennick
