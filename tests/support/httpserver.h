#pragma once
// A local HTTP/1.1 server for tests (httpserver.py beside this file, run with /usr/bin/python3):
// files below a temporary root with byte ranges, dropped connections and stalls at chosen
// offsets, throttling, status codes, redirects and redirect loops, a fixed or missing "Date"
// header, recorded requests. Listens on 127.0.0.1 at a port of the kernel's choosing; stopped
// (killed and reaped) by the destructor.

#include "imagefiles.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

namespace q5test
{

class HttpServer
{
public:
    struct Options {
        QString date;     // "Date" header text; empty: the current time
        int omitDate = 0; // the first N responses carry no "Date" header
    };

    HttpServer() : HttpServer(Options()) {}
    explicit HttpServer(const Options &options, int timeoutMs = 10000)
    {
        QDir().mkpath(root());
        QStringList args{QStringLiteral(Q5_SOURCE_DIR "/tests/support/httpserver.py"),
                         QStringLiteral("--root"), root(), QStringLiteral("--log"), _logPath()};
        if (!options.date.isEmpty())
            args << QStringLiteral("--date") << options.date;
        if (options.omitDate)
            args << QStringLiteral("--omit-date") << QString::number(options.omitDate);
        _process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _process.start(QStringLiteral("/usr/bin/python3"), args);
        QDeadlineTimer deadline(timeoutMs);
        while (!_port && !deadline.hasExpired() && _process.state() != QProcess::NotRunning) {
            _process.waitForReadyRead(100);
            const QByteArray line = _process.readLine().trimmed();
            if (line.startsWith("PORT "))
                _port = line.mid(5).toInt();
        }
    }
    ~HttpServer()
    {
        _process.kill();
        _process.waitForFinished(5000);
    }
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    bool isValid() const { return _port != 0; }
    int port() const { return _port; }
    QString root() const { return _dir.filePath(QStringLiteral("root")); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(_port); }
    QString url(const QString &path) const { return baseUrl() + path; }

    // Puts a file below the root (sub-directories are created) and returns its path.
    QString addFile(const QString &relPath, const QByteArray &content) const
    {
        const QString path = QDir(root()).filePath(relPath);
        QDir().mkpath(QFileInfo(path).path());
        return writeFile(path, content) ? path : QString();
    }

    // Every request received so far, oldest first: "method", "path", "headers" (object), "body".
    QList<QJsonObject> requests() const { return _entries(false); }
    int connections() const { return _entries(true).size(); }

    // Waits until at least `count` requests arrived.
    bool waitForRequests(int count, int timeoutMs = 10000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        while (requests().size() < count && !deadline.hasExpired())
            QThread::msleep(20);
        return requests().size() >= count;
    }

private:
    QString _logPath() const { return _dir.filePath(QStringLiteral("requests.log")); }

    QList<QJsonObject> _entries(bool connects) const
    {
        QList<QJsonObject> out;
        QFile f(_logPath());
        if (!f.open(QIODevice::ReadOnly))
            return out;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.trimmed().isEmpty())
                continue;
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.contains(QStringLiteral("event")) == connects)
                out << o;
        }
        return out;
    }

    QTemporaryDir _dir;
    QProcess _process;
    int _port = 0;
};

} // namespace q5test
