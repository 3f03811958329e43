// The head-less writer, run as the real program: options, messages, exit codes, progress lines
// and the bytes that land on a loop device.

#include "fakecard.h"
#include "imagefiles.h"
#include "loopdevice.h"
#include "shimdir.h"
#include "testenv.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace {
constexpr qint64 MiB = 1024 * 1024;
const QByteArray kSystemDrivesWarning = "WARNING: writing to system drives is enabled.\n";
} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private:
    struct Run {
        int exitCode = -1;
        QByteArray err;
        QByteArray out;
    };

    QTemporaryDir _home;

    Run runCli(const QStringList &args, int timeoutMs = 120000)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", _home.path());
        env.insert("XDG_CONFIG_HOME", _home.filePath("config"));
        env.insert("XDG_CACHE_HOME", _home.filePath("cache"));
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        p.setProcessEnvironment(env);
        p.start(Q5_IMAGER_PATH, QStringList{"--cli"} + args);
        Run r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.err = p.readAllStandardError();
        r.out = p.readAllStandardOutput();
        return r;
    }

    QString settingsFile() const
    {
        return _home.filePath("config/Orlith/Q5 Orlith Imager.conf");
    }

    // The image as the program sees it, written to the loop device, read back.
    QByteArray writeAndReadBack(LoopDevice &loop, const QString &src, qint64 imageSize,
                                const QStringList &extra = {})
    {
        Run r = runCli(extra + QStringList{"--enable-writing-system-drives", src, loop.device()});
        if (r.exitCode != 0)
            qWarning() << r.err;
        return r.exitCode == 0 ? loop.read(0, imageSize) : QByteArray();
    }

private slots:
    void usageForWrongArgumentCount_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("none") << QStringList{};
        QTest::newRow("one") << QStringList{"image.img"};
        QTest::newRow("three") << QStringList{"a", "b", "c"};
    }
    void usageForWrongArgumentCount()
    {
        QFETCH(QStringList, args);
        Run r = runCli(args);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err,
                 QByteArray("Usage: --cli [--disable-verify] [--disable-eject] [--sha256 <expected "
                            "hash> [--cache-file <cache file>]] [--first-run-script <script>] "
                            "[--debug] [--quiet] <image file to write> <destination drive "
                            "device>\n"));
    }

    void parserRejectsUnknownOptionsAndMissingValues_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown") << QStringList{"--frobnicate", "a", "b"};
        QTest::newRow("help is not an option") << QStringList{"--help", "a", "b"};
        QTest::newRow("missing value") << QStringList{"a", "b", "--sha256"};
    }
    void parserRejectsUnknownOptionsAndMissingValues()
    {
        QFETCH(QStringList, args);
        Run r = runCli(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(!r.err.isEmpty());
    }

    void sourceChecks_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/image.img")
                                 << QByteArray("Error: source file does not exists\n");
        QTest::newRow("directory") << QStringLiteral("/tmp")
                                   << QByteArray("Error: source is not a regular file\n");
    }
    void sourceChecks()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, message);
        Run r = runCli({source, "/dev/null"});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, message);
    }

    void destinationMustBeListed_data()
    {
        QTest::addColumn<QByteArray>("lsblkJson");
        QTest::addColumn<QByteArray>("listing");
        QTest::newRow("empty list") << QByteArray("{\"blockdevices\": []}") << QByteArray();
        QFile fixture(QStringLiteral(Q5_TEST_FIXTURES_DIR "/lsblk-cli-usbstick.json"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        QTest::newRow("usb stick") << fixture.readAll()
                                   << QByteArray("/dev/sdz (Kingston DataTraveler 3.0");
    }
    void destinationMustBeListed()
    {
        QFETCH(QByteArray, lsblkJson);
        QFETCH(QByteArray, listing);
        ShimDir shims;
        const QString json = shims.path() + "/lsblk.json";
        QVERIFY(writeFile(json, lsblkJson));
        shims.add("lsblk", "cat '" + json.toLocal8Bit() + "'\n");

        QTemporaryDir dir;
        const QString img = dir.filePath("x.img");
        QVERIFY(writeFile(img, QByteArray(4096, 'x')));
        const QString target = dir.filePath("target.img");
        Run r = runCli({img, target});
        QCOMPARE(r.exitCode, 1);
        const QByteArray head = "Destination drive is not in list of removable volumes. Choose "
                                "one of the following:\n\n";
        const QByteArray tail = "\nOr use --enable-writing-system-drives to overrule.\n";
        QVERIFY2(r.err.startsWith(head), r.err.constData());
        QVERIFY2(r.err.endsWith(tail), r.err.constData());
        const QByteArray middle = r.err.mid(head.size(), r.err.size() - head.size() - tail.size());
        if (listing.isEmpty()) {
            QCOMPARE(middle, QByteArray());
        } else {
            QVERIFY2(middle.startsWith(listing), middle.constData());
            QVERIFY(middle.endsWith(")\n"));
            QCOMPARE(middle.count('\n'), 1);
        }
        QVERIFY(!QFile::exists(target));

        // The same destination is taken once system drives are allowed.
        r = runCli({"--enable-writing-system-drives", "--quiet", img, target});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, kSystemDrivesWarning);
        QCOMPARE(readFile(target, 0, 4096), QByteArray(4096, 'x'));
    }

    void customizationFileChecks_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("user-data missing")
            << QStringList{"--cloudinit-userdata", "/nonexistent/ud"}
            << QByteArray("Error: user-data file does not exists\n");
        QTest::newRow("user-data without network-config")
            << QStringList{"--cloudinit-userdata", "@EXISTING@"}
            << QByteArray("Error: network-config file does not exists\n");
        QTest::newRow("network-config missing")
            << QStringList{"--cloudinit-userdata", "@EXISTING@", "--cloudinit-networkconfig",
                           "/nonexistent/nc"}
            << QByteArray("Error: network-config file does not exists\n");
        QTest::newRow("firstrun missing")
            << QStringList{"--first-run-script", "/nonexistent/fr"}
            << QByteArray("Error: firstrun script does not exists\n");
        QTest::newRow("firstrun unreadable")
            << QStringList{"--first-run-script", "@DIRECTORY@"}
            << QByteArray("Error: opening firstrun script\n");
    }
    void customizationFileChecks()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        const QString existing = dir.filePath("existing");
        QVERIFY(writeFile(existing, "#cloud-config\n"));
        options.replaceInStrings("@EXISTING@", existing);
        options.replaceInStrings("@DIRECTORY@", dir.path());
        const QString img = dir.filePath("x.img");
        QVERIFY(writeFile(img, QByteArray(512, 'x')));
        const QString target = dir.filePath("target.img");
        Run r = runCli(options + QStringList{"--enable-writing-system-drives", img, target});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, kSystemDrivesWarning + message);
        QVERIFY(!QFile::exists(target));
    }

    void writesEveryFormatByteExact_data()
    {
        QTest::addColumn<QString>("format");
        for (const char *f : {"img", "xz", "gz", "bz2", "zst", "zip", "7z"})
            QTest::newRow(f) << QString::fromLatin1(f);
    }
    void writesEveryFormatByteExact()
    {
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QByteArray image = randomBytes(5 * MiB + 512, 7);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString src = packImage(dir.path(), "disk.img", format);
        QVERIFY(!src.isEmpty());
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray()));
        QVERIFY(QFile::resize(backing, 32 * MiB));
        Q5_LOOP_OR_SKIP(loop, backing);

        QCOMPARE(writeAndReadBack(loop, src, image.size(), {"--sha256", sha256Hex(image)}),
                 image);
        // The last mebibyte was zeroed, the rest beyond the image left alone.
        QCOMPARE(loop.read(32 * MiB - MiB, MiB), QByteArray(MiB, '\0'));
    }

    void writesToPlainFile()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(3 * MiB, 3);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString src = packImage(dir.path(), "disk.img", "xz");
        const QString target = dir.filePath("out.img");
        Run r = runCli({"--enable-writing-system-drives", src, target});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.err.endsWith("Write successful.\n"));
        QCOMPARE(readFile(target), image);
    }

    void progressLinesAreExact()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(24 * MiB, 11);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray()));
        QVERIFY(QFile::resize(backing, 32 * MiB));
        Q5_LOOP_OR_SKIP(loop, backing);

        Run r = runCli({"--enable-writing-system-drives", dir.filePath("disk.img"), loop.device()});
        QCOMPARE(r.exitCode, 0);
        const QList<QByteArray> pieces = r.err.split('\r');
        static const QRegularExpression progress(
            QStringLiteral("^  (Writing|Verifying): \\[-*> *\\] (\\d+) %$"));
        int progressLines = 0;
        bool sawVerify = false;
        for (const QByteArray &piece : pieces) {
            const QRegularExpressionMatch m = progress.match(QString::fromLatin1(piece));
            if (!m.hasMatch())
                continue;
            ++progressLines;
            const int p = m.captured(2).toInt();
            QVERIFY(p >= 0 && p <= 100);
            const QByteArray expected = "  " + m.captured(1).toLatin1() + ": [" +
                                        QByteArray(p / 5, '-') + ">" +
                                        QByteArray(qMax(0, 20 - p / 5), ' ') + "] " +
                                        QByteArray::number(p) + " %";
            QCOMPARE(piece, expected);
            sawVerify = sawVerify || m.captured(1) == QLatin1String("Verifying");
        }
        QVERIFY(progressLines > 0);
        QVERIFY(sawVerify);
        QVERIFY(r.err.contains("  Verifying: [-------------------->] 100 %\r"));
        // Each status line is written over the previous one: cleared with 42 spaces first.
        QVERIFY(r.err.contains(QByteArray(42, ' ') + "\r  opening drive\r"));
        QVERIFY(r.err.endsWith(QByteArray(42, ' ') + "\rWrite successful.\n"));
    }

    void quietPrintsOnlyErrors()
    {
        QTemporaryDir dir;
        const QString img = dir.filePath("x.img");
        QVERIFY(writeFile(img, randomBytes(MiB, 5)));
        const QString target = dir.filePath("t.img");
        Run r = runCli({"--quiet", "--enable-writing-system-drives", img, target});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, kSystemDrivesWarning);

        r = runCli({"--quiet", "--enable-writing-system-drives", "--sha256",
                    QString(64, 'a'), img, target});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, kSystemDrivesWarning + "Error: Download corrupt. Hash does not match\n");
    }

    void wrongHashNeverWritesFirstBlock()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(4 * MiB, 9);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray(16 * MiB, '\xAA')));
        Q5_LOOP_OR_SKIP(loop, backing);

        Run r = runCli({"--enable-writing-system-drives", "--sha256",
                        QString::fromLatin1(sha256Hex(image)).toUpper(),
                        dir.filePath("disk.img"), loop.device()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.endsWith("Error: Download corrupt. Hash does not match\n"));
        QCOMPARE(loop.read(0, MiB), QByteArray(MiB, '\0'));
        QCOMPARE(loop.read(MiB, 3 * MiB), image.mid(MiB));
    }

    void badImagesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("not a multiple of 512")
            << "odd" << QByteArray("Error: Input file is not a valid disk image.<br>File size "
                                   "1000 bytes is not a multiple of 512 bytes.\n");
        QTest::newRow("larger than the drive")
            << "large" << QByteArray("Error: Storage capacity is not large enough.<br>Needs to "
                                     "be at least 0.0 GB.\n");
        QTest::newRow("truncated xz") << "truncated" << QByteArray("Error: Error extracting archive: ");
        QTest::newRow("corrupt xz") << "corrupt" << QByteArray("Error: Error extracting archive: ");
    }
    void badImagesAreRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        QString src;
        if (kind == "odd") {
            src = dir.filePath("odd.img");
            QVERIFY(writeFile(src, QByteArray(1000, 'o')));
        } else if (kind == "large") {
            src = dir.filePath("large.img");
            QVERIFY(writeFile(src, randomBytes(9 * MiB, 2)));
        } else {
            // Compressible data, so that damage hits the compressed stream's structure.
            QByteArray text;
            for (int i = 0; text.size() < 3 * MiB; ++i)
                text += "line " + QByteArray::number(i * 7919 % 100003) + " of the image\n";
            text.truncate(3 * MiB);
            QVERIFY(writeFile(dir.filePath("disk.img"), text));
            src = packImage(dir.path(), "disk.img", "xz");
            QByteArray packed = readFile(src);
            if (kind == "truncated")
                packed.truncate(packed.size() / 2);
            else
                packed.replace(packed.size() / 2, 64, QByteArray(64, '\x55'));
            QVERIFY(writeFile(src, packed));
        }
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray(8 * MiB, '\xAA')));
        Q5_LOOP_OR_SKIP(loop, backing);

        Run r = runCli({"--enable-writing-system-drives", src, loop.device()});
        QCOMPARE(r.exitCode, 1);
        const QByteArray lastLine = r.err.mid(r.err.lastIndexOf("Error: "));
        QVERIFY2(lastLine.startsWith(message), r.err.constData());
        // Never a partition table from a failed image.
        const QByteArray head = loop.read(0, MiB);
        QVERIFY(head == QByteArray(MiB, '\0') || head == QByteArray(MiB, '\xAA'));
    }

    void counterfeitCapacityFailsBeforeImageData()
    {
        Q5_REQUIRE_ROOT();
        QTemporaryDir dir;
        const QString mnt = dir.filePath("small");
        QVERIFY(QDir().mkpath(mnt));
        QVERIFY(run("mount", {"-t", "tmpfs", "-o", "size=1536k", "tmpfs", mnt}).ok());
        struct Unmount {
            QString dir;
            ~Unmount() { run("umount", {dir}); }
        } unmount{mnt};
        const QString card = mnt + "/card.img";
        QVERIFY(writeFile(card, QByteArray()));
        QVERIFY(QFile::resize(card, 64 * MiB));

        const QByteArray image = randomBytes(4 * MiB, 13);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        Run r;
        {
            Q5_LOOP_OR_SKIP(loop, card);
            r = runCli({"--enable-writing-system-drives", dir.filePath("disk.img"), loop.device()});
        }
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.endsWith("Error: Write error while trying to zero out last part of "
                                "card.<br>Card could be advertising wrong capacity (possible "
                                "counterfeit).\n"),
                 r.err.constData());
        QCOMPARE(readFile(card, 0, 5 * MiB), QByteArray(5 * MiB, '\0'));
    }

    void badCardsFailVerification_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("wrapping card")
            << int(FakeCard::Wrap)
            << QByteArray("Error: Verifying write failed. Contents of SD card is different from "
                          "what was written to it.\n");
        QTest::newRow("vanishing end")
            << int(FakeCard::Short)
            << QByteArray("Error: Error reading from storage.<br>SD card may be broken.\n");
    }
    void badCardsFailVerification()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, message);
        Q5_REQUIRE_ROOT();
        FakeCard card(64 * MiB, FakeCard::Mode(mode), 4 * MiB);
        QVERIFY(card.isValid());
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("disk.img"), randomBytes(6 * MiB, 21)));
        Run r = runCli({"--enable-writing-system-drives", dir.filePath("disk.img"), card.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.endsWith(message), r.err.constData());
    }

    void disableEjectIsStored()
    {
        QTemporaryDir dir;
        const QString img = dir.filePath("x.img");
        QVERIFY(writeFile(img, QByteArray(512, 'e')));
        QCOMPARE(runCli({"--disable-eject", "--quiet", "--enable-writing-system-drives", img,
                         dir.filePath("t1")})
                     .exitCode,
                 0);
        QCOMPARE(QSettings(settingsFile(), QSettings::IniFormat).value("eject").toBool(), false);
        QCOMPARE(runCli({"--quiet", "--enable-writing-system-drives", img, dir.filePath("t2")})
                     .exitCode,
                 0);
        QCOMPARE(QSettings(settingsFile(), QSettings::IniFormat).value("eject").toBool(), true);
    }

    void debugShowsLogOnlyWhenAsked()
    {
        QTemporaryDir dir;
        const QString img = dir.filePath("x.img");
        QVERIFY(writeFile(img, QByteArray(4096, 'd')));
        Run quiet = runCli({"--enable-writing-system-drives", img, dir.filePath("a")});
        Run debug = runCli({"--debug", "--enable-writing-system-drives", img, dir.filePath("b")});
        QCOMPARE(quiet.exitCode, 0);
        QCOMPARE(debug.exitCode, 0);
        QVERIFY(!quiet.err.contains("Hash of uncompressed image:"));
        QVERIFY(debug.err.contains("Hash of uncompressed image:"));
        QVERIFY(debug.err.contains(sha256Hex(QByteArray(4096, 'd'))));
    }
};

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
