#pragma once
// An image file holding a partition table (made by sfdisk) and a FAT file system in its first
// partition (made by mkfs.fat --offset), with the real tools to inspect it: mtools straight on
// the image at the partition offset, and fsck.fat on a sparse copy of the partition (fsck.fat
// cannot work at an offset). Everything lives in a temporary directory removed on destruction.

#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace q5test
{

class FatImage
{
public:
    enum class Table { Mbr, Gpt };

    struct Options {
        int fatBits = 32;
        int sectorsPerCluster = 1;
        int fats = 2;
        Table table = Table::Mbr;
        quint64 sizeKiB = 0; // file system size; 0 picks the smallest that fits the FAT type
        int rootEntries = 0; // FAT16 root directory entries; 0 leaves mkfs.fat's default
        QString label;       // also creates a volume-label entry in the root directory
    };

    static constexpr quint64 PartitionStartSector = 2048;

    FatImage() : FatImage(Options()) {}

    explicit FatImage(const Options &options) : _options(options)
    {
        if (!_dir.isValid()) {
            _error = QStringLiteral("cannot create a temporary directory");
            return;
        }
        _path = _dir.filePath(QStringLiteral("disk.img"));
        _sizeKiB = options.sizeKiB ? options.sizeKiB : defaultSizeKiB(options);
        _ok = create();
    }

    bool ok() const { return _ok; }
    QString error() const { return _error; }
    QString path() const { return _path; }
    quint64 partitionOffset() const { return PartitionStartSector * 512; }
    quint64 partitionSize() const { return _sizeKiB * 1024; }

    // fsck.fat -n on the partition; ok() is true only when it found nothing at all.
    CommandResult fsck() const
    {
        const QString copy = _dir.filePath(QStringLiteral("fsck-copy.img"));
        const CommandResult dd = sh(QStringLiteral("dd if=%1 of=%2 bs=512 skip=%3 count=%4 "
                                                   "conv=sparse status=none")
                                        .arg(_path, copy)
                                        .arg(PartitionStartSector)
                                        .arg(_sizeKiB * 2));
        if (!dd.ok())
            return dd;
        CommandResult r = run(QStringLiteral("fsck.fat"), {QStringLiteral("-n"), copy});
        QFile::remove(copy);
        return r;
    }

    CommandResult mtools(const QString &tool, const QStringList &args) const
    {
        return sh(QStringLiteral("MTOOLS_SKIP_CHECK=1 %1 -i %2@@%3 %4")
                      .arg(tool, _path)
                      .arg(partitionOffset())
                      .arg(quoted(args)));
    }

    // The file's bytes as mtype prints them; finished/exit code say whether it exists.
    CommandResult mtype(const QString &name) const
    {
        return mtools(QStringLiteral("mtype"), {QStringLiteral("::/") + name});
    }

    CommandResult mdir() const { return mtools(QStringLiteral("mdir"), {QStringLiteral("::/")}); }

    bool mcopy(const QString &name, const QByteArray &content) const
    {
        const QString local = _dir.filePath(QStringLiteral("mcopy-source"));
        QFile f(local);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            return false;
        f.close();
        const bool ok = mtools(QStringLiteral("mcopy"), {QStringLiteral("-D"), QStringLiteral("o"),
                                                         local, QStringLiteral("::/") + name})
                            .ok();
        QFile::remove(local);
        return ok;
    }

    QByteArray readBytes(quint64 offset, qint64 length) const
    {
        QFile f(_path);
        if (!f.open(QIODevice::ReadOnly) || !f.seek(qint64(offset)))
            return QByteArray();
        return f.read(length);
    }

    bool writeBytes(quint64 offset, const QByteArray &bytes) const
    {
        QFile f(_path);
        return f.open(QIODevice::ReadWrite) && f.seek(qint64(offset)) &&
               f.write(bytes) == bytes.size();
    }

    QByteArray readAll() const { return readBytes(0, QFileInfo(_path).size()); }

    bool truncate(quint64 size) const { return QFile::resize(_path, qint64(size)); }

private:
    Options _options;
    QTemporaryDir _dir;
    QString _path;
    QString _error;
    quint64 _sizeKiB = 0;
    bool _ok = false;

    static quint64 defaultSizeKiB(const Options &o)
    {
        // Enough clusters for the FAT type with some room: FAT16 needs 4085, FAT32 65525.
        const quint64 clusters = o.fatBits == 32 ? 70000 : (o.fatBits == 16 ? 6000 : 2000);
        const quint64 fatKiB = clusters * quint64(o.fatBits) / 8 * quint64(o.fats) / 1024;
        const quint64 kiB = clusters * quint64(o.sectorsPerCluster) / 2 + fatKiB + 1024;
        return (kiB + 3) / 4 * 4; // whole 4 KiB blocks, as the block cache reads them
    }

    static QString quoted(const QStringList &args)
    {
        QStringList q;
        for (QString a : args)
            q << QLatin1Char('\'') + a.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
                     QLatin1Char('\'');
        return q.join(QLatin1Char(' '));
    }

    bool fail(const QString &what, const CommandResult &r)
    {
        _error = what + QStringLiteral(": ") + QString::fromLocal8Bit(r.err + r.out);
        return false;
    }

    bool create()
    {
        // 1 MiB in front of the partition and 1 MiB behind it (room for the backup GPT).
        const quint64 imageKiB = 1024 + _sizeKiB + 1024;
        if (!QFile(_path).open(QIODevice::WriteOnly) || !QFile::resize(_path, imageKiB * 1024)) {
            _error = QStringLiteral("cannot create the image file");
            return false;
        }

        const quint64 sectors = _sizeKiB * 2;
        const QString table = _options.table == Table::Gpt
                                  ? QStringLiteral("label: gpt\nstart=%1, size=%2, "
                                                   "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n")
                                  : QStringLiteral("label: dos\nstart=%1, size=%2, type=c\n");
        const CommandResult part =
            run(QStringLiteral("sfdisk"), {QStringLiteral("-q"), _path}, 30000,
                table.arg(PartitionStartSector).arg(sectors).toLatin1());
        if (!part.ok())
            return fail(QStringLiteral("sfdisk"), part);

        QStringList args = {QStringLiteral("-F"),       QString::number(_options.fatBits),
                            QStringLiteral("-s"),       QString::number(_options.sectorsPerCluster),
                            QStringLiteral("-f"),       QString::number(_options.fats),
                            QStringLiteral("-i"),       QStringLiteral("12345678"),
                            QStringLiteral("--offset"), QString::number(PartitionStartSector)};
        if (_options.rootEntries)
            args << QStringLiteral("-r") << QString::number(_options.rootEntries);
        if (!_options.label.isEmpty())
            args << QStringLiteral("-n") << _options.label;
        args << _path << QString::number(_sizeKiB);
        const CommandResult mkfs = run(QStringLiteral("mkfs.fat"), args);
        if (!mkfs.ok())
            return fail(QStringLiteral("mkfs.fat"), mkfs);
        return true;
    }
};

} // namespace q5test
