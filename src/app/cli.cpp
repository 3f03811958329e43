#include "cli.h"

#include "config.h"
#include "drivelistmodel.h"
#include "imagewriter.h"
#include "linuxdrivelist.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

void printLine(const QByteArray &text)
{
    std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}

// Capacity of a block device, 0 for anything else or when it cannot be opened. Knowing it
// lets the controller refuse an image that cannot fit before the drive is touched.
quint64 blockDeviceCapacity(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    quint64 size = 0;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || ::ioctl(fd, BLKGETSIZE64, &size) != 0)
        size = 0;
    ::close(fd);
    return size;
}

// Reads a customization file; prints the matching error text and returns false on failure.
bool readCustomizationFile(const QString &name, const char *missingText, const char *openText,
                           QByteArray &contents)
{
    QFile f(name);
    if (!f.exists()) {
        printLine(missingText);
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        printLine(openText);
        return false;
    }
    contents = f.readAll();
    return true;
}

} // namespace

Cli::Cli(int &argc, char *argv[]) : QObject(nullptr)
{
    _app = new QCoreApplication(argc, argv);
    _app->setOrganizationName(QStringLiteral(Q5_ORGANISATION_NAME));
    _app->setOrganizationDomain(QStringLiteral(Q5_ORGANISATION_DOMAIN));
    _app->setApplicationName(QStringLiteral(Q5_APPLICATION_NAME));
    _imageWriter = new ImageWriter();
    connect(_imageWriter, &ImageWriter::success, this, &Cli::onSuccess);
    connect(_imageWriter, &ImageWriter::error, this, &Cli::onError);
    connect(_imageWriter, &ImageWriter::preparationStatusUpdate, this,
            &Cli::onPreparationStatusUpdate);
    connect(_imageWriter, &ImageWriter::downloadProgress, this, &Cli::onDownloadProgress);
    connect(_imageWriter, &ImageWriter::sendProgress, this, &Cli::onSendingProgress);
    connect(_imageWriter, &ImageWriter::verifyProgress, this, &Cli::onVerifyProgress);
}

Cli::~Cli()
{
    delete _imageWriter;
    delete _app;
}

int Cli::run()
{
    QCommandLineParser parser;
    const QList<QCommandLineOption> options{
        {"cli", ""},
        {"disable-verify", "Disable verification"},
        {"enable-writing-system-drives", "Only use this if you know what you are doing"},
        {"sha256", "Expected hash", "sha256"},
        {"cache-file", "Custom cache file (requires setting sha256 as well)", "cache-file"},
        {"first-run-script", "Add firstrun.sh to image", "first-run-script"},
        {"cloudinit-userdata", "Add cloud-init user-data file to image", "cloudinit-userdata"},
        {"cloudinit-networkconfig", "Add cloud-init network-config file to image",
         "cloudinit-networkconfig"},
        {"disable-eject", "Disable automatic ejection of storage media after verification"},
        {"debug", "Output debug messages to console"},
        {"quiet", "Only write to console on error"},
    };
    parser.addOptions(options);
    parser.addPositionalArgument("src", "Image file/URL");
    parser.addPositionalArgument("dst", "Destination device");
    parser.process(*_app);

    const QStringList args = parser.positionalArguments();
    if (args.size() != 2) {
        printLine("Usage: --cli [--disable-verify] [--disable-eject] [--sha256 <expected hash> "
                  "[--cache-file <cache file>]] [--first-run-script <script>] [--debug] "
                  "[--quiet] <image file to write> <destination drive device>");
        return 1;
    }

    if (!parser.isSet("debug"))
        qInstallMessageHandler(discardMessages);
    _quiet = parser.isSet("quiet");

    const QString userData = parser.value("cloudinit-userdata");
    const QString networkConfig = parser.value("cloudinit-networkconfig");
    const QByteArray initFormat =
        !userData.isEmpty() || !networkConfig.isEmpty() ? "cloudinit" : "systemd";

    const QString src = args.at(0);
    const QByteArray sha256 = parser.value("sha256").toLatin1();
    if (src.startsWith("http:") || src.startsWith("https:")) {
        _imageWriter->setSrc(QUrl(src), 0, 0, sha256, false, QString(), QString(), initFormat);
        const QString cacheFile = parser.value("cache-file");
        if (!cacheFile.isEmpty())
            _imageWriter->setCustomCacheFile(cacheFile, sha256);
    } else {
        QFileInfo fi(src);
        if (fi.isFile()) {
            _imageWriter->setSrc(QUrl::fromLocalFile(fi.absoluteFilePath()),
                                 static_cast<quint64>(fi.size()), 0, sha256, false, QString(),
                                 QString(), initFormat);
        } else if (fi.exists()) {
            printLine("Error: source is not a regular file");
            return 1;
        } else {
            printLine("Error: source file does not exists");
            return 1;
        }
    }

    const QString dst = args.at(1);
    if (parser.isSet("enable-writing-system-drives")) {
        printLine("WARNING: writing to system drives is enabled.");
    } else {
        DriveListModel model;
        model.processDriveList(Drivelist::ListStorageDevices());
        bool found = false;
        for (int row = 0; row < model.rowCount() && !found; ++row)
            found = model.data(model.index(row), 257).toString() == dst;
        if (!found) {
            printLine("Destination drive is not in list of removable volumes. Choose one of the "
                      "following:\n");
            for (int row = 0; row < model.rowCount(); ++row) {
                const QModelIndex i = model.index(row);
                printLine((model.data(i, 257).toString() + " (" +
                           model.data(i, 258).toString() + ")")
                              .toUtf8());
            }
            printLine("\nOr use --enable-writing-system-drives to overrule.");
            return 1;
        }
    }

    if (!userData.isEmpty()) {
        QByteArray userDataBytes, networkConfigBytes;
        if (!readCustomizationFile(userData, "Error: user-data file does not exists",
                                   "Error: opening user-data file", userDataBytes) ||
            !readCustomizationFile(networkConfig, "Error: network-config file does not exists",
                                   "Error: opening network-config file", networkConfigBytes))
            return 1;
        _imageWriter->setImageCustomization({}, {}, {}, userDataBytes, networkConfigBytes, {});
    } else if (!parser.value("first-run-script").isEmpty()) {
        QByteArray script;
        if (!readCustomizationFile(parser.value("first-run-script"),
                                   "Error: firstrun script does not exists",
                                   "Error: opening firstrun script", script))
            return 1;
        _imageWriter->setImageCustomization({}, {}, script, {}, {}, {});
    }

    _imageWriter->setDst(dst, blockDeviceCapacity(dst));
    _imageWriter->setVerifyEnabled(!parser.isSet("disable-verify"));
    _imageWriter->setSetting("eject", !parser.isSet("disable-eject"));

    QTimer::singleShot(1, _imageWriter, &ImageWriter::startWrite);
    return _app->exec();
}

void Cli::_clearLine()
{
    std::fprintf(stderr, "%42s\r", "");
}

void Cli::onSuccess()
{
    if (!_quiet) {
        _clearLine();
        std::fprintf(stderr, "Write successful.\n");
        std::fflush(stderr);
    }
    _app->exit(0);
}

void Cli::onError(QVariant msg)
{
    if (!_quiet)
        _clearLine();
    std::fprintf(stderr, "Error: %s\n", msg.toString().toUtf8().constData());
    std::fflush(stderr);
    _app->exit(1);
}

void Cli::onPreparationStatusUpdate(QVariant msg)
{
    if (_quiet)
        return;
    _clearLine();
    std::fprintf(stderr, "  %s\r", msg.toString().toUtf8().constData());
    std::fflush(stderr);
}

void Cli::onDownloadProgress(QVariant dlnow, QVariant dltotal)
{
    _printProgress("Writing", dlnow, dltotal);
}

void Cli::onVerifyProgress(QVariant now, QVariant total)
{
    _printProgress("Verifying", now, total);
}

void Cli::onSendingProgress(QVariant pos) { _printProgress("Sending", pos, 100); }

void Cli::_printProgress(const QByteArray &label, QVariant now, QVariant total)
{
    if (_quiet)
        return;
    const float current = now.toFloat();
    const float all = total.toFloat();
    if (all == 0) {
        if (label != _lastMsg) {
            std::fprintf(stderr, "%s\r", label.constData());
            std::fflush(stderr);
            _lastMsg = label;
        }
        return;
    }
    const int percent = static_cast<int>(current / all * 100);
    if (percent == _lastPercent && label == _lastMsg)
        return;
    const int bars = percent / 5;
    const QByteArray line = "  " + label + ": [" + QByteArray(bars, '-') + ">" +
                            QByteArray(qMax(0, 20 - bars), ' ') + "] " +
                            QByteArray::number(percent) + " %\r";
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    _lastPercent = percent;
    _lastMsg = label;
}
