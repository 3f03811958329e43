#pragma once
// A directory of small executable shims put first on this process's PATH (QProcess looks
// programs up on the caller's PATH, so the child environment alone is not enough).

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

namespace q5test {

class ShimDir {
public:
    ShimDir() : _oldPath(qgetenv("PATH"))
    {
        qputenv("PATH", _dir.path().toLocal8Bit() + ':' + _oldPath);
    }
    ~ShimDir() { qputenv("PATH", _oldPath); }
    ShimDir(const ShimDir &) = delete;
    ShimDir &operator=(const ShimDir &) = delete;

    QString path() const { return _dir.path(); }
    QString logPath() const { return _dir.filePath(QStringLiteral("shim.log")); }

    // Writes an executable script named `name` with the given body (a #!/bin/sh line is added).
    void add(const QString &name, const QByteArray &body)
    {
        QFile f(_dir.filePath(name));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write("#!/bin/sh\n" + body);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                         QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                         QFileDevice::ExeOther);
    }

    // A pkexec that records its arguments, one call per line, and runs them.
    void addPkexec()
    {
        add(QStringLiteral("pkexec"),
            "printf '%s\\n' \"$*\" >> '" + logPath().toLocal8Bit() + "'\nexec \"$@\"\n");
    }

    QStringList loggedCalls() const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLocal8Bit(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir _dir;
    QByteArray _oldPath;
};

} // namespace q5test
