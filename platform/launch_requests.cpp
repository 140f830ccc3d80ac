#include "platform/launch_requests.h"

#include <QDir>
#include <QRegularExpression>

#include "platform/local_path.h"

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

    QList<LaunchRequest> requests;
    for (const QString& arg : args) {
        if (arg.isEmpty())
            continue;
        if (const auto path = localPathOfFileUrl(arg)) {
            requests.append({LaunchRequest::Kind::OpenFile, absoluteCleanPath(*path, currentDirectory)});
            continue;
        }
        if (schemeForm.match(arg).hasMatch() && !localPathExists(absoluteCleanPath(arg, currentDirectory))) {
            requests.append({LaunchRequest::Kind::GetURL, arg});
            continue;
        }
        requests.append({LaunchRequest::Kind::OpenFile, absoluteCleanPath(arg, currentDirectory)});
    }
    return requests;
}

QList<LaunchRequest> LaunchBatch::requests() const
{
    QList<LaunchRequest> out;
    if (newestGetURL)
        out.append({LaunchRequest::Kind::GetURL, *newestGetURL});
    if (newestFile)
        out.append({LaunchRequest::Kind::OpenFile, *newestFile});
    return out;
}

LaunchBatch coalesceLaunchRequests(const QList<LaunchRequest>& requests)
{
    LaunchBatch batch;
    batch.requestCount = requests.size();
    for (const LaunchRequest& request : requests) {
        if (request.kind == LaunchRequest::Kind::OpenFile) {
            batch.newestFile = request.value;
            batch.files.append(request.value);
        } else {
            batch.newestGetURL = request.value;
        }
    }
    return batch;
}

}  // namespace brennick
