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

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%XX" becomes its byte; a '%' not followed by two hex digits stays as it is.
QByteArray percentDecoded(QByteArrayView in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            out.append(char(hexValue(in[i + 1]) << 4 | hexValue(in[i + 2])));
            i += 2;
        } else {
            out.append(in[i]);
        }
    }
    return out;
}

// The local path a `file:` URL names, from the URL's own bytes (a percent-encoded name need not
// be UTF-8); nullopt when it names another host or no usable path.
std::optional<QString> localPathOfFileUrl(const QString& url)
{
    QByteArray rest = encodeLocalPath(url).mid(int(sizeof "file:" - 1));
    if (rest.startsWith("//")) {
        const qsizetype slash = rest.indexOf('/', 2);
        const QByteArray host = rest.mid(2, slash < 0 ? -1 : slash - 2);
        if (!host.isEmpty() && host.compare("localhost", Qt::CaseInsensitive) != 0)
            return std::nullopt;
        rest = slash < 0 ? QByteArray() : rest.mid(slash);
    }
    for (const char stop : {'?', '#'})  // a query or fragment is not part of the path
        if (const qsizetype at = rest.indexOf(stop); at >= 0)
            rest.truncate(at);
    const QByteArray path = percentDecoded(rest);
    if (path.isEmpty() || path.contains('\0'))
        return std::nullopt;
    return decodeLocalPath(path);
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
            if (const auto path = localPathOfFileUrl(arg)) {
                requests.append({LaunchRequest::Kind::OpenFile, absoluteCleanPath(*path, currentDirectory)});
                continue;
            }
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
        if (request.kind == LaunchRequest::Kind::OpenFile)
            batch.newestFile = request.value;
        else
            batch.newestGetURL = request.value;
    }
    return batch;
}

}  // namespace brennick
