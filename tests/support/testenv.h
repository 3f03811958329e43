#pragma once
// Small helpers every test program shares: running peer tools with a time limit and skipping
// cleanly when the machine lacks root or a tool.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>
#include <unistd.h>

namespace q5test {

struct CommandResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
    bool ok() const { return finished && exitCode == 0; }
};

// Runs a program to completion (or kills it after timeoutMs) and returns what it printed.
inline CommandResult run(const QString &program, const QStringList &args, int timeoutMs = 60000,
                         const QByteArray &input = QByteArray())
{
    CommandResult r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return r;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// Runs a shell command line; for pipelines in test set-up only.
inline CommandResult sh(const QString &script, int timeoutMs = 60000)
{
    return run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, timeoutMs);
}

inline bool isRoot() { return geteuid() == 0; }

inline bool haveTool(const QString &name)
{
    return !QStandardPaths::findExecutable(name).isEmpty() ||
           !QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"),
                                                  QStringLiteral("/sbin")})
                .isEmpty();
}

} // namespace q5test

// Skip the current test function with a message that says what is missing.
#define Q5_REQUIRE_ROOT()                                                                          \
    do {                                                                                           \
        if (!q5test::isRoot())                                                                     \
            QSKIP("needs root (loop devices, namespaces); CI runs as root");                       \
    } while (0)

#define Q5_REQUIRE_TOOL(name)                                                                      \
    do {                                                                                           \
        if (!q5test::haveTool(QStringLiteral(name)))                                               \
            QSKIP("needs the tool '" name "' on PATH");                                            \
    } while (0)
