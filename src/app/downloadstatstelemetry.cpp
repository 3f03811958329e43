#include "downloadstatstelemetry.h"

#include "config.h"

#include <QDebug>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <curl/curl.h>

namespace
{
constexpr long CONNECT_TIMEOUT_S = 10;
constexpr long LOW_SPEED_LIMIT = 10;
constexpr long LOW_SPEED_TIME_S = 10;
// libcurl reports progress at least once a second, so an abort lands well within this.
constexpr unsigned long ABORT_WAIT_MS = 5000;

QByteArray &endpointOverride()
{
    static QByteArray endpoint;
    return endpoint;
}

QString &systemRoot()
{
    static QString root;
    return root;
}

// Letters, digits and "-._~" stay; every other byte of the UTF-8 form becomes %XX.
QByteArray encode(const QByteArray &utf8)
{
    return utf8.toPercentEncoding();
}

QByteArray encode(const QString &text)
{
    return encode(text.toUtf8());
}
} // namespace

void DownloadStatsTelemetry::setEndpoint(const QByteArray &endpoint)
{
    endpointOverride() = endpoint;
}

void DownloadStatsTelemetry::setSystemRoot(const QString &rootPrefix)
{
    systemRoot() = rootPrefix;
}

DownloadStatsTelemetry::DownloadStatsTelemetry(const QByteArray &url,
                                               const QByteArray &parentcategory,
                                               const QByteArray &osname, bool embedded,
                                               const QString &currentLanguage, QObject *parent)
    : QThread(parent),
      _url(endpointOverride().isEmpty() ? QByteArray(Q5_TELEMETRY_ENDPOINT) : endpointOverride()),
      _useragent("Mozilla/5.0 q5-orl-imager/" Q5_VERSION_STR)
{
    const QByteArray locale = encode(embedded ? currentLanguage : QLocale::system().name());
    const QByteArray osType = embedded ? QByteArray("embedded") : encode(QSysInfo::productType());

    _postfields = "url=" + encode(QString::fromUtf8(url)) +
                  "&os=" + encode(QString::fromUtf8(parentcategory)) +
                  "&image=" + encode(QString::fromUtf8(osname)) +
                  "&imagerVersion=" Q5_VERSION_STR "&imagerOsType=" + osType +
                  "&imagerOsVersion=" + encode(QSysInfo::productVersion()) +
                  "&imagerOsArch=" + encode(QSysInfo::currentCpuArchitecture()) +
                  "&imagerLocale=" + locale + _boardRevisionField();
}

DownloadStatsTelemetry::~DownloadStatsTelemetry()
{
    _abort = true;
    wait(ABORT_WAIT_MS);
}

QByteArray DownloadStatsTelemetry::_boardRevisionField()
{
    QFile cpuinfo(systemRoot() + QStringLiteral("/proc/cpuinfo"));
    const QByteArray text = cpuinfo.open(QIODevice::ReadOnly) ? cpuinfo.readAll() : QByteArray();
    if (!text.contains("Pomelo"))
        return {};
    static const QRegularExpression revision(QStringLiteral("Revision[ \\t]*: ([0-9a-f]+)"));
    const QRegularExpressionMatch match = revision.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return {};
    return "&imagerPmlRevision=" + encode(match.captured(1));
}

void DownloadStatsTelemetry::run()
{
    QSettings settings;
    if (!settings.value(QStringLiteral("telemetry"), false).toBool())
        return;

    CURL *c = curl_easy_init();
    if (!c)
        return;
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &DownloadStatsTelemetry::_curlWriteCallback);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &DownloadStatsTelemetry::_curlHeaderCallback);
    curl_easy_setopt(c, CURLOPT_URL, _url.constData());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(_postfields.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, _postfields.constData());
    curl_easy_setopt(c, CURLOPT_USERAGENT, _useragent.constData());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_S);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_LIMIT);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_TIME_S);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &DownloadStatsTelemetry::_curlProgressCallback);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = curl_easy_perform(c);
    curl_easy_cleanup(c);
    qDebug() << "Telemetry done. cURL status code =" << static_cast<int>(result)
             << "info sent =" << _postfields;
}

size_t DownloadStatsTelemetry::_curlWriteCallback(char *, size_t size, size_t nmemb, void *)
{
    return size * nmemb;
}

size_t DownloadStatsTelemetry::_curlHeaderCallback(char *, size_t size, size_t nmemb, void *)
{
    return size * nmemb;
}

int DownloadStatsTelemetry::_curlProgressCallback(void *clientp, qint64, qint64, qint64, qint64)
{
    return static_cast<DownloadStatsTelemetry *>(clientp)->_abort ? 1 : 0;
}
