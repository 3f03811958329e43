// Drive polling: one enumeration a second delivered to the model on its own thread, stop and
// restart, and a prompt end when the model goes, also while lsblk is slow or hangs.

#include "drivelistmodel.h"
#include "shimdir.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <memory>

namespace
{

constexpr qint64 kIntervalMs = 1000;
// Timer slack: a sleep of one second never ends noticeably before the second is over.
constexpr qint64 kIntervalSlackMs = 50;

} // namespace

class TestDriveListModelPollThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pollsOncePerSecondUntilStopped();
    void stopAndStartKeepOneLoop();
    void destructionDuringSleepIsPrompt();
    void destructionWhileLsblkIsSlow();
    void destructionWhileLsblkHangs();

private:
    // lsblk stand-in: notes the time of each call (ms since the epoch), waits, prints a report.
    void _shimLsblk(const QByteArray &before = QByteArray())
    {
        _shims->add(QStringLiteral("lsblk"),
                    "echo $(($(date +%s%N) / 1000000)) >> '" + _callsPath().toLocal8Bit() + "'\n" +
                        before + "cat '" Q5_TEST_FIXTURES_DIR "/lsblk-current.json'\n");
    }
    QString _callsPath() const { return _shims->path() + QStringLiteral("/calls"); }
    QList<qint64> _calls() const
    {
        QList<qint64> times;
        QFile f(_callsPath());
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : f.readAll().split('\n')) {
                if (!line.isEmpty())
                    times << line.toLongLong();
            }
        }
        return times;
    }
    static void _verifyIntervals(const QList<qint64> &times)
    {
        for (int i = 1; i < times.size(); ++i) {
            const qint64 interval = times[i] - times[i - 1];
            QVERIFY2(interval >= kIntervalMs - kIntervalSlackMs,
                     qPrintable(QStringLiteral("calls only %1 ms apart").arg(interval)));
        }
    }
    static qint64 _destroyTimed(std::unique_ptr<DriveListModel> &model)
    {
        QElapsedTimer timer;
        timer.start();
        model.reset();
        return timer.elapsed();
    }

    std::unique_ptr<q5test::ShimDir> _shims;
};

void TestDriveListModelPollThread::init()
{
    _shims.reset(); // it puts back the PATH it found, so the old one goes first
    _shims = std::make_unique<q5test::ShimDir>();
    QTest::failOnWarning(QRegularExpression(".*"));
}

void TestDriveListModelPollThread::pollsOncePerSecondUntilStopped()
{
    _shimLsblk();
    DriveListModel model;
    model.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(_calls().size() >= 3, 5000);
    QTRY_VERIFY(model.rowCount() > 0);
    const int rows = model.rowCount();
    model.stopPolling();

    QTest::qWait(1500);
    const int callsAfterStop = _calls().size();
    _verifyIntervals(_calls());
    QTest::qWait(1200);
    QCOMPARE(_calls().size(), callsAfterStop);
    QCOMPARE(model.rowCount(), rows);
}

void TestDriveListModelPollThread::stopAndStartKeepOneLoop()
{
    _shimLsblk();
    DriveListModel model;
    model.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(!_calls().isEmpty(), 3000);
    for (int i = 0; i < 20; ++i) {
        model.stopPolling();
        model.startPolling();
        QTest::qWait(i % 3);
    }
    QTest::qWait(1100);
    const int settled = _calls().size();
    QTest::qWait(3100);
    const QList<qint64> steady = _calls().mid(settled);
    QVERIFY2(steady.size() >= 2 && steady.size() <= 4,
             qPrintable(QStringLiteral("%1 calls in 3.1 s").arg(steady.size())));
    _verifyIntervals(steady);
}

void TestDriveListModelPollThread::destructionDuringSleepIsPrompt()
{
    _shimLsblk();
    auto model = std::make_unique<DriveListModel>();
    model->startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() > 0, 3000);
    const qint64 elapsed = _destroyTimed(model);
    QVERIFY2(elapsed < 800, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
}

void TestDriveListModelPollThread::destructionWhileLsblkIsSlow()
{
    _shimLsblk("sleep 1.3\n");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Enumerating drives took a long time: "
                                                        "1\\.\\d+ seconds$"));
    auto model = std::make_unique<DriveListModel>();
    model->startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() > 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(_calls().size() == 2, 3000); // the second pass is inside lsblk now
    const qint64 elapsed = _destroyTimed(model);
    QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
}

// lsblk's own time limit ends the pass, so the poller ends without being killed.
void TestDriveListModelPollThread::destructionWhileLsblkHangs()
{
    _shimLsblk("exec sleep 30\n");
    auto model = std::make_unique<DriveListModel>();
    model->startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(_calls().size() == 1, 3000);
    const qint64 elapsed = _destroyTimed(model);
    QVERIFY2(elapsed < 4500, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
}

QTEST_GUILESS_MAIN(TestDriveListModelPollThread)
#include "tst_drivelistmodelpollthread.moc"
