#pragma once
// A loop device over a file the test owns: attached with `losetup -f --show`, partitions added
// from user space with `partx -u` (the kernel here has no partition parsers), always detached
// in the destructor.

#include "testenv.h"

#include <QFile>
#include <QString>

namespace q5test {

class LoopDevice {
public:
    explicit LoopDevice(const QString &backingFile) : _backing(backingFile)
    {
        CommandResult r = run(QStringLiteral("losetup"),
                              {QStringLiteral("-f"), QStringLiteral("--show"), backingFile});
        if (r.ok())
            _device = QString::fromLocal8Bit(r.out).trimmed();
        else
            _error = QString::fromLocal8Bit(r.err);
    }
    ~LoopDevice() { detach(); }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool isValid() const { return !_device.isEmpty(); }
    QString error() const { return _error; }
    QString device() const { return _device; }
    QString name() const { return _device.mid(5); } // e.g. "loop3"
    QString backingFile() const { return _backing; }

    void detach()
    {
        if (_device.isEmpty())
            return;
        run(QStringLiteral("partx"), {QStringLiteral("-d"), _device}, 10000);
        run(QStringLiteral("losetup"), {QStringLiteral("-d"), _device}, 10000);
        _device.clear();
    }

    bool addPartitions() { return run(QStringLiteral("partx"), {QStringLiteral("-u"), _device}).ok(); }

    // The kernel's count of 512-byte sectors written to the device (7th field of its stat file).
    qint64 sectorsWritten() const
    {
        QFile f(QStringLiteral("/sys/class/block/") + name() + QStringLiteral("/stat"));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = f.readAll().simplified().split(' ');
        return fields.size() >= 7 ? fields.at(6).toLongLong() : -1;
    }

    QByteArray read(qint64 offset, qint64 length) const
    {
        QFile f(_device);
        if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
            return {};
        return f.read(length);
    }

private:
    QString _backing;
    QString _device;
    QString _error;
};

} // namespace q5test

// Skips without root; as root a loop device that cannot be attached is a failure.
#define Q5_LOOP_OR_SKIP(var, file)                                                                 \
    Q5_REQUIRE_ROOT();                                                                             \
    q5test::LoopDevice var(file);                                                                  \
    if (!var.isValid())                                                                            \
        QFAIL(qPrintable(QStringLiteral("cannot attach a loop device: ") + var.error()));
