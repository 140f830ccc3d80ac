#include "app/model_preferences.h"

#include <QVariant>

#include <algorithm>
#include <cmath>

namespace brennick {

namespace {

const QString kDestinationKey = QStringLiteral("Destination for model");
const QString kSpeedKey = QStringLiteral("SysEx speed");
const QString kPauseKey = QStringLiteral("SysEx pause after message");

PacingPreference clamped(PacingPreference pacing)
{
    return {std::clamp(pacing.bytesPerSecond, kMinSysExBytesPerSecond, kMaxSysExBytesPerSecond),
            std::clamp(pacing.pauseMs, 0, kMaxSysExPauseMs)};
}

// A stored number clamped to [low, high] (0 <= low); nullopt for anything that is not a number.
std::optional<int> storedNumber(const QVariant& value, int low, int high)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong: return int(std::clamp<qint64>(value.toLongLong(), low, high));
    case QMetaType::UInt:
    case QMetaType::ULongLong: return int(std::clamp<quint64>(value.toULongLong(), quint64(low), quint64(high)));
    case QMetaType::Double: {
        const double number = std::trunc(value.toDouble());
        if (!std::isfinite(number))
            return std::nullopt;
        return int(std::clamp(number, double(low), double(high)));
    }
    default: return std::nullopt;
    }
}

}  // namespace

ModelPreferences::ModelPreferences(std::function<void()> changed) : changed_(std::move(changed)) {}

std::optional<QString> ModelPreferences::rememberedDestination(const QString& model) const
{
    const auto it = destinations_.constFind(model);
    if (it == destinations_.cend())
        return std::nullopt;
    return *it;
}

void ModelPreferences::setRememberedDestination(const QString& model, const QString& displayName)
{
    if (displayName.isEmpty()) {
        forgetDestination(model);
        return;
    }
    if (rememberedDestination(model) == displayName)
        return;
    destinations_.insert(model, displayName);
    notify();
}

void ModelPreferences::forgetDestination(const QString& model)
{
    if (destinations_.remove(model) > 0)
        notify();
}

PacingPreference ModelPreferences::pacing(const QString& model) const
{
    return pacing_.value(model, PacingPreference{});
}

void ModelPreferences::setPacing(const QString& model, PacingPreference pacing)
{
    pacing = clamped(pacing);
    const auto it = pacing_.constFind(model);
    if (it != pacing_.cend() && *it == pacing)
        return;
    pacing_.insert(model, pacing);
    notify();
}

void ModelPreferences::load(const QVariantMap& settings)
{
    destinations_.clear();
    pacing_.clear();
    const QVariantMap destinations = settings.value(kDestinationKey).toMap();
    for (auto it = destinations.cbegin(); it != destinations.cend(); ++it) {
        if (it.value().typeId() == QMetaType::QString && !it.value().toString().isEmpty())
            destinations_.insert(it.key(), it.value().toString());
    }
    // Speed and pause are stored apart; a model with only one of them gets the default for the other.
    const QVariantMap speeds = settings.value(kSpeedKey).toMap();
    for (auto it = speeds.cbegin(); it != speeds.cend(); ++it) {
        if (const auto speed = storedNumber(it.value(), kMinSysExBytesPerSecond, kMaxSysExBytesPerSecond))
            pacing_[it.key()].bytesPerSecond = *speed;
    }
    const QVariantMap pauses = settings.value(kPauseKey).toMap();
    for (auto it = pauses.cbegin(); it != pauses.cend(); ++it) {
        if (const auto pause = storedNumber(it.value(), 0, kMaxSysExPauseMs))
            pacing_[it.key()].pauseMs = *pause;
    }
}

void ModelPreferences::store(QVariantMap& settings) const
{
    QVariantMap destinations, speeds, pauses;
    for (auto it = destinations_.cbegin(); it != destinations_.cend(); ++it)
        destinations.insert(it.key(), it.value());
    for (auto it = pacing_.cbegin(); it != pacing_.cend(); ++it) {
        speeds.insert(it.key(), qint64(it->bytesPerSecond));
        pauses.insert(it.key(), qint64(it->pauseMs));
    }
    const auto set = [&settings](const QString& key, const QVariantMap& entries) {
        if (entries.isEmpty())
            settings.remove(key);
        else
            settings.insert(key, entries);
    };
    set(kDestinationKey, destinations);
    set(kSpeedKey, speeds);
    set(kPauseKey, pauses);
}

void ModelPreferences::notify() const
{
    if (changed_)
        changed_();
}

}  // namespace brennick
