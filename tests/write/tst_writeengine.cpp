// The write engine driven directly: device preparation, hold-back of the first block, hashing,
// verification, cancel, and progress bounded by the kernel's own sector count.

#include "imagefiles.h"
#include "localfileextractthread.h"
#include "loopdevice.h"
#include "testenv.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace q5test;

namespace {
constexpr qint64 MiB = 1024 * 1024;

// Exposes the sector count the job started from, to bound its progress by the kernel's count.
class ProbedJob : public LocalFileExtractThread
{
public:
    using LocalFileExtractThread::LocalFileExtractThread;
    qint64 startSectors() const { return _startSectors; }
};

// A source that trickles, so that a cancel surely lands while blocks are still arriving.
class SlowSourceJob : public LocalFileExtractThread
{
public:
    using LocalFileExtractThread::LocalFileExtractThread;

protected:
    ssize_t _on_read(struct archive *a, const void **buff) override
    {
        QThread::msleep(2);
        return LocalFileExtractThread::_on_read(a, buff);
    }
};

QByteArray fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toLatin1();
}

struct JobOutcome {
    QStringList errors;
    int successes = 0;
    bool finished = false;
};

// Runs a job to its end (success or error signal, then thread end) within a time limit.
JobOutcome runJob(DownloadThread &job, int timeoutMs = 60000)
{
    JobOutcome outcome;
    QSignalSpy success(&job, &DownloadThread::success);
    QSignalSpy error(&job, &DownloadThread::error);
    job.start();
    outcome.finished = job.wait(timeoutMs);
    QCoreApplication::processEvents();
    outcome.successes = success.count();
    for (const QList<QVariant> &args : error)
        outcome.errors << args.at(0).toString();
    return outcome;
}
} // namespace

class tst_WriteEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Keep the settings store of the job (the "eject" key) away from the user's.
        static QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager tests");
    }

    void progressNeverRunsAheadOfTheKernel()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(64 * MiB, 17);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray()));
        QVERIFY(QFile::resize(backing, 80 * MiB));
        Q5_LOOP_OR_SKIP(loop, backing);

        ProbedJob job(fileUrl(dir.filePath("disk.img")), loop.device().toLatin1(),
                      sha256Hex(image));
        QSignalSpy success(&job, &DownloadThread::success);
        job.start();
        int samples = 0;
        quint64 last = 0;
        while (!job.wait(2)) {
            const quint64 reported = job.bytesWritten();
            const qint64 start = job.startSectors();
            const qint64 kernelNow = loop.sectorsWritten();
            if (start < 0)
                continue;
            ++samples;
            QVERIFY2(reported <= quint64(kernelNow - start) * 512,
                     qPrintable(QString("reported %1, kernel %2").arg(reported).arg((kernelNow - start) * 512)));
            QVERIFY(reported >= last);
            last = reported;
        }
        QCoreApplication::processEvents();
        QCOMPARE(success.count(), 1);
        QVERIFY(samples > 0);
        QCOMPARE(job.bytesWritten(), quint64(image.size()));
        QCOMPARE(loop.read(0, image.size()), image);
    }

    void shortImagesArePaddedAndHashedWithPadding_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1000 bytes") << 1000;
        QTest::newRow("one sector") << 512;
        QTest::newRow("1 MiB + 100") << int(MiB + 100);
    }
    void shortImagesArePaddedAndHashedWithPadding()
    {
        QFETCH(int, size);
        QTemporaryDir dir;
        const QByteArray image = randomBytes(size, 23);
        const QByteArray padded = image + QByteArray((512 - size % 512) % 512, '\0');
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString target = dir.filePath("target.bin");
        QVERIFY(writeFile(target, QByteArray(3 * MiB, '\x5A')));

        LocalFileExtractThread wrongHash(fileUrl(dir.filePath("disk.img")), target.toLatin1(),
                                         sha256Hex(image));
        JobOutcome outcome = runJob(wrongHash);
        QVERIFY(outcome.finished);
        if (size % 512)
            QCOMPARE(outcome.errors, QStringList{"Download corrupt. Hash does not match"});

        LocalFileExtractThread job(fileUrl(dir.filePath("disk.img")), target.toLatin1(),
                                   sha256Hex(padded));
        job.setVerifyEnabled(true);
        outcome = runJob(job);
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(readFile(target, 0, padded.size()), padded);
        QCOMPARE(job.verifyTotal(), quint64(padded.size()));
        QCOMPARE(job.verifyNow(), quint64(padded.size()));
    }

    void smallDestinationOnlyZeroesItsStart()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(256 * 1024, 29);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray(MiB, '\x11')));
        Q5_LOOP_OR_SKIP(loop, backing);
        LocalFileExtractThread job(fileUrl(dir.filePath("disk.img")), loop.device().toLatin1());
        job.setVerifyEnabled(true);
        JobOutcome outcome = runJob(job);
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(loop.read(0, MiB), image + QByteArray(MiB - image.size(), '\0'));
    }

    void verificationOffReadsNothing()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(3 * MiB, 31);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        LocalFileExtractThread job(fileUrl(dir.filePath("disk.img")),
                                   dir.filePath("t.bin").toLatin1());
        JobOutcome outcome = runJob(job);
        QCOMPARE(outcome.successes, 1);
        QCOMPARE(job.verifyNow(), quint64(0));
        QCOMPARE(job.verifyTotal(), quint64(0));
        QCOMPARE(job.dlNow(), quint64(image.size()));
        QCOMPARE(job.dlTotal(), quint64(image.size()));
    }

    void cancelEndsWithoutMessageOrPartitionTable()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(64 * MiB, 37);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString target = dir.filePath("t.bin");
        SlowSourceJob job(fileUrl(dir.filePath("disk.img")), target.toLatin1());
        QSignalSpy success(&job, &DownloadThread::success);
        QSignalSpy error(&job, &DownloadThread::error);
        job.start();
        QTRY_VERIFY_WITH_TIMEOUT(job.dlNow() > 4 * MiB, 10000);
        job.cancelDownload();
        QVERIFY(job.wait(30000));
        QCoreApplication::processEvents();
        QCOMPARE(error.count(), 0);
        QCOMPARE(success.count(), 0);
        QCOMPARE(readFile(target, 0, MiB), QByteArray(MiB, '\0'));
    }

    void missingImageFileAfterPreparation()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath("t.bin");
        LocalFileExtractThread job(fileUrl(dir.filePath("absent.img")), target.toLatin1());
        JobOutcome outcome = runJob(job);
        QCOMPARE(outcome.errors, QStringList{"Error opening image file"});
        // The destination was prepared (zeroed) before the source was opened.
        QCOMPARE(readFile(target), QByteArray(MiB, '\0'));
    }

    void openFailureNamesTheDevice()
    {
        LocalFileExtractThread job(fileUrl("/dev/null"), "/nonexistent-dir/drive");
        JobOutcome outcome = runJob(job);
        QCOMPARE(outcome.errors,
                 QStringList{"Cannot open storage device '/nonexistent-dir/drive'."});
    }
};

QTEST_GUILESS_MAIN(tst_WriteEngine)
#include "tst_writeengine.moc"
