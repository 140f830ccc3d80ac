#include "platform/property_list.h"

#include <QDateTime>
#include <QStringList>

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "platform/atomic_file.h"
#include "platform/plist_node.h"

namespace brennick {

namespace {

using plist_node::kPlistEpochMSecs;
using plist_node::MallocPtr;
using plist_node::PlistPtr;

// ---- Writing.

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth);

std::optional<PlistPtr> mapToDict(const QVariantMap& map, int depth)
{
    if (depth > kMaxPropertyListDepth)
        return std::nullopt;
    PlistPtr dict(plist_new_dict());
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        auto item = fromVariant(it.value(), depth);
        if (!item)
            return std::nullopt;
        plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item->release());
    }
    return dict;
}

PlistPtr largeUnsigned(quint64 value)
{
    // The library writes a 64-bit value above the signed range as negative unless the node came
    // from parsed text, which marks it unsigned.
    const QByteArray xml = "<plist><integer>" + QByteArray::number(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &node);
    return PlistPtr(node);
}

std::optional<PlistPtr> fromVariant(const QVariant& value, int depth)
{
    switch (value.typeId()) {
    case QMetaType::Bool: return PlistPtr(plist_new_bool(value.toBool() ? 1 : 0));
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::SChar: return PlistPtr(plist_new_uint(static_cast<uint64_t>(value.toLongLong())));
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::UChar: {
        const quint64 unsignedValue = value.toULongLong();
        if (unsignedValue > static_cast<quint64>(std::numeric_limits<qint64>::max())) {
            PlistPtr node = largeUnsigned(unsignedValue);
            if (!node)
                return std::nullopt;
            return node;
        }
        return PlistPtr(plist_new_uint(unsignedValue));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double real = value.toDouble();
        if (!std::isfinite(real))
            return std::nullopt;
        return PlistPtr(plist_new_real(real));
    }
    case QMetaType::QString: return PlistPtr(plist_new_string(value.toString().toUtf8().constData()));
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return PlistPtr(plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size())));
    }
    case QMetaType::QDateTime: {
        const QDateTime time = value.toDateTime();
        if (!time.isValid())
            return std::nullopt;
        const qint64 msecs = time.toMSecsSinceEpoch() - kPlistEpochMSecs;
        const qint64 seconds = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
        const qint64 remainderMSecs = msecs - seconds * 1000;
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return PlistPtr(plist_new_date(static_cast<int32_t>(seconds), static_cast<int32_t>(remainderMSecs * 1000)));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        if (depth + 1 > kMaxPropertyListDepth)
            return std::nullopt;
        PlistPtr array(plist_new_array());
        for (const QVariant& element : value.toList()) {
            auto item = fromVariant(element, depth + 1);
            if (!item)
                return std::nullopt;
            plist_array_append_item(array.get(), item->release());
        }
        return array;
    }
    case QMetaType::QVariantMap: return mapToDict(value.toMap(), depth + 1);
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return mapToDict(map, depth + 1);
    }
    default: return std::nullopt;
    }
}

}  // namespace

std::optional<QByteArray> propertyListXml(const QVariantMap& dict)
{
    auto root = mapToDict(dict, 1);
    if (!root)
        return std::nullopt;
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(root->get(), &raw, &length);
    MallocPtr<char> text(raw);
    if (!text)
        return std::nullopt;
    return QByteArray(text.get(), length);
}

QVariantMap writableEntries(QVariantMap dict)
{
    dict.removeIf([](const auto& entry) { return !fromVariant(entry.value(), 1); });
    return dict;
}

bool writePropertyListDictionaryAtomically(const QString& path, const QVariantMap& dict, std::optional<mode_t> mode)
{
    const std::optional<QByteArray> xml = propertyListXml(dict);
    if (!xml) {
        errno = EINVAL;
        return false;
    }
    AtomicFile file(path, mode);
    return file.append(*xml) && file.commit();
}

}  // namespace brennick
