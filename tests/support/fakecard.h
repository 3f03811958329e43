#pragma once
// A FUSE-backed bad memory card (fakecard.py): one file whose reads do not give back what was
// written. Mounted in the constructor, unmounted in the destructor on every path.

#include "testenv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace q5test {

class FakeCard {
public:
    enum Mode { Wrap, Short };

    FakeCard(qint64 claimedBytes, Mode mode, qint64 storedBytes)
    {
        _process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _process.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral(Q5_SOURCE_DIR "/tests/support/fakecard.py"), _dir.path(),
                        QString::number(claimedBytes),
                        mode == Wrap ? QStringLiteral("wrap") : QStringLiteral("short"),
                        QString::number(storedBytes)});
        _process.waitForStarted(10000);
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && _process.state() == QProcess::Running &&
               !QFile::exists(path()))
            QThread::msleep(50);
        _mounted = QFile::exists(path());
    }

    ~FakeCard()
    {
        if (_process.state() == QProcess::Running) {
            run(QStringLiteral("fusermount"), {QStringLiteral("-u"), _dir.path()}, 10000);
            if (!_process.waitForFinished(5000)) {
                _process.kill();
                _process.waitForFinished(5000);
            }
        }
    }
    FakeCard(const FakeCard &) = delete;
    FakeCard &operator=(const FakeCard &) = delete;

    bool isValid() const { return _mounted; }
    QString path() const { return QDir(_dir.path()).filePath(QStringLiteral("card")); }

private:
    QTemporaryDir _dir;
    QProcess _process;
    bool _mounted = false;
};

} // namespace q5test
