// Feeds arbitrary bytes to the property-list reader: it must return a map or nothing, never crash,
// hang or read out of bounds. What the settings keep of a map read (its writable entries) must
// write as a list that reads back with the same keys, or a save would leave a file it cannot read.
#include "platform/property_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > static_cast<std::size_t>(brennick::kMaxPropertyListBytes) + 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto map = brennick::readPropertyListDictionaryFromBytes(bytes);
    if (map) {
        // Touch every converted value so a bad conversion shows up here.
        volatile qsizetype total = 0;
        for (auto it = map->cbegin(); it != map->cend(); ++it)
            total = total + it.key().size() + it.value().toString().size();
        const QVariantMap kept = brennick::writableEntries(*map);
        const auto xml = brennick::propertyListXml(kept);
        const auto again = xml ? brennick::readPropertyListDictionaryFromBytes(*xml) : std::nullopt;
        if (!again || again->keys() != kept.keys())
            std::abort();
    }
    return 0;
}
