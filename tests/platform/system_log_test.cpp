// The system log writes each line once to standard error (and to syslog, not observable here).
#include "platform/system_log.h"

#include <gtest/gtest.h>

#include "tests/support/captured_stderr.h"

namespace brennick {
namespace {

TEST(SystemLog, WritesTheLineOnceToStandardError)
{
    test::CapturedStandardError captured;
    const QString line = QStringLiteral("handleGetURLEvent:(NSAppleEventDescriptor *)event "
                                        "withReplyEvent:(NSAppleEventDescriptor *)replyEvent");
    systemLog(line);
    systemLog(QStringLiteral("100% %s %n"));  // never taken as a format
    EXPECT_EQ(QString::fromStdString(captured.text()), line + "\n100% %s %n\n");
}

}  // namespace
}  // namespace brennick
