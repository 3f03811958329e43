// Preloaded into the real program by tst_main, it stands in for the user and the window manager
// that the offscreen platform lacks. Once the event loop runs it writes what the main window
// shows to $Q5_PROBE_REPORT (title, geometry, minimum size, functions of the root object, colours
// of its items), moves the window to $Q5_PROBE_MOVE ("x,y") when set, and closes it, which ends
// the program's event loop the way a user closing the window would.

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>

namespace
{
constexpr int kSettleMs = 200;

QQuickWindow *mainWindow()
{
    for (QWindow *w : QGuiApplication::topLevelWindows()) {
        if (auto *quick = qobject_cast<QQuickWindow *>(w))
            return quick;
    }
    return nullptr;
}

void reportColours(QQuickItem *item, QByteArray &report)
{
    const QVariant colour = item->property("color");
    if (colour.isValid())
        report += "color=" + colour.value<QColor>().name().toUtf8() + '\n';
    for (QQuickItem *child : item->childItems())
        reportColours(child, report);
}

QByteArray describe(QQuickWindow *window)
{
    QByteArray report;
    report += "title=" + window->title().toUtf8() + '\n';
    report += "x=" + QByteArray::number(window->x()) + '\n';
    report += "y=" + QByteArray::number(window->y()) + '\n';
    report += "width=" + QByteArray::number(window->width()) + '\n';
    report += "height=" + QByteArray::number(window->height()) + '\n';
    report += "minimumWidth=" + QByteArray::number(window->minimumWidth()) + '\n';
    report += "minimumHeight=" + QByteArray::number(window->minimumHeight()) + '\n';
    report += "icon=" + QByteArray(QGuiApplication::windowIcon().isNull() ? "none" : "set") + '\n';
    const QMetaObject *meta = window->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        report += "method=" + meta->method(i).methodSignature() + '\n';
    reportColours(window->contentItem(), report);
    return report;
}

void probe()
{
    QQuickWindow *window = mainWindow();
    if (!window) {
        QCoreApplication::exit(99);
        return;
    }
    QFile report(qEnvironmentVariable("Q5_PROBE_REPORT"));
    if (report.open(QIODevice::WriteOnly | QIODevice::Truncate))
        report.write(describe(window));
    report.close();

    const QStringList move = qEnvironmentVariable("Q5_PROBE_MOVE").split(QLatin1Char(','));
    if (move.size() == 2)
        window->setPosition(move.at(0).toInt(), move.at(1).toInt());
    window->close();
}

// Runs when the application object is built; the posted call runs once the event loop does.
void scheduleProbe()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QTimer::singleShot(kSettleMs, probe); },
        Qt::QueuedConnection);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(scheduleProbe)
