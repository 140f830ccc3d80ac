// The settings file: the "Quit on stop" option, kept in the resource directory.

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

QString AppDelegate::settingsPath()
{
    return resourceDirectoryPath() + QStringLiteral("/BrennickMIDIPlayerSetting.xml");
}

void AppDelegate::saveSettings()
{
    QVariantMap dictionary;
    dictionary.insert(kQuitOnStop, QVariant::fromValue<qint64>(autoQuit_ ? autoQuit_->state() : 0));
    writePropertyListDictionaryAtomically(settingsPath(), dictionary);
}

void AppDelegate::loadSettings()
{
    const QString path = settingsPath();
    if (!QFileInfo::exists(path)) {
        if (autoQuit_)
            autoQuit_->setState(0);
        saveSettings();
    }
    const std::optional<QVariantMap> dictionary = readPropertyListDictionary(path);
    const QVariant value = dictionary ? dictionary->value(kQuitOnStop) : QVariant();
    if (autoQuit_)
        autoQuit_->setState(qint64(intValue(value)));
}

}  // namespace brennick
