#include "platform/notification_center.h"

#include <algorithm>

namespace brennick {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* observer, const QString& name, Handler handler,
                                     const QVariant& objectFilter)
{
    registrations_.push_back({observer, name, objectFilter, std::move(handler)});
}

void NotificationCenter::removeObserver(const void* observer)
{
    std::erase_if(registrations_, [observer](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::postNotificationName(const QString& name, const QVariant& object)
{
    const Notification notification{name, object};
    // A handler may add or remove observers: deliver to a snapshot of the registrations.
    const std::vector<Registration> snapshot = registrations_;
    for (const Registration& r : snapshot) {
        if (!r.name.isEmpty() && r.name != name)
            continue;
        if (!r.objectFilter.isNull() && r.objectFilter != object)
            continue;
        r.handler(notification);
    }
}

}  // namespace brennick
