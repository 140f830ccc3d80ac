#pragma once
// One QApplication for the whole test executable (offscreen platform, set by CMake).

#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QStringList>

namespace brennick::test {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "ui_test";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete app_;
        app_ = nullptr;
    }

private:
    QApplication* app_ = nullptr;
};

inline ::testing::Environment* const kQtApplication = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Collects the objects of every "PlayMIDIFile" posted while it lives: a path each, or a list.
class PlayRequests {
public:
    PlayRequests()
    {
        NotificationCenter::defaultCenter().addObserver(this, QStringLiteral("PlayMIDIFile"),
                                                        [this](const Notification& n) {
                                                            if (n.object.typeId() == QMetaType::QStringList)
                                                                lists.append(n.object.toStringList());
                                                            else
                                                                paths.append(n.object.toString());
                                                        });
    }
    ~PlayRequests() { NotificationCenter::defaultCenter().removeObserver(this); }
    PlayRequests(const PlayRequests&) = delete;
    PlayRequests& operator=(const PlayRequests&) = delete;

    QStringList paths;
    QList<QStringList> lists;
};

}  // namespace brennick::test
