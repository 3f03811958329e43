// Multi-file archives end to end through the real program: a local zip of several files is
// detected, the loop-device drive gets one fresh FAT partition, the files are extracted onto it
// through the mounted file system (fusefat behind a mount shim), the zip's SHA-256 is checked,
// the job's mount is undone. The card is read afterwards with mtools and fsck.fat. The job's
// own ways of finding its file system run in this process against shims.

#include "fatmountshim.h"
#include "imagefiles.h"
#include "imagercli.h"
#include "localfileextractthread.h"
#include "loopdevice.h"
#include "shimdir.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace
{
constexpr qint64 kCardSize = 64 * 1024 * 1024;
constexpr quint64 kPartitionOffset = 4 * 1024 * 1024;

struct Card {
    QString backing;
    q5test::CommandResult mtools(const QString &tool, const QString &path) const
    {
        return q5test::sh(QStringLiteral("MTOOLS_SKIP_CHECK=1 %1 -i '%2'@@%3 '::%4'")
                              .arg(tool, backing)
                              .arg(kPartitionOffset)
                              .arg(path));
    }
};
} // namespace

class TestMultiFile : public QObject
{
    Q_OBJECT

    QTemporaryDir _dir;
    QString _zip;
    QMap<QString, QByteArray> _files;

    bool mountedAnywhere(const QString &device)
    {
        return q5test::readFile("/proc/mounts").contains(device.toLocal8Bit());
    }

    struct JobEnd {
        bool succeeded = false;
        QString error;
    };

    // Runs the multi-file job in this process on a destination that is only a name.
    JobEnd runJob(const QByteArray &destination, const QByteArray &expectedHash = QByteArray())
    {
        LocalFileExtractThread job(QUrl::fromLocalFile(_zip).toEncoded(), destination,
                                   expectedHash);
        job.enableMultipleFileExtraction();
        QSignalSpy success(&job, &DownloadThread::success);
        QSignalSpy error(&job, &DownloadThread::error);
        job.start();
        QDeadlineTimer deadline(60000);
        while (success.isEmpty() && error.isEmpty() && !deadline.hasExpired())
            QTest::qWait(20);
        job.wait(60000);
        JobEnd end;
        end.succeeded = success.size() == 1 && error.isEmpty();
        if (!error.isEmpty())
            end.error = error.at(0).at(0).toString();
        return end;
    }

    // An lsblk that reports one USB disk whose only partition is mounted at mountPoint (or
    // nothing at all when mountPoint is empty).
    static void addLsblk(q5test::ShimDir &shims, const QString &disk, const QString &mountPoint)
    {
        const QByteArray json =
            mountPoint.isEmpty()
                ? QByteArray("{\"blockdevices\": []}")
                : QStringLiteral(
                      "{\"blockdevices\": [{\"kname\": \"%1\", \"type\": \"disk\", "
                      "\"subsystems\": \"block:scsi:usb:pci\", \"ro\": false, \"rm\": true, "
                      "\"hotplug\": true, \"size\": 67108864, \"phy-sec\": 512, \"log-sec\": 512, "
                      "\"label\": null, \"vendor\": \"Mock\", \"model\": \"Card\", "
                      "\"mountpoint\": null, \"children\": [{\"kname\": \"%11\", \"type\": "
                      "\"part\", \"subsystems\": \"block:scsi:usb:pci\", \"ro\": false, \"rm\": "
                      "true, \"hotplug\": true, \"size\": 62914560, \"phy-sec\": 512, \"log-sec\": "
                      "512, \"label\": null, \"vendor\": null, \"model\": null, "
                      "\"mountpoint\": \"%2\"}]}]}")
                      .arg(disk, mountPoint)
                      .toUtf8();
        shims.add("lsblk", "cat <<'JSON'\n" + json + "\nJSON\n");
    }

private slots:
    void initTestCase()
    {
        Q5_REQUIRE_ROOT();
        for (const char *tool :
             {"fusefat", "fusermount", "mtype", "sfdisk", "partprobe", "mkfs.fat", "fsck.fat"}) {
            if (!q5test::haveTool(tool))
                QSKIP(qPrintable(QStringLiteral("needs the tool '%1'").arg(tool)));
        }
        // Large enough that streaming never reaches the zip's central directory on its own.
        _files = {{"README.TXT", "several files, one partition\n"},
                  {"boot/CONFIG.TXT", "dtoverlay=q5\n"},
                  {"boot/firmware/BIG.BIN", q5test::randomBytes(3 * 1024 * 1024 + 17, 3)}};
        const QString content = _dir.filePath("content");
        for (auto it = _files.cbegin(); it != _files.cend(); ++it) {
            QDir(content).mkpath(QFileInfo(it.key()).path());
            QVERIFY(q5test::writeFile(content + "/" + it.key(), it.value()));
        }
        // Each entry carries a large extra field of an unknown kind, which the central directory
        // repeats: the archive reader reaches the end of its entries well before the end of the
        // file, yet the hash must cover the whole file.
        _zip = _dir.filePath("files.zip");
        const QString script = QStringLiteral(
            "import os, struct, sys, zipfile\n"
            "z = zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED)\n"
            "for root, dirs, files in sorted(os.walk(sys.argv[1])):\n"
            "    for d in sorted(dirs):\n"
            "        z.write(os.path.join(root, d), os.path.relpath(os.path.join(root, d), "
            "sys.argv[1]))\n"
            "    for f in sorted(files):\n"
            "        path = os.path.join(root, f)\n"
            "        info = zipfile.ZipInfo.from_file(path, os.path.relpath(path, sys.argv[1]))\n"
            "        info.compress_type = zipfile.ZIP_DEFLATED\n"
            "        info.extra = struct.pack('<HH', 0xcafe, 60000) + bytes(60000)\n"
            "        z.writestr(info, open(path, 'rb').read())\n"
            "z.close()\n");
        QVERIFY(q5test::run("/usr/bin/python3", {"-c", script, content, _zip}).ok());
    }

    void extractsOntoAFreshFatPartition()
    {
        const QString backing = _dir.filePath("card.img");
        QVERIFY(q5test::writeFile(backing, q5test::randomBytes(kCardSize, 11)));
        Q5_LOOP_OR_SKIP(loop, backing);
        q5test::FatMountShim shim;
        q5test::ImagerCli cli;
        const QByteArray sha = q5test::sha256Hex(q5test::readFile(_zip));
        const auto r =
            cli.run({"--enable-writing-system-drives", "--sha256", sha, _zip, loop.device()});
        QVERIFY2(r.exitCode == 0, r.err.constData());

        const QString partition = loop.device() + "p1";
        QCOMPARE(shim.calls().size(), 2);
        QVERIFY(shim.calls().at(0).startsWith("mount -t vfat " + partition + " "));
        QCOMPARE(shim.calls().at(1), "umount " + shim.calls().at(0).section(' ', 4));
        QVERIFY(!mountedAnywhere(partition));

        const q5test::CommandResult dump = q5test::run("sfdisk", {"-d", loop.device()});
        QVERIFY2(dump.out.contains(partition.toLatin1() + " : start=        8192,"),
                 dump.out.constData());
        const q5test::CommandResult fsck = q5test::run("fsck.fat", {"-n", partition});
        QVERIFY2(fsck.ok(), (fsck.out + fsck.err).constData());
        Card card{backing};
        for (auto it = _files.cbegin(); it != _files.cend(); ++it) {
            const q5test::CommandResult file = card.mtools("mtype", "/" + it.key());
            QVERIFY2(file.ok(), qPrintable(it.key()));
            QCOMPARE(file.out, it.value());
        }
    }

    void mismatchingHashDeletesTheFiles()
    {
        const QString backing = _dir.filePath("mismatch.img");
        QVERIFY(q5test::writeFile(backing, QByteArray(kCardSize, '\0')));
        Q5_LOOP_OR_SKIP(loop, backing);
        q5test::FatMountShim shim;
        q5test::ImagerCli cli;
        const QByteArray wrong(64, 'a');
        const auto r =
            cli.run({"--enable-writing-system-drives", "--sha256", wrong, _zip, loop.device()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(
                     "Error: Error extracting archive: Download corrupt. SHA256 does not match\n"),
                 r.err.constData());
        QCOMPARE(shim.calls().size(), 2);
        Card card{backing};
        for (const QString &name : _files.keys())
            QVERIFY2(!card.mtools("mtype", "/" + name).ok(), qPrintable(name));
        QVERIFY(!card.mtools("mdir", "/boot").ok());
        QVERIFY(card.mtools("mdir", "/").ok());
    }

    // Entry names that try to leave the mount point are refused; the rest is extracted.
    void hostileEntryNamesStayInside()
    {
        QTemporaryDir scratch;
        const QString outside = scratch.filePath("outside");
        QVERIFY(QDir().mkpath(outside));
        const QString absolute = scratch.filePath("absolute.txt");
        const QString hostile = _dir.filePath("hostile.zip");
        const QString script =
            QStringLiteral("import sys, zipfile\n"
                           "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                           "z.writestr('GOOD.TXT', 'inside\\n')\n"
                           "z.writestr('../ESCAPE.TXT', 'dot dot\\n')\n"
                           "z.writestr('../../ESCAPE2.TXT', 'dot dot dot dot\\n')\n"
                           "z.writestr(sys.argv[2], 'absolute\\n')\n"
                           "link = zipfile.ZipInfo('LINK')\n"
                           "link.create_system = 3\n"
                           "link.external_attr = 0o120777 << 16\n"
                           "z.writestr(link, sys.argv[3])\n"
                           "z.writestr('LINK/THROUGH.TXT', 'through the link\\n')\n"
                           "z.close()\n");
        QVERIFY(q5test::run("/usr/bin/python3", {"-c", script, hostile, absolute, outside}).ok());

        const QString backing = _dir.filePath("hostile.img");
        QVERIFY(q5test::writeFile(backing, QByteArray(kCardSize, '\0')));
        Q5_LOOP_OR_SKIP(loop, backing);
        q5test::FatMountShim shim;
        q5test::ImagerCli cli;
        const QString tmp = scratch.filePath("tmp/inner");
        QVERIFY(QDir().mkpath(tmp));
        cli.setEnv("TMPDIR", tmp); // the job's mount point is made in here
        const auto r = cli.run({"--enable-writing-system-drives", hostile, loop.device()});
        QVERIFY2(r.exitCode == 0, r.err.constData());

        Card card{backing};
        QCOMPARE(card.mtools("mtype", "/GOOD.TXT").out, QByteArray("inside\n"));
        QVERIFY(!QFile::exists(absolute));
        QVERIFY(!QFile::exists(outside + "/THROUGH.TXT"));
        QVERIFY(!QFile::exists(scratch.filePath("tmp/ESCAPE.TXT")));
        QVERIFY(!QFile::exists(scratch.filePath("tmp/ESCAPE2.TXT")));
        QVERIFY(!QFile::exists(tmp + "/ESCAPE.TXT"));
        QVERIFY(!QFile::exists(QDir::currentPath() + "/ESCAPE.TXT"));
        QVERIFY(!card.mtools("mtype", "/ESCAPE.TXT").ok());
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // The desktop mounted the new file system already: the job writes there and leaves the
    // mount as it found it.
    void usesAnExistingMountAndKeepsIt()
    {
        const QString disk = QStringLiteral("/dev/sdq");
        if (QFile::exists(disk))
            QSKIP("this machine has a /dev/sdq; the test needs the name to be free");
        QTemporaryDir mnt;
        QVERIFY(q5test::run("mount", {"-t", "tmpfs", "-o", "size=16m", "q5-multifile", mnt.path()})
                    .ok());
        q5test::ShimDir shims;
        addLsblk(shims, disk, mnt.path());
        shims.add("mount",
                  "echo \"mount $*\" >> '" + shims.logPath().toLocal8Bit() + "'\nexit 32\n");

        const JobEnd end = runJob(disk.toLatin1(), q5test::sha256Hex(q5test::readFile(_zip)));
        const bool stillMounted = mountedAnywhere(mnt.path());
        QByteArray extracted = q5test::readFile(mnt.filePath("boot/CONFIG.TXT"));
        q5test::run("umount", {mnt.path()});
        QVERIFY2(end.succeeded, qPrintable(end.error));
        QVERIFY(stillMounted);
        QCOMPARE(extracted, _files.value("boot/CONFIG.TXT"));
        QVERIFY(shims.loggedCalls().isEmpty());
    }

    void mountProblems_data()
    {
        QTest::addColumn<QByteArray>("mountBody");
        QTest::addColumn<QString>("error");
        QTest::newRow("mount fails")
            << QByteArray("exit 32\n") << QStringLiteral("Error mounting FAT32 partition");
        QTest::newRow("nothing mounted")
            << QByteArray("exit 0\n")
            << QStringLiteral("Operating system did not mount FAT32 partition");
    }
    void mountProblems()
    {
        QFETCH(QByteArray, mountBody);
        QFETCH(QString, error);
        q5test::ShimDir shims;
        addLsblk(shims, QString(), QString());
        shims.add("mount",
                  "echo \"mount $*\" >> '" + shims.logPath().toLocal8Bit() + "'\n" + mountBody);
        const JobEnd end = runJob("/dev/q5-no-such-card");
        QCOMPARE(end.error, error);
        const QStringList calls = shims.loggedCalls();
        QCOMPARE(calls.size(), 1);
        QVERIFY2(calls.at(0).startsWith("mount -t vfat /dev/q5-no-such-card1 /"),
                 qPrintable(calls.at(0)));
        QVERIFY(!QFile::exists(calls.at(0).section(' ', 4)));
    }
};

QTEST_GUILESS_MAIN(TestMultiFile)
#include "tst_multifile.moc"
