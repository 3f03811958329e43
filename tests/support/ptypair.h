#pragma once
// Two pseudo-terminals joined by socat, standing in for a serial cable: what is written to one
// end is read from the other. Both ends stay open for the fixture's lifetime so that socat does
// not end when a user of one end closes it. The links live in a private temporary directory.

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <fcntl.h>
#include <unistd.h>

namespace q5test
{

class PtyPair
{
public:
    PtyPair()
        : _endA(_dir.filePath(QStringLiteral("ttyA"))), _endB(_dir.filePath(QStringLiteral("ttyB")))
    {
        _socat.setProgram(QStringLiteral("socat"));
        _socat.setArguments({ptyAddress(_endA), ptyAddress(_endB)});
        _socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _socat.start();
        _valid = _dir.isValid() && _socat.waitForStarted(5000) && waitForLinks(5000) &&
                 holdOpen(_endA, _holdA) && holdOpen(_endB, _holdB);
    }

    ~PtyPair()
    {
        closeHold(_holdA);
        closeHold(_holdB);
        if (_socat.state() != QProcess::NotRunning) {
            _socat.kill();
            _socat.waitForFinished(5000);
        }
    }

    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return _valid; }
    QString endA() const { return _endA; }
    QString endB() const { return _endB; }
    QString directory() const { return _dir.path(); }

private:
    static QString ptyAddress(const QString &link)
    {
        return QStringLiteral("pty,raw,echo=0,link=") + link;
    }

    bool waitForLinks(int timeoutMs) const
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!(QFileInfo::exists(_endA) && QFileInfo::exists(_endB))) {
            if (deadline.hasExpired() || _socat.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(10);
        }
        return true;
    }

    static bool holdOpen(const QString &path, int &fd)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    }

    static void closeHold(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    QTemporaryDir _dir;
    QString _endA;
    QString _endB;
    QProcess _socat;
    int _holdA = -1;
    int _holdB = -1;
    bool _valid = false;
};

} // namespace q5test
