#include "platform/launch_requests.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace brennick {

namespace {

// Plain string joining: QDir and QFileInfo would take a leading ':' for a Qt resource path.
QString absoluteCleanPath(const QString& path, const QString& currentDirectory)
{
    if (path.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(path);
    return QDir::cleanPath(currentDirectory + QLatin1Char('/') + path);
}

}  // namespace

QList<LaunchRequest> classifyLaunchArguments(const QStringList& args, const QString& currentDirectory)
{
    static const QRegularExpression schemeForm(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    static const QRegularExpression fileScheme(QStringLiteral("^file:"), QRegularExpression::CaseInsensitiveOption);

    QList<LaunchRequest> requests;
    for (const QString& arg : args) {
        if (arg.isEmpty())
            continue;
        if (fileScheme.match(arg).hasMatch()) {
            const QUrl url(arg, QUrl::StrictMode);
            const QString host = url.host();
            if (url.isValid() &&
                (host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)) {
                const QString path = url.path(QUrl::FullyDecoded);
                if (!path.isEmpty()) {
                    requests.append({LaunchRequest::Kind::OpenFile, absoluteCleanPath(path, currentDirectory)});
                    continue;
                }
            }
        }
        if (schemeForm.match(arg).hasMatch() && !QFileInfo::exists(absoluteCleanPath(arg, currentDirectory))) {
            requests.append({LaunchRequest::Kind::GetURL, arg});
            continue;
        }
        requests.append({LaunchRequest::Kind::OpenFile, absoluteCleanPath(arg, currentDirectory)});
    }
    return requests;
}

}  // namespace brennick
