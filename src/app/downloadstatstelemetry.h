#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>
#include <atomic>

// Sends one anonymous download record to the maker's telemetry server, only when the user has
// switched telemetry on; deletes nothing and waits for nothing, so the caller lets it go.
class DownloadStatsTelemetry : public QThread
{
    Q_OBJECT
public:
    DownloadStatsTelemetry(const QByteArray &url, const QByteArray &parentcategory,
                           const QByteArray &osname, bool embedded, const QString &currentLanguage,
                           QObject *parent = nullptr);
    // Ends a transfer still running (the owner may go first) before the object goes.
    ~DownloadStatsTelemetry() override;

    // The server the record goes to: the build's endpoint unless replaced (for objects
    // constructed afterwards). The root prefix stands in for "/" when /proc/cpuinfo is read.
    static void setEndpoint(const QByteArray &endpoint);
    static void setSystemRoot(const QString &rootPrefix);

protected:
    void run() override;

private:
    static size_t _curlWriteCallback(char *ptr, size_t size, size_t nmemb, void *userdata);
    static size_t _curlHeaderCallback(char *ptr, size_t size, size_t nmemb, void *userdata);
    static int _curlProgressCallback(void *clientp, qint64 dltotal, qint64 dlnow, qint64 ultotal,
                                     qint64 ulnow);
    static QByteArray _boardRevisionField();

    QByteArray _url;
    QByteArray _useragent;
    QByteArray _postfields;
    std::atomic<bool> _abort{false};
};
