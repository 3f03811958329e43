#pragma once
// Collects the program's log lines in memory: install captureMessage with
// qInstallMessageHandler, read and clear what was logged with takeLog(). Thread-safe, since
// job threads log too.

#include <QMessageLogContext>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

namespace q5test {

namespace detail {
inline QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}
inline QStringList &logLines()
{
    static QStringList lines;
    return lines;
}
} // namespace detail

inline void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    QMutexLocker lock(&detail::logMutex());
    detail::logLines() << msg;
}

inline QStringList takeLog()
{
    QMutexLocker lock(&detail::logMutex());
    QStringList lines = detail::logLines();
    detail::logLines().clear();
    return lines;
}

} // namespace q5test
