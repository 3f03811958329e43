#pragma once
// Test images: deterministic pseudo-random raw data, compressed with the real tools.

#include "testenv.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

namespace q5test {

inline QByteArray randomBytes(qint64 size, quint32 seed = 1)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    qint64 words = size / 4;
    gen.fillRange(reinterpret_cast<quint32 *>(data.data()), words);
    for (qint64 i = words * 4; i < size; ++i)
        data[i] = static_cast<char>(gen.generate());
    return data;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path, qint64 offset = 0, qint64 length = -1)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return {};
    return length < 0 ? f.readAll() : f.read(length);
}

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Compresses or archives `raw` (a file named member inside `dir`) into `format`:
// "img" (as is), "xz", "gz", "bz2", "zst", "zip" or "7z". Returns the output path, or an
// empty string when the tool failed.
inline QString packImage(const QString &dir, const QString &member, const QString &format)
{
    const QString in = QDir(dir).filePath(member);
    const QString out = in + QLatin1Char('.') + format;
    QString cmd;
    if (format == QLatin1String("img"))
        return in;
    if (format == QLatin1String("xz"))
        cmd = QStringLiteral("xz -T1 -1 -c '%1' > '%2'");
    else if (format == QLatin1String("gz"))
        cmd = QStringLiteral("gzip -1 -c '%1' > '%2'");
    else if (format == QLatin1String("bz2"))
        cmd = QStringLiteral("bzip2 -1 -c '%1' > '%2'");
    else if (format == QLatin1String("zst"))
        cmd = QStringLiteral("zstd -q -1 -c '%1' > '%2'");
    else if (format == QLatin1String("zip"))
        cmd = QStringLiteral("cd \"$(dirname '%1')\" && zip -q -1 '%2' \"$(basename '%1')\"");
    else if (format == QLatin1String("7z"))
        cmd = QStringLiteral("cd \"$(dirname '%1')\" && 7z a -bd -mx=1 '%2' \"$(basename '%1')\" >/dev/null");
    else
        return {};
    return sh(cmd.arg(in, out)).ok() ? out : QString();
}

} // namespace q5test
