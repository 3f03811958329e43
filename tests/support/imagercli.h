#pragma once
// Runs the real program's head-less writer (--cli) with a temporary HOME and XDG directories of
// its own, optionally as another user (setpriv) and with extra environment variables. The test
// program must define Q5_IMAGER_PATH to the built executable.

#include "testenv.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <unistd.h>

namespace q5test
{

class ImagerCli
{
public:
    struct Result {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    // uid/gid other than -1: the program runs as that user, who then owns the home directory.
    explicit ImagerCli(int uid = -1, int gid = -1) : _uid(uid), _gid(gid)
    {
        QDir(_home.path()).mkpath(QStringLiteral("config"));
        QDir(_home.path()).mkpath(QStringLiteral("cache"));
        if (_uid >= 0)
            sh(QStringLiteral("chown -R %1:%2 '%3'").arg(_uid).arg(_gid).arg(_home.path()));
    }

    void setEnv(const QString &name, const QString &value) { _extraEnv.insert(name, value); }

    Result run(const QStringList &args, int timeoutMs = 120000) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), _home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), _home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), _home.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/q5-test-bus"));
        env.insert(_extraEnv);

        QString program = QStringLiteral(Q5_IMAGER_PATH);
        QStringList fullArgs = QStringList{QStringLiteral("--cli")} + args;
        if (_uid >= 0) {
            fullArgs = QStringList{QStringLiteral("--reuid=%1").arg(_uid),
                                   QStringLiteral("--regid=%1").arg(_gid),
                                   QStringLiteral("--clear-groups"), program} +
                       fullArgs;
            program = QStringLiteral("setpriv");
        }

        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, fullArgs);
        Result r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(5000);
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

private:
    QTemporaryDir _home;
    int _uid;
    int _gid;
    QProcessEnvironment _extraEnv;
};

} // namespace q5test
