#include "powersaveblocker.h"

#include "config.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDebug>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Called on the UI thread: a login manager that does not answer must not freeze the window.
constexpr int kInhibitTimeoutMs = 5000;

void logInhibitError(const QString &message)
{
    qWarning().noquote() << "Error inhibiting sleep through logind:" << message;
}

} // namespace

PowerSaveBlocker::PowerSaveBlocker(QObject *parent) : QObject(parent) {}

PowerSaveBlocker::~PowerSaveBlocker()
{
    removeBlock();
}

void PowerSaveBlocker::applyBlock(const QString &reason)
{
    if (_isBlocked)
        return;

    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral(Q5_APPLICATION_NAME) << reason
         << QStringLiteral("block");
    const QDBusMessage reply =
        QDBusConnection::systemBus().call(call, QDBus::Block, kInhibitTimeoutMs);

    if (reply.type() != QDBusMessage::ReplyMessage) {
        _inhibitFd = -1;
        _isBlocked = false;
        logInhibitError(reply.errorMessage());
        return;
    }

    const QList<QVariant> arguments = reply.arguments();
    const QDBusUnixFileDescriptor received =
        arguments.isEmpty() ? QDBusUnixFileDescriptor()
                            : arguments.first().value<QDBusUnixFileDescriptor>();
    // Close-on-exec: a child process inheriting the descriptor would keep the inhibitor alive.
    _inhibitFd = received.isValid() ? ::fcntl(received.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    _isBlocked = _inhibitFd >= 0;
    if (!_isBlocked)
        logInhibitError(QStringLiteral("the reply carries no valid file descriptor"));
}

void PowerSaveBlocker::removeBlock()
{
    if (!_isBlocked)
        return;
    ::close(_inhibitFd);
    _inhibitFd = -1;
    _isBlocked = false;
}
