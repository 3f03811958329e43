// The controller's customization settings: saved settings, password forms checked against the
// system's own tools (crypt(3), openssl, wpa_passphrase, vncpasswd), SSH keys made by the real
// ssh-keygen, defaults, resource lists, keyboard detection on a fake root, and languages from
// translation files compiled by lrelease and registered as resources.

#include "imagefiles.h"
#include "imagewriter.h"
#include "testenv.h"

#include <QQmlApplicationEngine>
#include <QRegularExpression>
#include <QResource>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <random>

using namespace q5test;

namespace
{
QStringList g_log;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_log << msg;
}

QByteArray translationSource(const QString &language, const QString &translation)
{
    const QString message = QStringLiteral("<message><source>Probe</source><translation>%1"
                                           "</translation></message>")
                                .arg(translation);
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                          "<TS version=\"2.1\" language=\"%1\">\n"
                          "<context><name>ImageWriter</name>%2</context>\n"
                          "<context><name>Probe</name>%2</context>\n</TS>\n")
        .arg(language, message)
        .toUtf8();
}

// What crypt(3) of the C library computes for a password and a setting, through perl.
QByteArray systemCrypt(const QByteArray &password, const QByteArray &setting)
{
    const CommandResult r =
        run("perl", {"-e", "print crypt($ARGV[0], $ARGV[1])", QString::fromUtf8(password),
                     QString::fromLatin1(setting)});
    return r.ok() ? r.out : QByteArray();
}

QByteArray saltOf(const QString &cryptString)
{
    return cryptString.section(QLatin1Char('$'), 2, 2).toLatin1();
}

// The salt a generator seeded with this millisecond gives, as crypt(3)'s alphabet spells it.
QByteArray clockSalt(qint64 ms, int length)
{
    static const char alphabet[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::mt19937 gen(static_cast<quint32>(ms));
    std::uniform_int_distribution<int> pick(0, 63);
    QByteArray salt;
    for (int i = 0; i < length; ++i)
        salt += alphabet[pick(gen)];
    return salt;
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(writeFile(path, bytes));
}
} // namespace

class tst_CustomizationSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    QTemporaryDir _i18n;

    // .qm files made by lrelease, packed by rcc into ":/i18n"; one of them is not a
    // translation file at all.
    bool registerTranslations()
    {
        const QString lrelease = "/usr/lib/qt6/bin/lrelease";
        const QString rcc = "/usr/lib/qt6/libexec/rcc";
        const QList<QPair<QString, QString>> languages = {
            {"de", "Sonde"},    {"en", "Probe"},    {"fr", "Sonde-fr"}, {"it", "Sonda"},
            {"nb", "Sonde-nb"}, {"no", "Sonde-no"}, {"pt", "Sonda-pt"}};
        QString qrc = "<RCC><qresource prefix=\"/i18n\">";
        for (const auto &[code, translation] : languages) {
            const QString ts = _i18n.filePath("q5-orl-imager_" + code + ".ts");
            const QString qm = "q5-orl-imager_" + code + ".qm";
            if (!writeFile(ts, translationSource(code, translation)) ||
                !run(lrelease, {ts, "-qm", _i18n.filePath(qm)}).ok())
                return false;
            qrc += "<file>" + qm + "</file>";
        }
        if (!writeFile(_i18n.filePath("q5-orl-imager_nl.qm"), "not a translation file"))
            return false;
        qrc += "<file>q5-orl-imager_nl.qm</file></qresource></RCC>";
        const QString qrcPath = _i18n.filePath("i18n.qrc");
        const QString rccPath = _i18n.filePath("i18n.rcc");
        return writeFile(qrcPath, qrc.toUtf8()) &&
               run(rcc, {"-binary", qrcPath, "-o", rccPath}).ok() &&
               QResource::registerResource(rccPath);
    }

private slots:
    void initTestCase()
    {
        qputenv("HOME", _home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("q5-customization-settings-tests");
        if (!QFile::exists("/usr/lib/qt6/bin/lrelease") ||
            !QFile::exists("/usr/lib/qt6/libexec/rcc"))
            QSKIP("needs lrelease and rcc from Qt's tools in /usr/lib/qt6");
        QVERIFY(registerTranslations());
    }

    void init() { QSettings().clear(); }

    void payloadLogLineNamesKeysButNoValues()
    {
        ImageWriter w;
        g_log.clear();
        QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        w.setImageCustomization("dtoverlay=x\n", " quiet", "#!/bin/sh\n", "a: b\n", "v: 2\n",
                                "firstboot=1\nuserpasswd='$6$secretvalue'\n=orphan\n"
                                " wifiname = 'Home'\nnoequals\n");
        qInstallMessageHandler(previous);
        QCOMPARE(g_log.size(), 1);
        const QString line = g_log.first();
        QVERIFY2(line.startsWith("Customization: config.txt 12 bytes, cmdline.txt 6 bytes, "
                                 "firstrun.sh 10 bytes, cloud-init 5 + 5 bytes, orlinit keys:"),
                 qPrintable(line));
        QVERIFY2(line.contains("firstboot,userpasswd,wifiname"), qPrintable(line));
        QVERIFY(!line.contains("secretvalue"));
        QVERIFY(!line.contains("Home"));
        QVERIFY(!line.contains("orphan"));
    }

    void savedSettingsRoundTrip()
    {
        ImageWriter w;
        QVERIFY(!w.hasSavedCustomizationSettings());
        w.setSavedCustomizationSettings({{"hostname", "board"},
                                         {"sshEnabled", true},
                                         {"wifiSSID", "Home"},
                                         {"sshAuthorizedKeys", "ssh-rsa AAAA k@h\n"}});
        QVERIFY(w.hasSavedCustomizationSettings());
        w.setSavedCustomizationSettings({{"hostname", "other"}, {"vncEnabled", false}});

        // A fresh instance reads what the file holds: the old keys are gone, booleans are text.
        ImageWriter reader;
        const QVariantMap saved = reader.getSavedCustomizationSettings();
        QCOMPARE(saved.keys(), (QStringList{"hostname", "vncEnabled"}));
        QCOMPARE(saved.value("hostname").toString(), QString("other"));
        QCOMPARE(saved.value("vncEnabled").toString(), QString("false"));
        QSettings file;
        QCOMPARE(file.value("imagecustomization/hostname").toString(), QString("other"));

        reader.clearSavedCustomizationSettings();
        QVERIFY(w.hasSavedCustomizationSettings() == false);
        QVERIFY(w.getSavedCustomizationSettings().isEmpty());
    }

    void cryptMatchesSystemCrypt_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("plain") << QByteArray("raspberry");
        QTest::newRow("spaces and quotes") << QByteArray("it's a \"pass\" phrase");
        QTest::newRow("utf-8") << QString("pässwörd€").toUtf8();
        QTest::newRow("empty") << QByteArray();
    }

    void cryptMatchesSystemCrypt()
    {
        QFETCH(QByteArray, password);
        Q5_REQUIRE_TOOL("perl");
        Q5_REQUIRE_TOOL("openssl");
        ImageWriter w;
        static const QRegularExpression sha256Form(
            "^\\$5\\$[./0-9A-Za-z]{10}\\$[./0-9A-Za-z]{43}$");
        static const QRegularExpression sha512Form(
            "^\\$6\\$[./0-9A-Za-z]{16}\\$[./0-9A-Za-z]{86}$");

        const QString c5 = w.crypt(password);
        const QString c6 = w.crypt6(password);
        QVERIFY2(sha256Form.match(c5).hasMatch(), qPrintable(c5));
        QVERIFY2(sha512Form.match(c6).hasMatch(), qPrintable(c6));
        // crypt(3) given the whole string as setting must reproduce it: the password verifies.
        QCOMPARE(systemCrypt(password, c5.toLatin1()), c5.toLatin1());
        QCOMPARE(systemCrypt(password, c6.toLatin1()), c6.toLatin1());
        QVERIFY(systemCrypt(password + "x", c5.toLatin1()) != c5.toLatin1());

        if (password.isEmpty())
            return; // openssl's -stdin reads no password from an empty line
        const CommandResult o5 =
            run("openssl", {"passwd", "-5", "-salt", saltOf(c5), "-stdin"}, 10000, password + "\n");
        const CommandResult o6 =
            run("openssl", {"passwd", "-6", "-salt", saltOf(c6), "-stdin"}, 10000, password + "\n");
        QCOMPARE(o5.out.trimmed(), c5.toLatin1());
        QCOMPARE(o6.out.trimmed(), c6.toLatin1());
    }

    void cryptSaltsFollowTheClock()
    {
        ImageWriter w;
        // Each salt is what a Mersenne Twister seeded with the millisecond of the call draws.
        for (int i = 0; i < 5; ++i) {
            const qint64 before = QDateTime::currentMSecsSinceEpoch();
            const QByteArray salt5 = saltOf(w.crypt("a"));
            const QByteArray salt6 = saltOf(w.crypt6("a"));
            const qint64 after = QDateTime::currentMSecsSinceEpoch();
            QList<QByteArray> candidates5, candidates6;
            for (qint64 ms = before; ms <= after; ++ms) {
                candidates5 << clockSalt(ms, 10);
                candidates6 << clockSalt(ms, 16);
            }
            QVERIFY2(candidates5.contains(salt5), salt5);
            QVERIFY2(candidates6.contains(salt6), salt6);
            QTest::qSleep(3);
        }
        // Within one millisecond crypt's salt is the start of crypt6's.
        QCOMPARE(clockSalt(1234567, 16).left(10), clockSalt(1234567, 10));
    }

    void pbkdf2IsTheWpaPsk_data()
    {
        QTest::addColumn<QByteArray>("passphrase");
        QTest::addColumn<QByteArray>("ssid");
        QTest::addColumn<QString>("psk"); // empty: ask wpa_passphrase
        QTest::newRow("802.11i vector 1")
            << QByteArray("password") << QByteArray("IEEE")
            << "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e";
        QTest::newRow("802.11i vector 2")
            << QByteArray("ThisIsAPassword") << QByteArray("ThisIsASSID")
            << "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af";
        QTest::newRow("802.11i vector 3")
            << QByteArray(32, 'a') << QByteArray(32, 'Z')
            << "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62";
        QTest::newRow("quote in SSID")
            << QByteArray("correct horse") << QByteArray("Joe's AP") << QString();
        QTest::newRow("utf-8") << QString("şifre1234").toUtf8() << QString("Ağ").toUtf8()
                               << QString();
    }

    void pbkdf2IsTheWpaPsk()
    {
        QFETCH(QByteArray, passphrase);
        QFETCH(QByteArray, ssid);
        QFETCH(QString, psk);
        ImageWriter w;
        const QString ours = w.pbkdf2(passphrase, ssid);
        if (!psk.isEmpty())
            QCOMPARE(ours, psk);
        Q5_REQUIRE_TOOL("wpa_passphrase");
        const CommandResult r =
            run("wpa_passphrase", {QString::fromUtf8(ssid), QString::fromUtf8(passphrase)});
        QVERIFY2(r.ok(), r.out + r.err);
        static const QRegularExpression pskLine("\\n\\tpsk=([0-9a-f]{64})\\n");
        const QRegularExpressionMatch m = pskLine.match(QString::fromLatin1(r.out));
        QVERIFY(m.hasMatch());
        QCOMPARE(ours, m.captured(1));
    }

    void vncPasswordIsThePasswordFile_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("short") << "secret";
        QTest::newRow("eight") << "12345678";
        QTest::newRow("ten: first eight count") << "abcdefghij";
        QTest::newRow("empty: zero block") << "";
        QTest::newRow("utf-8 bytes") << "şifreğü";
    }

    void vncPasswordIsThePasswordFile()
    {
        QFETCH(QString, password);
        Q5_REQUIRE_TOOL("vncpasswd");
        ImageWriter w;
        const CommandResult r = run("vncpasswd", {"-f"}, 10000, password.toUtf8() + "\n");
        QVERIFY2(r.ok(), r.err);
        QCOMPARE(w.encrypt_vnc_password(password), QString::fromLatin1(r.out.toHex()));
        if (password.size() > 8)
            QCOMPARE(w.encrypt_vnc_password(password), w.encrypt_vnc_password(password.left(8)));
    }

    void sshKeyGeneration()
    {
        Q5_REQUIRE_TOOL("ssh-keygen");
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        ImageWriter w;
        QVERIFY(w.hasSshKeyGen());
        QVERIFY(!w.hasPubKey());
        QCOMPARE(w.getDefaultPubKey(), QString());

        w.generatePubKey();
        QVERIFY(w.hasPubKey());
        const QByteArray pub = readFile(home.filePath(".ssh/id_rsa.pub"));
        QVERIFY(pub.startsWith("ssh-rsa AAAA"));
        QCOMPARE(w.getDefaultPubKey(), QString::fromUtf8(pub.trimmed()));
        const CommandResult check = run("ssh-keygen", {"-y", "-f", home.filePath(".ssh/id_rsa")});
        QVERIFY(check.ok());
        QCOMPARE(check.out.split(' ').mid(0, 2), pub.split(' ').mid(0, 2));

        // An existing key is never replaced.
        w.generatePubKey();
        QCOMPARE(readFile(home.filePath(".ssh/id_rsa.pub")), pub);
        qputenv("HOME", _home.path().toLocal8Bit());
    }

    void sshKeyGenerationNeedsBothFilesAbsentAndTheTool()
    {
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        writeBytes(home.filePath(".ssh/id_rsa"), "private");
        ImageWriter w;
        w.generatePubKey();
        QVERIFY(!w.hasPubKey());

        QTemporaryDir empty;
        QVERIFY(QFile::remove(home.filePath(".ssh/id_rsa")));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", empty.path().toLocal8Bit());
        w.generatePubKey();
        qputenv("PATH", path);
        QVERIFY(!w.hasPubKey());
        QCOMPARE(w.getDefaultPubKey(), QString());
        qputenv("HOME", _home.path().toLocal8Bit());
    }

    void currentUser_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("username");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two capitalised words") << QByteArray("Jane Doe") << QByteArray() << "jane";
        QTest::newRow("root") << QByteArray("root") << QByteArray("x") << "pml";
        QTest::newRow("USERNAME when USER empty") << QByteArray() << QByteArray("Bob") << "bob";
        QTest::newRow("nothing") << QByteArray() << QByteArray() << "pml";
        QTest::newRow("leading space") << QByteArray(" alice") << QByteArray() << "pml";
    }

    void currentUser()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, username);
        QFETCH(QString, expected);
        const QByteArray savedUser = qgetenv("USER");
        const QByteArray savedUsername = qgetenv("USERNAME");
        qputenv("USER", user);
        qputenv("USERNAME", username);
        ImageWriter w;
        const QString got = w.getCurrentUser();
        qputenv("USER", savedUser);
        qputenv("USERNAME", savedUsername);
        QCOMPARE(got, expected);
    }

    void timezoneIsTheSystemOne()
    {
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", "Europe/Istanbul");
        ImageWriter w;
        const QString tz = w.getTimezone();
        qputenv("TZ", saved);
        QCOMPARE(tz, QString("Europe/Istanbul"));
    }

    void resourceLists()
    {
        ImageWriter w;
        const QStringList zones = w.getTimezoneList();
        QCOMPARE(zones.size(), 541);
        QCOMPARE(zones.first(), QString("Africa/Abidjan"));
        QCOMPARE(zones.last(), QString("US/Samoa"));
        static const QRegularExpression areaLocation("^[A-Z][A-Za-z]+/[A-Za-z0-9_+\\-/]+$");
        for (const QString &zone : zones)
            QVERIFY2(areaLocation.match(zone).hasMatch(), qPrintable(zone));
        for (const char *area :
             {"Etc/", "US/", "Canada/", "Brazil/", "Mexico/", "Chile/", "Mideast/"})
            QVERIFY2(!zones.filter(QRegularExpression(QString("^") + area)).isEmpty(), area);
        QVERIFY(zones.contains("Europe/Istanbul"));

        const QStringList countries = w.getCountryList();
        QCOMPARE(countries.size(), 249);
        QCOMPARE(countries.first(), QString("AD"));
        QCOMPARE(countries.last(), QString("ZW"));
        QCOMPARE(countries.filter(QRegularExpression("^[A-Z]{2}$")).size(), 249);
        QVERIFY(countries.contains("TR"));

        const QString layouts =
            "af al am ara at au az ba bd be bg br brai bt bw by ca cd ch cm cn cz de dk dz ee "
            "epo es et fi fo fr gb ge gh gn gr hr hu id ie il in iq ir is it jp jv ke kg kh kr "
            "kz la latam lk lt lv ma mao md me mk ml mm mn mt mv my ng nl no np ph pk pl pt ro "
            "rs ru se si sk sn sy tg th tj tm tr tw tz ua us uz vn za";
        QCOMPARE(w.getKeymapLayoutList(), layouts.split(' '));
        QCOMPARE(w.getKeymapLayoutList().size(), 98);
    }

    void keyboardDetection_data()
    {
        QTest::addColumn<QVariant>("countryCode"); // invalid: no device-tree property
        QTest::addColumn<QStringList>("inputNames");
        QTest::addColumn<QString>("expected");
        const QVariant none;
        QTest::newRow("nothing") << none << QStringList() << "";
        QTest::newRow("device tree 5")
            << QVariant(QByteArray("\0\0\x05\0", 4)) << QStringList() << "de";
        QTest::newRow("device tree 14") << QVariant(QByteArray("AB\x0e"
                                                               "C",
                                                               4))
                                        << QStringList() << "il";
        QTest::newRow("device tree 15 is beyond the table")
            << QVariant(QByteArray("\0\0\x0f\0", 4)) << QStringList{"PML_Wired_Keyboard_1"} << "";
        QTest::newRow("negative device-tree byte")
            << QVariant(QByteArray("\0\0\xff\0", 4)) << QStringList() << "";
        QTest::newRow("device tree wins")
            << QVariant(QByteArray("\0\0\x02\0", 4)) << QStringList{"PML_Wired_Keyboard_5"} << "fr";
        QTest::newRow("zero falls back to the keyboard")
            << QVariant(QByteArray("\0\0\0\0", 4))
            << QStringList{"usb-PML_Wired_Keyboard_13-event-kbd"} << "tr";
        QTest::newRow("wrong length falls back")
            << QVariant(QByteArray("\0\0\x05", 3)) << QStringList{"PML_Wired_Keyboard_3"} << "es";
        QTest::newRow("last match wins")
            << none << QStringList{"a-PML_Wired_Keyboard_1", "b-mouse", "c-PML_Wired_Keyboard_12"}
            << "ru";
        QTest::newRow("number beyond 32 bits")
            << none << QStringList{"PML_Wired_Keyboard_99999999999"} << "";
        QTest::newRow("other devices")
            << none << QStringList{"usb-Logitech_Keyboard-event-kbd"} << "";
    }

    void keyboardDetection()
    {
        QFETCH(QVariant, countryCode);
        QFETCH(QStringList, inputNames);
        QFETCH(QString, expected);
        QTemporaryDir root;
        if (countryCode.isValid())
            writeBytes(root.filePath("proc/device-tree/chosen/pmlr-country-code"),
                       countryCode.toByteArray());
        QDir().mkpath(root.filePath("dev/input/by-id"));
        for (const QString &name : inputNames) {
            // As on a board: symbolic links to event devices.
            QVERIFY(QFile::link("../event3", root.filePath("dev/input/by-id/" + name)));
        }
        QCOMPARE(ImageWriter::detectKeyboardLayout(root.path()), expected);
    }

    void keyboardChoice()
    {
        ImageWriter w;
        QCOMPARE(w.getCurrentKeyboard(), QString()); // not embedded: nothing detected
        w.changeKeyboard("de");
        QCOMPARE(w.getCurrentKeyboard(), QString("de"));
        w.changeKeyboard("");
        QCOMPARE(w.getCurrentKeyboard(), QString("de"));
    }

    void translationScan()
    {
        ImageWriter w;
        // The system locale of this run is French (set before the application started).
        QCOMPARE(w.getCurrentLanguage(), QString("français"));
        QCOMPARE(w.getTranslations(), (QStringList{"Deutsch", "English", "français", "italiano",
                                                   "Nederlands", "norsk bokmål", "português"}));
    }

    void changeLanguage()
    {
        ImageWriter w;
        QQmlApplicationEngine engine;
        w.setEngine(&engine);
        engine.loadData("import QtQml\nQtObject { property string t: qsTr(\"Probe\") }",
                        QUrl("qrc:/Probe.qml"));
        QCOMPARE(engine.rootObjects().size(), 1);
        QObject *probe = engine.rootObjects().first();
        QSignalSpy listPrepared(&w, &ImageWriter::osListPrepared);

        w.changeLanguage("Deutsch");
        QCOMPARE(w.getCurrentLanguage(), QString("Deutsch"));
        QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Sonde"));
        QCOMPARE(probe->property("t").toString(), QString("Sonde"));
        QCOMPARE(listPrepared.count(), 1);

        // Nothing happens for the current language, an unknown one or an empty name.
        for (const QString &name : {QString("Deutsch"), QString("Klingon"), QString()})
            w.changeLanguage(name);
        QCOMPARE(listPrepared.count(), 1);

        // Two codes with the same native name (nb, no): the later file in name order wins.
        w.changeLanguage("norsk bokmål");
        QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Sonde-no"));
        QCOMPARE(probe->property("t").toString(), QString("Sonde-no"));
        QCOMPARE(listPrepared.count(), 2);

        // A file that does not load leaves the language as it was.
        w.changeLanguage("Nederlands");
        QCOMPARE(w.getCurrentLanguage(), QString("norsk bokmål"));
        QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Sonde-no"));
        QCOMPARE(listPrepared.count(), 2);
    }

    void replacedTranslatorLeavesWithTheController()
    {
        {
            ImageWriter w;
            w.changeLanguage("italiano");
            QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Sonda"));
            auto *own = new QTranslator;
            QVERIFY(own->load(":/i18n/q5-orl-imager_de.qm"));
            w.replaceTranslator(own);
            QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Sonde"));
        }
        QCOMPARE(QCoreApplication::translate("ImageWriter", "Probe"), QString("Probe"));
    }
};

int main(int argc, char **argv)
{
    // The translation scan takes the current language from the system locale.
    qputenv("LC_ALL", "fr_FR.UTF-8");
    QCoreApplication app(argc, argv);
    tst_CustomizationSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_customizationsettings.moc"
