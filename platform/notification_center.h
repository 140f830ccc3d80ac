#pragma once
// In-process notifications, delivered synchronously: every observer has run when post returns.

#include <QString>
#include <QVariant>

#include <functional>
#include <vector>

namespace brennick {

struct Notification {
    QString name;
    QVariant object;  // null when posted without an object
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    // The process's default centre.
    static NotificationCenter& defaultCenter();

    // Calls `handler` for every notification named `name` (any name when empty) whose object
    // equals `objectFilter` (any object when null). `observer` identifies the registration.
    void addObserver(const void* observer, const QString& name, Handler handler, const QVariant& objectFilter = {});
    // Removes every registration of `observer`.
    void removeObserver(const void* observer);

    // Delivers on the calling thread, in registration order, before returning.
    void postNotificationName(const QString& name, const QVariant& object = {});

private:
    struct Registration {
        const void* observer;
        QString name;
        QVariant objectFilter;
        Handler handler;
    };
    std::vector<Registration> registrations_;
};

}  // namespace brennick
