// The controller's repository list against a local HTTP server and local files: sub-lists
// fetched and merged, depth limits, hardware filtering, reply status handling, the UI's
// caching network managers, and the embedded-mode steps (address polling, clock from the
// server's "Date", repository URL from the board's EEPROM, USB sticks as image source) run
// against a stand-in board tree.

#include "logcapture.h"
#include "httpserver.h"
#include "imagefiles.h"
#include "imagewriter.h"
#include "networkaccessmanagerfactory.h"
#include "shimdir.h"
#include "testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace
{
QStringList linesStartingWith(const QStringList &log, const QString &prefix)
{
    QStringList out;
    for (const QString &line : log)
        if (line.startsWith(prefix))
            out << line;
    return out;
}

QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson();
}

QJsonObject entry(const QString &name, const QJsonObject &extra = {})
{
    QJsonObject e = extra;
    e.insert("name", name);
    return e;
}

QJsonObject parse(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QStringList names(const QJsonArray &list)
{
    QStringList out;
    for (const QJsonValue &v : list)
        out << v.toObject().value("name").toString();
    return out;
}

QJsonArray osList(ImageWriter &w)
{
    return parse(w.getFilteredOSlist()).value("os_list").toArray();
}

QJsonObject findEntry(const QJsonArray &list, const QString &name)
{
    for (const QJsonValue &v : list)
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    return {};
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
}

const QJsonArray extraEntries{
    QJsonObject{{"name", "Erase"},
                {"description", "Format card as FAT32"},
                {"icon", "icons/erase.png"},
                {"url", "internal://format"}},
    QJsonObject{{"name", "Use custom"},
                {"description", "Select a custom .img from your computer"},
                {"icon", "icons/use_custom.png"},
                {"url", ""}}};
} // namespace

class tst_RepositoryList : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    std::unique_ptr<HttpServer> _server;

    // Fetches the list at `url` on a fresh controller and waits for `replies` accepted replies.
    void fetch(ImageWriter &w, const QUrl &url, int replies)
    {
        QSignalSpy prepared(&w, &ImageWriter::osListPrepared);
        w.setCustomOsListUrl(url);
        w.beginOSListFetch();
        QVERIFY2(waitFor([&] { return prepared.count() >= replies; }),
                 qPrintable(QString("%1 of %2 replies").arg(prepared.count()).arg(replies)));
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager");
        // Nothing here may touch this machine's clock.
        ImageWriter::setClockSetter([](qint64) { return true; });
        qInstallMessageHandler(captureMessage);
        _server = std::make_unique<HttpServer>();
        QVERIFY(_server->isValid());
    }

    void cleanupTestCase()
    {
        _server.reset();
        qInstallMessageHandler(nullptr);
        ImageWriter::setSystemRoot(QString());
        ImageWriter::setRepositoryServer(QString());
    }

    void init() { takeLog(); }

    void filteredListBeforeAnyReply()
    {
        ImageWriter w;
        QJsonObject expected{{"imager", QJsonObject()}, {"os_list", extraEntries}};
        QCOMPARE(parse(w.getFilteredOSlist()), expected);
        QVERIFY(w.getFilteredOSlist().contains("\n    ")); // indented text
    }

    void repositoryUrlDefaultsAndCustom()
    {
        ImageWriter w;
        QCOMPARE(w.constantOsListUrl().path(), QString("/images/list.json"));
        QCOMPARE(w.constantOsListUrl().scheme(), QString("https"));
        QVERIFY(!w.customRepo());
        const QUrl custom = QUrl::fromLocalFile("/srv/lists/list.json");
        w.setCustomOsListUrl(custom);
        QCOMPARE(w.constantOsListUrl(), custom);
        QVERIFY(w.customRepo());
    }

    void subListsAreFetchedAndMerged()
    {
        const QString base = _server->baseUrl();
        _server->addFile("m/a.json", json({{"os_list", QJsonArray{entry("a1"), entry("a2")}}}));
        _server->addFile(
            "m/b.json",
            json({{"os_list",
                   QJsonArray{entry("b1"), entry("bc", {{"subitems_url", base + "/m/c.json"}})}}}));
        _server->addFile("m/c.json", json({{"os_list", QJsonArray{entry("c1")}}}));
        const QJsonObject imager{{"latest_version", "9.9"}, {"devices", QJsonArray{}}};
        _server->addFile(
            "m/list.json",
            json({{"imager", imager},
                  {"extra_key", "dropped after merging"},
                  {"os_list",
                   QJsonArray{
                       entry("A", {{"subitems_url", base + "/m/a.json"}}),
                       entry("plain", {{"url", "http://x/y.img"}}),
                       entry("outer",
                             {{"subitems", QJsonArray{entry("B", {{"subitems_url",
                                                                   base + "/m/b.json"}})}}})}}}));
        ImageWriter w;
        fetch(w, QUrl(base + "/m/list.json"), 4);

        const QJsonObject doc = parse(w.getFilteredOSlist());
        QCOMPARE(doc.value("imager").toObject(), imager);
        QCOMPARE(doc.keys(), QStringList({"imager", "os_list"}));
        const QJsonArray list = doc.value("os_list").toArray();
        QCOMPARE(names(list), QStringList({"A", "plain", "outer", "Erase", "Use custom"}));
        const QJsonObject a = findEntry(list, "A");
        QCOMPARE(names(a.value("subitems").toArray()), QStringList({"a1", "a2"}));
        QVERIFY(!a.contains("subitems_url"));
        const QJsonObject b = findEntry(findEntry(list, "outer").value("subitems").toArray(), "B");
        QCOMPARE(names(b.value("subitems").toArray()), QStringList({"b1", "bc"}));
        const QJsonObject bc = findEntry(b.value("subitems").toArray(), "bc");
        QCOMPARE(names(bc.value("subitems").toArray()), QStringList({"c1"}));
        QVERIFY(!bc.contains("subitems_url"));
    }

    void unmatchedSubListReplyLeavesTheList()
    {
        _server->addFile("u/list.json",
                         json({{"imager", QJsonObject{{"k", 1}}},
                               {"extra_key", true},
                               {"os_list", QJsonArray{entry("one"), entry("two")}}}));
        ImageWriter w;
        fetch(w, QUrl(_server->url("/u/list.json")), 1);
        const QByteArray before = w.getFilteredOSlist();
        // The same list again arrives as a sub-list no entry asked for.
        QSignalSpy prepared(&w, &ImageWriter::osListPrepared);
        w.beginOSListFetch();
        QVERIFY(prepared.wait(10000));
        QCOMPARE(parse(w.getFilteredOSlist()), parse(before));
    }

    void localFileListIsAccepted()
    {
        QTemporaryDir dir;
        QVERIFY(
            writeFile(dir.filePath("list.json"), json({{"os_list", QJsonArray{entry("local")}}})));
        ImageWriter w;
        fetch(w, QUrl::fromLocalFile(dir.filePath("list.json")), 1);
        QCOMPARE(names(osList(w)), QStringList({"local", "Erase", "Use custom"}));
    }

    void nestingBeyondSixteenLevelsIsCut()
    {
        // 18 levels of categories below the top, and a sub-list to merge into them.
        QJsonObject innermost = entry("level18", {{"subitems", QJsonArray{entry("leaf")}}});
        for (int level = 17; level >= 1; --level)
            innermost = entry(QString("level%1").arg(level), {{"subitems", QJsonArray{innermost}}});
        _server->addFile("d/sub.json", json({{"os_list", QJsonArray{entry("merged")}}}));
        _server->addFile(
            "d/list.json",
            json({{"os_list",
                   QJsonArray{innermost,
                              entry("S", {{"subitems_url", _server->url("/d/sub.json")}})}}}));
        ImageWriter w;
        fetch(w, QUrl(_server->url("/d/list.json")), 2);
        const QStringList log = takeLog();
        QCOMPARE(linesStartingWith(log, "Aborting fetch of subitems JSON, exceeded maximum "
                                        "configured limit of  16  levels.")
                     .size(),
                 1);
        QCOMPARE(linesStartingWith(log, "Aborting insertion of subitems, exceeded maximum "
                                        "configured limit of  16  levels.")
                     .size(),
                 1);

        QJsonObject level = findEntry(osList(w), "level1");
        for (int depth = 2; depth <= 17; ++depth) {
            const QJsonArray sub = level.value("subitems").toArray();
            QVERIFY2(sub.size() == 1, qPrintable(QString("level %1").arg(depth)));
            level = sub.first().toObject();
        }
        QCOMPARE(level.value("name").toString(), QString("level17"));
        QCOMPARE(level.value("subitems").toArray(), QJsonArray());
        QCOMPARE(names(findEntry(osList(w), "S").value("subitems").toArray()),
                 QStringList{"merged"});
    }

    void hardwareFilter_data()
    {
        QTest::addColumn<QByteArray>("filter");
        QTest::addColumn<bool>("inclusive");
        QTest::addColumn<QStringList>("top");
        QTest::addColumn<QStringList>("inCategory");
        QTest::newRow("exclusive") << QByteArray(R"(["b1"])") << false
                                   << QStringList{"both", "category"} << QStringList{"cb1"};
        QTest::newRow("inclusive")
            << QByteArray(R"(["b1"])") << true << QStringList{"both", "untagged", "category"}
            << QStringList{"cb1", "cuntagged"};
        QTest::newRow("case matters")
            << QByteArray(R"(["B1"])") << false << QStringList{} << QStringList{};
        QTest::newRow("unparsable filter shows all")
            << QByteArray("not json") << false
            << QStringList{"both", "other", "untagged", "emptydevices", "category", "gone"}
            << QStringList{"cb1", "cb2", "cuntagged"};
    }
    void hardwareFilter()
    {
        QFETCH(QByteArray, filter);
        QFETCH(bool, inclusive);
        QFETCH(QStringList, top);
        QFETCH(QStringList, inCategory);
        QTemporaryDir dir;
        const QJsonObject doc{
            {"os_list",
             QJsonArray{
                 entry("both", {{"devices", QJsonArray{"b1", "b2"}}}),
                 entry("other", {{"devices", QJsonArray{"b2"}}}), entry("untagged"),
                 entry("emptydevices", {{"devices", QJsonArray{}}}),
                 entry("category",
                       {{"devices", QJsonArray{"b2"}},
                        {"subitems", QJsonArray{entry("cb1", {{"devices", QJsonArray{"b1"}}}),
                                                entry("cb2", {{"devices", QJsonArray{"b2"}}}),
                                                entry("cuntagged")}}}),
                 entry("gone",
                       {{"subitems", QJsonArray{entry("g", {{"devices", QJsonArray{"b3"}}})}}})}}};
        QVERIFY(writeFile(dir.filePath("list.json"), json(doc)));
        ImageWriter w;
        fetch(w, QUrl::fromLocalFile(dir.filePath("list.json")), 1);
        w.setHWFilterList(filter, inclusive);
        const QJsonArray list = osList(w);
        QCOMPARE(names(list), top + QStringList({"Erase", "Use custom"}));
        QCOMPARE(names(findEntry(list, "category").value("subitems").toArray()), inCategory);
    }

    void replyStatusHandling_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("logPrefix");
        QTest::addColumn<int>("requests");
        QTest::newRow("404") << "/s/missing.json"
                             << "Failed to fetch URL [" << 1;
        QTest::newRow("503") << "/status/503"
                             << "Failed to fetch URL [" << 1;
        QTest::newRow("no os_list") << "/s/bad.json"
                                    << "Incorrectly formatted OS list at: " << 1;
        QTest::newRow("unfollowed redirect, for ever") << "/flaky/300/1000/s/good.json"
                                                       << "Giving up on URL [" << 4;
    }
    void replyStatusHandling()
    {
        QFETCH(QString, path);
        QFETCH(QString, logPrefix);
        QFETCH(int, requests);
        _server->addFile("s/bad.json", json({{"something", "else"}}));
        _server->addFile("s/good.json", json({{"os_list", QJsonArray{entry("good")}}}));
        ImageWriter w;
        QSignalSpy prepared(&w, &ImageWriter::osListPrepared);
        const int before = _server->requests().size();
        w.setCustomOsListUrl(QUrl(_server->url(path)));
        w.beginOSListFetch();
        QVERIFY(waitFor([&] { return !linesStartingWith(takeLog(), logPrefix).isEmpty(); }));
        QTest::qWait(200);
        QCOMPARE(prepared.count(), 0);
        QCOMPARE(_server->requests().size() - before, requests);
        QCOMPARE(names(osList(w)), QStringList({"Erase", "Use custom"}));
    }

    void unfollowedRedirectIsAskedAgain()
    {
        _server->addFile("r/good.json", json({{"os_list", QJsonArray{entry("second try")}}}));
        ImageWriter w;
        fetch(w, QUrl(_server->url("/flaky/300/2/r/good.json")), 1);
        QCOMPARE(names(osList(w)), QStringList({"second try", "Erase", "Use custom"}));
    }

    void networkErrorIsLogged()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        const int port = probe.serverPort();
        probe.close();
        ImageWriter w;
        QSignalSpy prepared(&w, &ImageWriter::osListPrepared);
        w.setCustomOsListUrl(QUrl(QString("http://127.0.0.1:%1/list.json").arg(port)));
        w.beginOSListFetch();
        QVERIFY(waitFor(
            [&] { return !linesStartingWith(takeLog(), "Unrecognised QT error: ").isEmpty(); }));
        QCOMPARE(prepared.count(), 0);
    }

    void uiManagersGetNumberedClearedCaches()
    {
        const QString cacheDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        QVERIFY(QDir().mkpath(cacheDir + "/oslistcache0/data8"));
        QVERIFY(writeFile(cacheDir + "/oslistcache0/data8/0123456789abcdef.d", "old entry"));
        NetworkAccessManagerFactory factory;
        QObject owner;
        QNetworkAccessManager *first = factory.create(&owner);
        QNetworkAccessManager *second = factory.create(&owner);
        QCOMPARE(first->parent(), &owner);
        auto *cache0 = qobject_cast<QNetworkDiskCache *>(first->cache());
        auto *cache1 = qobject_cast<QNetworkDiskCache *>(second->cache());
        QVERIFY(cache0 && cache1);
        QCOMPARE(cache0->cacheDirectory(), cacheDir + "/oslistcache0/");
        QCOMPARE(cache1->cacheDirectory(), cacheDir + "/oslistcache1/");
        QVERIFY(!QFile::exists(cacheDir + "/oslistcache0/data8/0123456789abcdef.d"));

        // What the manager fetches ends up in its cache.
        _server->addFile("icons/icon.png", randomBytes(3000, 2));
        QNetworkReply *reply = first->get(QNetworkRequest(QUrl(_server->url("/icons/icon.png"))));
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        QCOMPARE(reply->readAll(), randomBytes(3000, 2));
        QVERIFY(cache0->cacheSize() > 0);
    }

    void embeddedAddressPolling()
    {
        // Being online schedules the time request: keep it on the test server.
        ImageWriter::setRepositoryServer(_server->baseUrl());
        ImageWriter w;
        QSignalSpy info(&w, &ImageWriter::networkInfo);
        QVERIFY(QMetaObject::invokeMethod(&w, "pollNetwork"));
        const CommandResult addresses = run("ip", {"-o", "addr", "show"});
        bool haveGlobal = false;
        for (const QByteArray &line : addresses.out.split('\n'))
            haveGlobal = haveGlobal || (line.contains("inet") && !line.contains(" lo ") &&
                                        !line.contains("scope link"));
        if (!haveGlobal) {
            QCOMPARE(info.count(), 0);
            QVERIFY(!w.isOnline() || !w.isEmbeddedMode());
            return;
        }
        QCOMPARE(info.count(), 1);
        const QString text = info.first().first().toString();
        QVERIFY(text.startsWith("IP: "));
        const QString address = text.mid(4);
        QVERIFY(address != "127.0.0.1" && address != "::1" && !address.startsWith("fe80"));
        QVERIFY2(addresses.out.contains(" " + address.toLatin1() + "/"), qPrintable(address));
        ImageWriter::setRepositoryServer(QString());
    }

    void embeddedClockFromServerDate()
    {
        QList<qint64> clock;
        ImageWriter::setClockSetter([&clock](qint64 s) {
            clock << s;
            return true;
        });
        HttpServer::Options options;
        options.date = "Tue, 15 Nov 1994 08:12:31 GMT";
        options.omitDate = 1;
        HttpServer timeServer(options);
        QVERIFY(timeServer.isValid());
        ImageWriter::setRepositoryServer(timeServer.baseUrl());
        timeServer.addFile("images/list.json",
                           json({{"os_list", QJsonArray{entry("from server")}}}));
        {
            ImageWriter w;
            QSignalSpy info(&w, &ImageWriter::networkInfo);
            QSignalSpy online(&w, &ImageWriter::networkOnline);
            QSignalSpy prepared(&w, &ImageWriter::osListPrepared);
            QVERIFY(QMetaObject::invokeMethod(&w, "syncTime"));
            // The first answer lacks a "Date": one retry three seconds later.
            QVERIFY(info.wait(10000));
            QCOMPARE(info.first().first().toString(),
                     QString("Error synchronizing time. Trying again in 3 seconds"));
            QVERIFY(online.wait(10000));
            QVERIFY(waitFor([&] { return prepared.count() == 1; }));
            QCOMPARE(clock, QList<qint64>{784887151});
            QCOMPARE(names(osList(w)), QStringList({"from server", "Erase", "Use custom"}));
        }
        ImageWriter::setRepositoryServer(QString());
        ImageWriter::setClockSetter([](qint64) { return true; });

        const QList<QJsonObject> requests = timeServer.requests();
        QCOMPARE(requests.size(), 3);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(requests.at(i).value("method").toString(), QString("HEAD"));
            QCOMPARE(requests.at(i).value("path").toString(),
                     QString("/images/list.json?time_synchronization"));
        }
        QCOMPARE(requests.at(2).value("method").toString(), QString("GET"));
        QCOMPARE(requests.at(2).value("path").toString(), QString("/images/list.json"));
    }

    void eepromRepository_data()
    {
        QTest::addColumn<QByteArray>("nvmem");
        QTest::addColumn<QString>("url");
        QTest::newRow("one line")
            << QByteArray("SERIAL=1234\nIMAGER_REPO_URL= https://r.example/l.json \n")
            << "https://r.example/l.json";
        QTest::newRow("later line wins")
            << QByteArray("IMAGER_REPO_URL=https://a/1.json\n\x01\x02junk\nIMAGER_REPO_URL=https://"
                          "b/2.json\n")
            << "https://b/2.json";
        QTest::newRow("none") << QByteArray("SERIAL=1\n") << QString();
    }
    void eepromRepository()
    {
        QFETCH(QByteArray, nvmem);
        QFETCH(QString, url);
        QTemporaryDir board;
        const QString root = board.path();
        const QString node = "/bus@f0000/i2c@20000000/eeprom@50";
        QVERIFY(QDir().mkpath(root + "/sys/firmware/devicetree/base" + node));
        QVERIFY(QDir().mkpath(root + "/sys/firmware/devicetree/base/aliases"));
        QVERIFY(writeFile(root + "/sys/firmware/devicetree/base/aliases/blconfig",
                          node.toLatin1() + QByteArray(1, '\0')));
        const QString device = root + "/sys/devices/platform/bus@f0000/20000000.i2c/i2c-0/0-0050";
        QVERIFY(QDir().mkpath(device));
        QVERIFY(writeFile(device + "/nvmem", nvmem));
        QVERIFY(QFile::link(root + "/sys/firmware/devicetree/base" + node, device + "/of_node"));
        QVERIFY(QDir().mkpath(root + "/sys/bus/nvmem/devices"));
        QVERIFY(QFile::link(device, root + "/sys/bus/nvmem/devices/0-00500"));

        ImageWriter::setSystemRoot(root);
        const QString found = ImageWriter::repositoryUrlFromEeprom();
        ImageWriter::setSystemRoot(QString());
        QCOMPARE(found, url);
        if (!url.isEmpty())
            QVERIFY(takeLog().contains("Repository from EEPROM: \"" + url + "\""));
    }

    void eepromMissingLeavesNothing()
    {
        QTemporaryDir board;
        ImageWriter::setSystemRoot(board.path());
        QCOMPARE(ImageWriter::repositoryUrlFromEeprom(), QString());
        ImageWriter::setSystemRoot(QString());
    }

    void usbSticksAreMountedAndListed()
    {
        QTemporaryDir board;
        const QString root = board.path();
        QVERIFY(QDir().mkpath(root + "/sys/devices/virtual/block/loop0"));
        for (const QString dev : {"sda", "sda1", "sdb", "sdc", "mmcblk0p1"})
            QVERIFY(QDir().mkpath(root + "/sys/devices/platform/usb/" + dev));
        QVERIFY(QDir().mkpath(root + "/sys/class/block"));
        for (const QString dev : {"sda", "sda1", "sdb", "sdc", "mmcblk0p1"})
            QVERIFY(
                QFile::link("../../devices/platform/usb/" + dev, root + "/sys/class/block/" + dev));
        QVERIFY(QFile::link("../../devices/virtual/block/loop0", root + "/sys/class/block/loop0"));
        QVERIFY(QDir().mkpath(root + "/media/sdc")); // mounted before

        ShimDir shims;
        shims.add("mount", "printf '%s\\n' \"$*\" >> '" + shims.logPath().toLocal8Bit() +
                               "'\ncase \"$3\" in /dev/sdb) exit 32;; esac\nexit 0\n");
        ImageWriter::setSystemRoot(root);
        ImageWriter w;
        QVERIFY(w.mountUsbSourceMedia());
        QCOMPARE(shims.loggedCalls(), QStringList({"-o ro /dev/sda " + root + "/media/sda",
                                                   "-o ro /dev/sda1 " + root + "/media/sda1",
                                                   "-o ro /dev/sdb " + root + "/media/sdb"}));
        QVERIFY(QDir(root + "/media/sda").exists());
        QVERIFY(!QDir(root + "/media/sdb").exists());

        QVERIFY(writeFile(root + "/media/sda1/b.img", QByteArray(1024, 'b')));
        QVERIFY(writeFile(root + "/media/sda1/a.zst", QByteArray(10, 'a')));
        QVERIFY(writeFile(root + "/media/sda1/notes.txt", "x"));
        QVERIFY(writeFile(root + "/media/sdc/c.xz", QByteArray(3, 'c')));
        const QJsonArray list = QJsonDocument::fromJson(w.getUsbSourceOSlist()).array();
        ImageWriter::setSystemRoot(QString());
        const QJsonArray expected{
            QJsonObject{{"name", "a.zst"},
                        {"description", "sda1/a.zst"},
                        {"url", QUrl::fromLocalFile(root + "/media/sda1/a.zst").toString()},
                        {"release_date", ""},
                        {"image_download_size", 10}},
            QJsonObject{{"name", "b.img"},
                        {"description", "sda1/b.img"},
                        {"url", QUrl::fromLocalFile(root + "/media/sda1/b.img").toString()},
                        {"release_date", ""},
                        {"image_download_size", 1024}},
            QJsonObject{{"name", "c.xz"},
                        {"description", "sdc/c.xz"},
                        {"url", QUrl::fromLocalFile(root + "/media/sdc/c.xz").toString()},
                        {"release_date", ""},
                        {"image_download_size", 3}}};
        QCOMPARE(list, expected);
    }

    void noUsbStickMeansFalse()
    {
        QTemporaryDir board;
        QVERIFY(QDir().mkpath(board.path() + "/sys/class/block"));
        ImageWriter::setSystemRoot(board.path());
        ImageWriter w;
        QVERIFY(!w.mountUsbSourceMedia());
        QVERIFY(QDir(board.path() + "/media").exists());
        QCOMPARE(QJsonDocument::fromJson(w.getUsbSourceOSlist()).array(), QJsonArray());
        ImageWriter::setSystemRoot(QString());
    }
};

QTEST_GUILESS_MAIN(tst_RepositoryList)
#include "tst_repositorylist.moc"
