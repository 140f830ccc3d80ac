#include "platform/system_log.h"

#include <QByteArray>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace brennick {

void systemLog(const QString& line)
{
    // openlog keeps the ident pointer, so it must outlive every later syslog call.
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(program_invocation_short_name, 0, LOG_USER); });

    const QByteArray utf8 = line.toUtf8();
    syslog(LOG_NOTICE, "%s", utf8.constData());

    // One write call, so lines of concurrent writers do not interleave.
    const QByteArray withNewline = utf8 + '\n';
    std::fwrite(withNewline.constData(), 1, static_cast<std::size_t>(withNewline.size()), stderr);
    std::fflush(stderr);
}

}  // namespace brennick
