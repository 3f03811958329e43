// Start-up of the real program: the windowed run's arguments, messages and exit codes, the
// choice of the kind of run, the udev rule installer, the main window and its position.

#include "shimdir.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace
{
const QByteArray kUsage =
    "q5-orl-imager [--debug] [--version] [--repo <repository URL>] [--qm <custom qm translation "
    "file>] [--disable-telemetry] [<image file to write>]\n"
    "-OR- q5-orl-imager --cli [--disable-verify] [--sha256 <expected hash>] [--debug] [--quiet] "
    "<image file to write> <destination drive device>\n";
const QByteArray kVersion = "q5-orl-imager version 1.2.0\n"
                            "Repository: https://imager.orlith.com/images/list.json\n";
const QByteArray kRulesText =
    "# Q5 Orlith Imager: TI AM62x DFU device (VID:0451 PID:6165)\n"
    "# MODE 0666 is the fallback for systems without logind or a plugdev group\n"
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0451\", ATTR{idProduct}==\"6165\", TAG+=\"uaccess\", "
    "MODE=\"0666\"\n";
const char *const kRootFunctions[] = {
    "onDownloadProgress(QVariant,QVariant)",
    "onSendingProgress(QVariant)",
    "onVerifyProgress(QVariant,QVariant)",
    "onDfuProgress(QVariant,QVariant)",
    "onDfuAuthRequired()",
    "onPreparationStatusUpdate(QVariant)",
    "onError(QVariant)",
    "onSuccess()",
    "onFileSelected(QVariant)",
    "onCancelled()",
    "onFinalizing()",
    "fetchOSlist()",
    "onOsListPrepared()",
    "onNetworkInfo(QVariant)",
};
constexpr int kWindowRunTimeoutMs = 30000;
} // namespace

class tst_Main : public QObject
{
    Q_OBJECT

private:
    struct Run {
        int exitCode = -1;
        QByteArray err;
    };

    std::unique_ptr<QTemporaryDir> _home;

    QString logDir() const { return _home->filePath("data/Orlith/Q5 Orlith Imager/logs"); }
    QString settingsFile() const { return _home->filePath("config/Orlith/Q5 Orlith Imager.conf"); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", _home->path());
        env.insert("XDG_CONFIG_HOME", _home->filePath("config"));
        env.insert("XDG_DATA_HOME", _home->filePath("data"));
        env.insert("XDG_CACHE_HOME", _home->filePath("cache"));
        env.insert("XDG_RUNTIME_DIR", _home->filePath("runtime"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        return env;
    }

    Run runProgram(const QStringList &args, const QProcessEnvironment &env,
                   int timeoutMs = kWindowRunTimeoutMs)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(Q5_IMAGER_PATH, args);
        Run r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(5000);
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.err = p.readAllStandardError();
        return r;
    }

    Run runProgram(const QStringList &args) { return runProgram(args, environment()); }

    QStringList logFiles() const
    {
        return QDir(logDir()).entryList({"q5-orl-imager-*.log"}, QDir::Files, QDir::Name);
    }

    QByteArray onlyLog() const
    {
        const QStringList logs = logFiles();
        if (logs.size() != 1)
            return QByteArray();
        QFile f(QDir(logDir()).filePath(logs.first()));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    QByteArray helpText() const
    {
        return kUsage + "Log files are written to " + logDir().toUtf8() + "\n";
    }

    // Runs the program as the window probe's user: the report and the run log of that run.
    struct WindowRun {
        Run run;
        QMap<QByteArray, QByteArray> values;
        QList<QByteArray> methods;
        QList<QByteArray> colours;
        QByteArray log;
    };

    WindowRun runWindow(const QSize &screen, const QString &move,
                        const QStringList &args = QStringList())
    {
        const QString config = _home->filePath("screens.json");
        QFile f(config);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QStringLiteral("{\"windowFrameMargins\": false, \"screens\": [{\"name\": \"S1\", "
                               "\"x\": 0, \"y\": 0, \"width\": %1, \"height\": %2}]}")
                    .arg(screen.width())
                    .arg(screen.height())
                    .toUtf8());
        f.close();

        QProcessEnvironment env = environment();
        env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + config);
        env.insert("LD_PRELOAD", Q5_WINDOW_PROBE_PATH);
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("Q5_PROBE_REPORT", _home->filePath("probe.txt"));
        env.insert("Q5_PROBE_MOVE", move);

        // The repository list comes from a local file: the windowed run fetches it at start.
        const QString repo = _home->filePath("list.json");
        QFile list(repo);
        list.open(QIODevice::WriteOnly | QIODevice::Truncate);
        list.write("{\"os_list\": []}\n");
        list.close();

        WindowRun w;
        w.run = runProgram(QStringList{"--repo", repo} + args, env);
        QFile report(_home->filePath("probe.txt"));
        report.open(QIODevice::ReadOnly);
        for (const QByteArray &line : report.readAll().split('\n')) {
            const int eq = line.indexOf('=');
            const QByteArray key = line.left(eq), value = line.mid(eq + 1);
            if (key == "method")
                w.methods << value;
            else if (key == "color")
                w.colours << value;
            else if (eq > 0)
                w.values.insert(key, value);
        }
        w.log = onlyLog();
        return w;
    }

    void storePosition(int x, int y)
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        settings.setValue("x", x);
        settings.setValue("y", y);
    }

    // Runs a shell script in a mount namespace of its own with /etc overlaid by a tmpfs, so the
    // rule installer writes into a throw-away /etc/udev/rules.d.
    CommandResult runInEtcOverlay(const QString &script)
    {
        const QString prelude =
            QStringLiteral("set -e\n"
                           "T='%1'\n"
                           "mkdir -p \"$T/ovl\"\n"
                           "mount -t tmpfs tmpfs \"$T/ovl\"\n"
                           "mkdir \"$T/ovl/up\" \"$T/ovl/work\"\n"
                           "mount -t overlay overlay -o lowerdir=/etc,upperdir=$T/ovl/"
                           "up,workdir=$T/ovl/work /etc\n"
                           "mkdir -p /etc/udev/rules.d\n")
                .arg(_home->path());
        return run("unshare",
                   {"--mount", "--propagation", "private", "/bin/sh", "-c", prelude + script});
    }

private slots:
    void init()
    {
        _home = std::make_unique<QTemporaryDir>("/tmp/q5-tst-main-XXXXXX");
        QDir(_home->path()).mkpath("runtime");
        QFile::setPermissions(_home->filePath("runtime"), QFileDevice::ReadOwner |
                                                              QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner);
    }

    void arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("expectedErr");
        QTest::addColumn<int>("expectedExitCode");

        const QString file = QStringLiteral(Q5_SOURCE_DIR "/tests/app/tst_main.cpp");
        const QString dir = QFileInfo(file).absolutePath();
        QTest::newRow("help") << QStringList{"--help"} << QByteArray("HELP") << 0;
        QTest::newRow("version") << QStringList{"--version"} << kVersion << 0;
        QTest::newRow("debug accepted") << QStringList{"--debug", "--version"} << kVersion << 0;
        QTest::newRow("repo without value")
            << QStringList{"--repo"} << QByteArray("Missing URL after --repo\n") << 1;
        QTest::newRow("repo followed by option")
            << QStringList{"--repo", "--qm", file} << QByteArray("Missing URL after --repo\n") << 1;
        QTest::newRow("repo file missing")
            << QStringList{"--repo", "/nonexistent/list.json"}
            << QByteArray("Custom repository file does not exist or is not a regular file: "
                          "/nonexistent/list.json\n")
            << 1;
        QTest::newRow("repo directory")
            << QStringList{"--repo", dir}
            << "Custom repository file does not exist or is not a regular file: " + dir.toUtf8() +
                   "\n"
            << 1;
        QTest::newRow("repo scheme in capitals is a file name")
            << QStringList{"--repo", "HTTPS://example.com/list.json"}
            << QByteArray("Custom repository file does not exist or is not a regular file: "
                          "HTTPS://example.com/list.json\n")
            << 1;
        QTest::newRow("qm without value")
            << QStringList{"--qm"} << QByteArray("Missing QM file after --qm\n") << 1;
        QTest::newRow("qm file missing")
            << QStringList{"--qm", "/nonexistent/x.qm"}
            << QByteArray("Custom QM file does not exist or is not a regular file: "
                          "/nonexistent/x.qm\n")
            << 1;
        QTest::newRow("qm directory")
            << QStringList{"--qm", dir}
            << "Custom QM file does not exist or is not a regular file: " + dir.toUtf8() + "\n"
            << 1;
        QTest::newRow("image not a file")
            << QStringList{"missing.img", "--version"}
            << "Argument ignored because it is not a regular file: missing.img\n" + kVersion << 0;
        QTest::newRow("second image argument")
            << QStringList{file, "second.img", "--version"}
            << "Ignoring unknown argument: second.img\n" + kVersion << 0;
        QTest::newRow("url in capitals is an image")
            << QStringList{"HTTPS://example.com/a.img", "b.img", "--version"}
            << "Ignoring unknown argument: b.img\n" + kVersion << 0;
        QTest::newRow("ignored image leaves room for the next")
            << QStringList{"missing.img", file, "c.img", "--version"}
            << "Argument ignored because it is not a regular file: missing.img\n"
               "Ignoring unknown argument: c.img\n" +
                   kVersion
            << 0;
        QTest::newRow("unknown option")
            << QStringList{"--bogus", "--help"}
            << QByteArray("Ignoring unknown argument: --bogus\nHELP") << 0;
        QTest::newRow("parsing stops at the first end")
            << QStringList{"--version", "--bogus"} << kVersion << 0;
    }

    void arguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, expectedErr);
        QFETCH(int, expectedExitCode);

        const Run r = runProgram(args);
        QCOMPARE(r.err, QByteArray(expectedErr).replace("HELP", helpText()));
        QCOMPARE(r.exitCode, expectedExitCode);
        QVERIFY(onlyLog().endsWith("=== Session ended before reaching the normal shutdown path\n"));
    }

    void repositoryValueAccepted_data()
    {
        QTest::addColumn<QString>("repo");
        QTest::newRow("https url") << "https://example.com/l.json";
        QTest::newRow("http url") << "http://example.com/l.json";
        QTest::newRow("regular file") << Q5_SOURCE_DIR "/tests/app/tst_main.cpp";
    }

    void repositoryValueAccepted()
    {
        QFETCH(QString, repo);
        const Run r = runProgram({"--repo", repo, "--version"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.endsWith(kVersion), r.err.constData());
        QVERIFY(!r.err.contains("Custom repository file"));
    }

    void telemetrySetting()
    {
        Run r = runProgram({"--disable-telemetry", "--version"});
        QCOMPARE(r.err, "Disabled telemetry\n" + kVersion);
        {
            QSettings settings(settingsFile(), QSettings::IniFormat);
            QCOMPARE(settings.value("telemetry").toString(), QString("false"));
        }
        r = runProgram({"--enable-telemetry", "--version"});
        QCOMPARE(r.err, "Using default telemetry setting\n" + kVersion);
        QSettings settings(settingsFile(), QSettings::IniFormat);
        QVERIFY(!settings.contains("telemetry"));
    }

    void cliAnywhereTakesTheCommandLinePath_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("cliMessage");
        QTest::newRow("first") << QStringList{"--cli"} << QByteArray("Usage: --cli ");
        QTest::newRow("after options")
            << QStringList{"--repo", "--debug", "--cli"} << QByteArray("Unknown option 'repo'");
        QTest::newRow("before the rule installer")
            << QStringList{"--cli", "--install-dfu-udev-rules"}
            << QByteArray("Unknown option 'install-dfu-udev-rules'");
    }

    void cliAnywhereTakesTheCommandLinePath()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, cliMessage);
        const Run r = runProgram(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(cliMessage), r.err.constData());
        QVERIFY(!r.err.contains("Missing URL after --repo"));
        QVERIFY2(logFiles().isEmpty(), "the command-line writer keeps no run log");
    }

    void installDfuUdevRules_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("alone") << QStringList{"--install-dfu-udev-rules"};
        QTest::newRow("before --cli")
            << QStringList{"--debug", "--install-dfu-udev-rules", "--cli", "x", "y"};
    }

    void installDfuUdevRules()
    {
        Q5_REQUIRE_ROOT();
        Q5_REQUIRE_TOOL("unshare");
        QFETCH(QStringList, args);
        ShimDir shims;
        shims.add("udevadm", "printf '%s\\n' \"$*\" >> '" + shims.logPath().toLocal8Bit() + "'\n");

        QString quotedArgs;
        for (const QString &a : args)
            quotedArgs += " '" + a + "'";
        const CommandResult r =
            runInEtcOverlay(QStringLiteral("R=/etc/udev/rules.d\n"
                                           "printf old > $R/99-orl-imager-dfu.rules\n"
                                           "printf old > $R/60-orl-imager-dfu.rules\n"
                                           "printf keep > $R/50-other.rules\n"
                                           "printf stale > $R/60-q5-orl-imager-dfu.rules\n"
                                           "set +e\n"
                                           "'%1'%2 2> \"$T/err\"; echo $? > \"$T/rc\"\n"
                                           "ls $R > \"$T/listing\"\n"
                                           "cp $R/60-q5-orl-imager-dfu.rules \"$T/rules\"\n")
                                .arg(Q5_IMAGER_PATH, quotedArgs));
        QVERIFY2(r.ok(), r.err.constData());

        auto read = [this](const char *name) {
            QFile f(_home->filePath(name));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        };
        QCOMPARE(read("rc"), QByteArray("0\n"));
        QCOMPARE(read("err"), QByteArray());
        QCOMPARE(read("rules"), kRulesText);
        QCOMPARE(read("listing"), QByteArray("50-other.rules\n60-q5-orl-imager-dfu.rules\n"));
        QCOMPARE(shims.loggedCalls(),
                 QStringList({"control --reload-rules", "trigger --subsystem-match=usb"}));
        QVERIFY(!QFile::exists("/etc/udev/rules.d/60-q5-orl-imager-dfu.rules"));
    }

    void installDfuUdevRulesWithoutPermission()
    {
        Q5_REQUIRE_ROOT();
        Q5_REQUIRE_TOOL("unshare");
        Q5_REQUIRE_TOOL("setpriv");
        ShimDir shims;
        shims.add("udevadm", "printf '%s\\n' \"$*\" >> '" + shims.logPath().toLocal8Bit() + "'\n");
        const CommandResult r = runInEtcOverlay(
            QStringLiteral("set +e\n"
                           "setpriv --reuid=65534 --regid=65534 --clear-groups '%1' "
                           "--install-dfu-udev-rules 2> \"$T/err\"; echo $? > \"$T/rc\"\n"
                           "ls /etc/udev/rules.d > \"$T/listing\"\n")
                .arg(Q5_IMAGER_PATH));
        QVERIFY2(r.ok(), r.err.constData());
        auto read = [this](const char *name) {
            QFile f(_home->filePath(name));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        };
        QCOMPARE(read("err"), QByteArray("q5-orl-imager: cannot write udev rules: Permission "
                                         "denied\n"));
        QCOMPARE(read("rc"), QByteArray("1\n"));
        QCOMPARE(read("listing"), QByteArray());
        QVERIFY(shims.loggedCalls().isEmpty());
    }

    void installDfuUdevRulesOnFullDisk()
    {
        Q5_REQUIRE_ROOT();
        Q5_REQUIRE_TOOL("unshare");
        ShimDir shims;
        shims.add("udevadm", "printf '%s\\n' \"$*\" >> '" + shims.logPath().toLocal8Bit() + "'\n");
        const CommandResult r = runInEtcOverlay(
            QStringLiteral("mount -t tmpfs -o size=8k tmpfs /etc/udev/rules.d\n"
                           "dd if=/dev/zero of=/etc/udev/rules.d/fill bs=4096 2>/dev/null || true\n"
                           "set +e\n"
                           "'%1' --install-dfu-udev-rules 2> \"$T/err\"; echo $? > \"$T/rc\"\n")
                .arg(Q5_IMAGER_PATH));
        QVERIFY2(r.ok(), r.err.constData());
        auto read = [this](const char *name) {
            QFile f(_home->filePath(name));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        };
        QCOMPARE(read("err"),
                 QByteArray("q5-orl-imager: cannot write udev rules: No space left on device\n"));
        QCOMPARE(read("rc"), QByteArray("1\n"));
        QVERIFY(shims.loggedCalls().isEmpty());
    }

    void mainWindowFrame()
    {
        const WindowRun w = runWindow(QSize(1920, 1080), QString());
        QCOMPARE(w.run.exitCode, 0);
        QCOMPARE(w.values.value("title"), QByteArray("Q5 Orlith Image Writer 1.2.0"));
        QCOMPARE(w.values.value("width"), QByteArray("800"));
        QCOMPARE(w.values.value("height"), QByteArray("600"));
        QCOMPARE(w.values.value("minimumWidth"), QByteArray("800"));
        QCOMPARE(w.values.value("minimumHeight"), QByteArray("600"));
        QCOMPARE(w.values.value("icon"), QByteArray("set"));
        QVERIFY(w.colours.contains("#18224f"));
        for (const char *function : kRootFunctions)
            QVERIFY2(w.methods.contains(function), function);
        QVERIFY2(!w.log.contains("No such slot"), w.log.constData());
        QVERIFY2(!w.log.contains("No such signal"), w.log.constData());
        QVERIFY2(w.log.endsWith("=== Session ended normally (exit code 0)\n"), w.log.constData());
    }

    void customTranslationFile()
    {
        const QString lrelease = "/usr/lib/qt6/bin/lrelease";
        if (!QFile::exists(lrelease))
            QSKIP("needs lrelease from qt6-l10n-tools");
        const QString ts = _home->filePath("custom.ts"), qm = _home->filePath("custom.qm");
        QFile f(ts);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                "<TS version=\"2.1\" language=\"de_DE\"><context><name>main</name><message>"
                "<source>Q5 Orlith Image Writer %1</source>"
                "<translation>Q5 Orlith Abbildschreiber %1</translation>"
                "</message></context></TS>\n");
        f.close();
        QVERIFY(run(lrelease, {ts, "-qm", qm}).ok());

        const WindowRun w = runWindow(QSize(1920, 1080), QString(), {"--qm", qm});
        QCOMPARE(w.run.exitCode, 0);
        QCOMPARE(w.values.value("title"), QByteArray("Q5 Orlith Abbildschreiber 1.2.0"));
    }

    void windowPosition_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QPoint>("saved");
        QTest::addColumn<QString>("move");
        QTest::addColumn<QPoint>("expected");
        QTest::addColumn<bool>("outsideLogged");
        QTest::addColumn<QPoint>("storedAfterExit");

        const QSize wide(1920, 1080);
        const QPoint none(-1, -1), centred(560, 240);
        QTest::newRow("nothing saved: centred") << wide << none << "" << centred << false << none;
        QTest::newRow("saved on screen: restored")
            << wide << QPoint(100, 50) << "" << QPoint(100, 50) << false << QPoint(100, 50);
        QTest::newRow("saved right of the screen: centred")
            << wide << QPoint(3000, 100) << "" << centred << true << QPoint(3000, 100);
        QTest::newRow("far corner off the screen: centred")
            << wide << QPoint(1500, 100) << "" << centred << true << QPoint(1500, 100);
        QTest::newRow("screen no larger than the window")
            << QSize(802, 600) << none << "" << QPoint(1, 1) << false << none;
        QTest::newRow("moved: stored on exit")
            << wide << none << "300,200" << centred << false << QPoint(300, 200);
    }

    void windowPosition()
    {
        QFETCH(QSize, screen);
        QFETCH(QPoint, saved);
        QFETCH(QString, move);
        QFETCH(QPoint, expected);
        QFETCH(bool, outsideLogged);
        QFETCH(QPoint, storedAfterExit);

        if (saved != QPoint(-1, -1))
            storePosition(saved.x(), saved.y());
        const WindowRun w = runWindow(screen, move);
        QCOMPARE(w.run.exitCode, 0);
        QCOMPARE(QPoint(w.values.value("x").toInt(), w.values.value("y").toInt()), expected);

        const QRegularExpression line(
            "\\n\\d\\d:\\d\\d:\\d\\d\\.\\d{3} D \\[(\\d+)\\] Not restoring saved window position "
            "as it falls outside any currently attached screen\\n");
        const QRegularExpressionMatch m = line.match(QString::fromUtf8(w.log));
        QCOMPARE(m.hasMatch(), outsideLogged);
        if (outsideLogged)
            QVERIFY2(logFiles().first().endsWith("-" + m.captured(1) + ".log"),
                     "the start-up thread is the main thread");

        QSettings settings(settingsFile(), QSettings::IniFormat);
        QCOMPARE(QPoint(settings.value("x", -1).toInt(), settings.value("y", -1).toInt()),
                 storedAfterExit);
    }
};

QTEST_GUILESS_MAIN(tst_Main)
#include "tst_main.moc"
