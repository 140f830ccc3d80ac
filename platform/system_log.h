#pragma once
// The system log: one line to syslog(3) and to standard error.

#include <QString>

namespace brennick {

// Writes `line` once to syslog (facility LOG_USER, priority LOG_NOTICE, identified by the program's
// name) and once, followed by a newline, to standard error. Never fails visibly: a missing log
// daemon or a closed standard error only loses the line there.
void systemLog(const QString& line);

}  // namespace brennick
