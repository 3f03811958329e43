// Boot-partition customization: images with a mkfs.fat boot partition are written through the
// real write engine and through the real program; the result is checked with fsck.fat and
// mtools.

#include "fatimage.h"
#include "imagefiles.h"
#include "localfileextractthread.h"
#include "loopdevice.h"
#include "testenv.h"

#include <QProcessEnvironment>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace q5test;

namespace
{
constexpr qint64 MiB = 1024 * 1024;
const QByteArray kSystemdOptions = " systemd.run=/boot/firstrun.sh "
                                   "systemd.run_success_action=reboot "
                                   "systemd.unit=kernel-command-line.target";

struct Customization {
    QByteArray config, cmdline, firstrun, cloudinit, cloudinitNetwork, orlinit, initFormat;
    QByteArray targetLabel;
};

struct JobOutcome {
    QStringList errors;
    QStringList statusLines;
    int successes = 0;
    int finalizings = 0;
    bool finished = false;
};

QByteArray fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toLatin1();
}

// Writes the image onto a destination file through the real engine (with verification) and
// returns what the job reported; the destination's bytes land in `written`.
JobOutcome writeCustomized(const QString &image, const Customization &c, QByteArray &written)
{
    QTemporaryDir dir;
    const QString dst = dir.filePath("dst.bin");
    JobOutcome outcome;
    if (!writeFile(dst, QByteArray()) || !QFile::resize(dst, QFileInfo(image).size()))
        return outcome;

    LocalFileExtractThread job(fileUrl(image), dst.toLatin1());
    job.setVerifyEnabled(true);
    job.setImageCustomization(c.config, c.cmdline, c.firstrun, c.cloudinit, c.cloudinitNetwork,
                              c.orlinit, c.initFormat, c.targetLabel);
    QSignalSpy success(&job, &DownloadThread::success);
    QSignalSpy error(&job, &DownloadThread::error);
    QSignalSpy finalizing(&job, &DownloadThread::finalizing);
    QSignalSpy status(&job, &DownloadThread::preparationStatusUpdate);
    job.start();
    outcome.finished = job.wait(60000);
    QCoreApplication::processEvents();
    outcome.successes = success.count();
    outcome.finalizings = finalizing.count();
    for (const QList<QVariant> &args : error)
        outcome.errors << args.at(0).toString();
    for (const QList<QVariant> &args : status)
        outcome.statusLines << args.at(0).toString();
    written = readFile(dst);
    return outcome;
}

// Files as mtools reads them; an invalid variant stands for "must not exist".
void compareFiles(const FatImage &img, const QVariantMap &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const CommandResult r = img.mtype(it.key());
        if (!it.value().isValid()) {
            QVERIFY2(!r.ok(), qPrintable(it.key() + " exists but should not"));
            continue;
        }
        QVERIFY2(r.ok(), qPrintable(it.key() + ": " + QString::fromLocal8Bit(r.err)));
        QCOMPARE(r.out, it.value().toByteArray());
    }
}

void verifyFsckClean(const FatImage &img)
{
    const CommandResult fsck = img.fsck();
    QVERIFY2(fsck.ok(), fsck.out + fsck.err);
}
} // namespace

class tst_Customization : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;

    // An image with a boot partition holding the given files, written and customized; the
    // written destination is copied back over the image for inspection with the real tools.
    bool customize(FatImage &img, const QVariantMap &files, const Customization &c,
                   JobOutcome &outcome)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!img.mcopy(it.key(), it.value().toByteArray()))
                return false;
        }
        QByteArray written;
        outcome = writeCustomized(img.path(), c, written);
        return outcome.finished && img.writeBytes(0, written);
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("q5-customization-tests");
        QSettings().setValue("eject", false);
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("fsck.fat");
        Q5_REQUIRE_TOOL("mtype");
        Q5_REQUIRE_TOOL("sfdisk");
    }

    void configTxtMerging_data()
    {
        QTest::addColumn<QVariant>("existing"); // invalid: no config.txt on the image
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("commented out")
            << QVariant(QByteArray("dtparam=audio=on\n#dtoverlay=vc4\n"))
            << QByteArray("dtoverlay=vc4\n") << QByteArray("dtparam=audio=on\ndtoverlay=vc4\n");
        QTest::newRow("every commented occurrence")
            << QVariant(QByteArray("#x=1\n[all]\n#x=1\n")) << QByteArray("x=1")
            << QByteArray("x=1\n[all]\nx=1\n");
        QTest::newRow("already present") << QVariant(QByteArray("a=1\nb=2\n"))
                                         << QByteArray("b=2\n") << QByteArray("a=1\nb=2\n");
        QTest::newRow("no final line feed")
            << QVariant(QByteArray("a=1")) << QByteArray("c=3") << QByteArray("a=1\nc=3\n");
        QTest::newRow("final line feed")
            << QVariant(QByteArray("a=1\n")) << QByteArray("c=3") << QByteArray("a=1\nc=3\n");
        QTest::newRow("missing file, empty lines dropped")
            << QVariant() << QByteArray("c=3\n\nd=4\n") << QByteArray("\nc=3\nd=4\n");
    }

    void configTxtMerging()
    {
        QFETCH(QVariant, existing);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);

        FatImage img(FatImage::Options{16, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVariantMap files;
        if (existing.isValid())
            files.insert("config.txt", existing);
        Customization c;
        c.config = payload;
        JobOutcome outcome;
        QVERIFY(customize(img, files, c, outcome));
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.successes, 1);
        verifyFsckClean(img);
        compareFiles(img, {{"config.txt", expected}});
    }

    void methodFiles_data()
    {
        QTest::addColumn<int>("fatBits");
        QTest::addColumn<bool>("gpt");
        QTest::addColumn<QByteArray>("initFormat");
        QTest::addColumn<QVariantMap>("files");
        QTest::addColumn<QVariantMap>("expected");

        const QByteArray firstrun = "#!/bin/bash\necho first boot\n";
        const QByteArray userData = "hostname: board\n";
        const QByteArray network = "version: 2\n";
        const QByteArray orlinit = "firstboot=1\nhostname=board\n";
        const QByteArray cmdline = "console=ttyS2,115200n8 root=/dev/mmcblk1p2 rootwait";
        const QVariantMap cmdlineFile = {{"cmdline.txt", cmdline + "\n"}};
        const QVariant absent;

        QTest::newRow("auto with user-data: cloud-init wins over firstrun")
            << 32 << false << QByteArray("auto")
            << QVariantMap{{"user-data", "old\n"},
                           {"issue.txt", "pml-gen 2024\n"},
                           {"cmdline.txt", cmdline + "\n"}}
            << QVariantMap{{"user-data", "#cloud-config\n" + userData},
                           {"network-config", network},
                           {"firstrun.sh", absent},
                           {"config.ini", absent},
                           {"cmdline.txt", cmdline + "\n"}};
        QTest::newRow("auto with pml-gen issue: systemd")
            << 16 << true << QByteArray("auto")
            << QVariantMap{{"issue.txt", "Built by pml-gen\n"}, {"cmdline.txt", cmdline + "\n"}}
            << QVariantMap{{"firstrun.sh", firstrun},
                           {"user-data", absent},
                           {"cmdline.txt", cmdline + kSystemdOptions}};
        QTest::newRow("auto without hints: cloud-init")
            << 16 << false << QByteArray("auto") << cmdlineFile
            << QVariantMap{{"user-data", "#cloud-config\n" + userData},
                           {"network-config", network},
                           {"firstrun.sh", absent}};
        QTest::newRow("systemd with empty cmdline payload")
            << 32 << true << QByteArray("systemd")
            << QVariantMap{{"cmdline.txt", "  " + cmdline + " \r\n\n"}}
            << QVariantMap{{"firstrun.sh", firstrun},
                           {"user-data", absent},
                           {"cmdline.txt", cmdline + kSystemdOptions}};
        QTest::newRow("cloudinit") << 16 << false << QByteArray("cloudinit") << cmdlineFile
                                   << QVariantMap{{"user-data", "#cloud-config\n" + userData},
                                                  {"network-config", network},
                                                  {"firstrun.sh", absent},
                                                  {"config.ini", absent}};
        QTest::newRow("orlinit") << 16 << false << QByteArray("orlinit") << cmdlineFile
                                 << QVariantMap{{"config.ini", orlinit},
                                                {"user-data", absent},
                                                {"firstrun.sh", absent},
                                                {"network-config", absent}};
        QTest::newRow("unknown method writes no method file")
            << 16 << false << QByteArray() << cmdlineFile
            << QVariantMap{{"config.ini", absent},
                           {"user-data", absent},
                           {"firstrun.sh", absent},
                           {"network-config", absent},
                           {"cmdline.txt", cmdline + "\n"}};
    }

    void methodFiles()
    {
        QFETCH(int, fatBits);
        QFETCH(bool, gpt);
        QFETCH(QByteArray, initFormat);
        QFETCH(QVariantMap, files);
        QFETCH(QVariantMap, expected);

        FatImage img(FatImage::Options{
            fatBits, 1, 2, gpt ? FatImage::Table::Gpt : FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        Customization c;
        c.firstrun = "#!/bin/bash\necho first boot\n";
        c.cloudinit = "hostname: board\n";
        c.cloudinitNetwork = "version: 2\n";
        c.orlinit = "firstboot=1\nhostname=board\n";
        c.initFormat = initFormat;
        JobOutcome outcome;
        QVERIFY(customize(img, files, c, outcome));
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.successes, 1);
        QVERIFY(outcome.statusLines.contains("Customizing image"));
        QCOMPARE(outcome.finalizings, 2); // data on the medium, then customization done
        verifyFsckClean(img);
        compareFiles(img, expected);
    }

    void cmdlinePayloadIsAppendedToTrimmedFile()
    {
        FatImage img(FatImage::Options{16, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        Customization c;
        c.cmdline = " cfg80211.ieee80211_regdom=TR";
        c.firstrun = "#!/bin/sh\n";
        c.initFormat = "systemd";
        JobOutcome outcome;
        QVERIFY(customize(img, {{"cmdline.txt", "\n console=ttyS2 rootwait \n"}}, c, outcome));
        QCOMPARE(outcome.errors, QStringList());
        verifyFsckClean(img);
        compareFiles(img, {{"cmdline.txt", "console=ttyS2 rootwait cfg80211.ieee80211_regdom=TR" +
                                               kSystemdOptions}});
    }

    void uniflashTargetBootsFromEmmc()
    {
        FatImage img(FatImage::Options{32, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const QByteArray uEnv = "bootpart=1:1\nroot=/dev/mmcblk1p2\nmmcdev=/dev/mmcblk1\n";
        Customization c;
        c.targetLabel = "uniflash";
        JobOutcome outcome;
        QVERIFY(customize(img, {{"uEnv.txt", uEnv}, {"cmdline.txt", "quiet\n"}}, c, outcome));
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.successes, 1);
        verifyFsckClean(img);
        compareFiles(img, {{"uEnv.txt", "bootpart=0:1\nroot=/dev/mmcblk0p2\nmmcdev=/dev/mmcblk0\n"},
                           {"cmdline.txt", "quiet\n"}});
    }

    void imageIsUntouchedWithoutPayloads()
    {
        FatImage img(FatImage::Options{16, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVERIFY(img.mcopy("cmdline.txt", "quiet\n"));
        const QByteArray before = img.readAll();
        Customization c;
        c.cloudinitNetwork = "version: 2\n"; // alone it does not start the customization
        c.initFormat = "cloudinit";
        QByteArray written;
        const JobOutcome outcome = writeCustomized(img.path(), c, written);
        QCOMPARE(outcome.errors, QStringList());
        QVERIFY(!outcome.statusLines.contains("Customizing image"));
        QCOMPARE(written, before);
    }

    void failuresLeaveTheMediumWithoutPartitionTable_data()
    {
        QTest::addColumn<bool>("breakFileSystem");
        QTest::addColumn<QByteArray>("firstrun");
        QTest::addColumn<QString>("message");
        QTest::newRow("not FAT") << true << QByteArray("#!/bin/sh\n")
                                 << "Partition does not have a FAT file system";
        QTest::newRow("out of space")
            << false << randomBytes(8 * MiB, 3) << "Out of disk space on FAT partition";
    }

    void failuresLeaveTheMediumWithoutPartitionTable()
    {
        QFETCH(bool, breakFileSystem);
        QFETCH(QByteArray, firstrun);
        QFETCH(QString, message);

        FatImage img(FatImage::Options{16, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        if (breakFileSystem)
            QVERIFY(img.writeBytes(img.partitionOffset(), QByteArray(4096, '\x5a')));
        const QByteArray image = img.readAll();
        Customization c;
        c.firstrun = firstrun;
        c.initFormat = "systemd";
        QByteArray written;
        const JobOutcome outcome = writeCustomized(img.path(), c, written);
        QCOMPARE(outcome.errors, QStringList{message});
        QCOMPARE(outcome.successes, 0);
        // Nothing of the failed customization reached the medium, and the held-back first
        // block (with the partition table) was never written.
        QCOMPARE(written.size(), image.size());
        QCOMPARE(written.left(MiB), QByteArray(MiB, '\0'));
        QCOMPARE(written.mid(MiB), image.mid(MiB));
    }

    void firstRunScriptThroughTheProgram()
    {
        Q5_REQUIRE_ROOT();
        FatImage img(FatImage::Options{32, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVERIFY(img.mcopy("cmdline.txt", "console=ttyS2 rootwait\n"));
        QTemporaryDir dir;
        const QByteArray script = "#!/bin/bash\nset +e\necho hello\n";
        QVERIFY(writeFile(dir.filePath("firstrun.sh"), script));

        QByteArray written;
        QVERIFY(
            writeThroughProgram(img, {"--first-run-script", dir.filePath("firstrun.sh")}, written));
        QVERIFY(img.writeBytes(0, written));
        verifyFsckClean(img);
        compareFiles(img, {{"firstrun.sh", script},
                           {"cmdline.txt", "console=ttyS2 rootwait" + kSystemdOptions},
                           {"user-data", QVariant()}});
    }

    void cloudInitThroughTheProgram()
    {
        Q5_REQUIRE_ROOT();
        FatImage img(FatImage::Options{16, 4, 1, FatImage::Table::Gpt, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QTemporaryDir dir;
        const QByteArray userData = "hostname: board\nusers:\n- name: pml\n";
        const QByteArray network = "version: 2\nethernets:\n  eth0:\n    dhcp4: true\n";
        QVERIFY(writeFile(dir.filePath("user-data.yaml"), userData));
        QVERIFY(writeFile(dir.filePath("network.yaml"), network));

        QByteArray written;
        QVERIFY(writeThroughProgram(img,
                                    {"--cloudinit-userdata", dir.filePath("user-data.yaml"),
                                     "--cloudinit-networkconfig", dir.filePath("network.yaml")},
                                    written));
        QVERIFY(img.writeBytes(0, written));
        verifyFsckClean(img);
        compareFiles(img, {{"user-data", "#cloud-config\n" + userData},
                           {"network-config", network},
                           {"firstrun.sh", QVariant()},
                           {"cmdline.txt", QVariant()}});
    }

    void notFatThroughTheProgram()
    {
        Q5_REQUIRE_ROOT();
        FatImage img(FatImage::Options{16, 1, 2, FatImage::Table::Mbr, 0, 0, {}});
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVERIFY(img.writeBytes(img.partitionOffset(), QByteArray(512, '\0')));
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("firstrun.sh"), "#!/bin/sh\n"));

        const ProgramRun run = runProgram(img, {"--first-run-script", dir.filePath("firstrun.sh")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.endsWith("Error: Partition does not have a FAT file system\n"), run.err);
        QCOMPARE(run.written.left(MiB), QByteArray(MiB, '\0'));
    }

private:
    struct ProgramRun {
        int exitCode = -1;
        QByteArray err;
        QByteArray written; // the loop device's bytes afterwards
    };

    // Runs `q5-orl-imager --cli` onto a loop device over a file of the image's size.
    ProgramRun runProgram(const FatImage &img, const QStringList &options)
    {
        ProgramRun run;
        QTemporaryDir dir;
        const QString backing = dir.filePath("card.bin");
        const qint64 size = QFileInfo(img.path()).size();
        if (!writeFile(backing, QByteArray()) || !QFile::resize(backing, size))
            return run;
        LoopDevice loop(backing);
        if (!loop.isValid())
            return run;

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", _home.path());
        env.insert("XDG_CONFIG_HOME", _home.filePath("cli-config"));
        env.insert("XDG_CACHE_HOME", _home.filePath("cli-cache"));
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        p.setProcessEnvironment(env);
        p.start(Q5_IMAGER_PATH,
                QStringList{"--cli", "--disable-eject", "--enable-writing-system-drives"} +
                    options + QStringList{img.path(), loop.device()});
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished(5000);
            return run;
        }
        run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        run.err = p.readAllStandardError();
        run.written = loop.read(0, size);
        return run;
    }

    bool writeThroughProgram(const FatImage &img, const QStringList &options, QByteArray &written)
    {
        const ProgramRun run = runProgram(img, options);
        if (run.exitCode != 0) {
            qWarning() << "q5-orl-imager failed:" << run.err;
            return false;
        }
        written = run.written;
        return true;
    }
};

QTEST_GUILESS_MAIN(tst_Customization)
#include "tst_customization.moc"
