// The system log writes each line once to standard error (and to syslog, not observable here).
#include "platform/system_log.h"

#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

namespace brennick {
namespace {

TEST(SystemLog, WritesTheLineOnceToStandardError)
{
    QTemporaryFile capture;
    ASSERT_TRUE(capture.open());
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    const QString line = QStringLiteral("handleGetURLEvent:(NSAppleEventDescriptor *)event "
                                        "withReplyEvent:(NSAppleEventDescriptor *)replyEvent");
    systemLog(line);
    systemLog(QStringLiteral("100% %s %n"));  // never taken as a format
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    capture.seek(0);
    EXPECT_EQ(QString::fromUtf8(capture.readAll()), line + "\n100% %s %n\n");
}

}  // namespace
}  // namespace brennick
