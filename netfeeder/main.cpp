// netfeeder: BOOTP/DHCP and TFTP server for network-booting a board on one Ethernet interface.

#include "netfeeder.h"
#include "tftpserver.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QTimer>
#include <memory>

namespace
{

constexpr quint16 defaultPort = 69;
constexpr int defaultBlockSize = 512;
// RFC 2348 range; a block size of 0 would never end a transfer.
constexpr int minBlockSize = 8;
constexpr int maxBlockSize = 65464;
constexpr quint32 commandWaitTimeoutMs = 100;

QString tr(const char *text)
{
    return QCoreApplication::translate("main", text);
}

struct Options {
    QCommandLineOption interface {
        {"i", "interface"}, tr("Interface name (Ex: Ethernet)"), "interface", "eno1"
    };
    QCommandLineOption speed{
        {"s", "speed"}, tr("Interface speed (1/10/100/1000)."), "speed", "100"};
    QCommandLineOption duplex{{"d", "duplex"}, tr("Duplex type (half/full)."), "duplex", "full"};
    QCommandLineOption serverIp{{"si", "server-ip"},
                                tr("Server ip (this pc) address (Ex: 10.42.0.1)."),
                                "server-ip",
                                "10.42.0.11"};
    QCommandLineOption offeredIp{{"oi", "offered-ip"},
                                 tr("Client ip (served pc) address (Ex: 10.42.0.2)."),
                                 "offered-ip",
                                 "10.42.0.12"};
    QCommandLineOption serverName{{"sn", "server-name"}, tr("Server name"), "server-name"};
    QCommandLineOption bootFile{
        {"f", "bootfile"},
        tr("Bootfile name which will be pulled from tftp server (Ex: tiboot3.bin)."),
        "bootfile",
        "tiboot3.bin"};
    QCommandLineOption blockSize{{"b", "blocksize"}, tr("TFTP block size"), "blocksize"};
    QCommandLineOption port{{"p", "port"}, tr("TFTP port."), "port"};
    QCommandLineOption targetDirectory{
        {"t", "target-directory"}, tr("Copy all source files into <directory>."), "directory"};
    QCommandLineOption singleRun{
        {"sr", "single-run"}, tr("Serve only <filename> and exit."), "filename"};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({interface, speed, duplex, serverIp, offeredIp, serverName, bootFile,
                           blockSize, port, targetDirectory, singleRun});
    }
};

quint16 portFrom(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        return defaultPort;
    const QString value = parser.value(option);
    bool ok = false;
    const quint16 port = value.toUShort(&ok, 10);
    if (ok && port != 0)
        return port;
    qDebug().noquote() << "Port is not valid (" + value + ") using default port" << defaultPort;
    return defaultPort;
}

int blockSizeFrom(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        return defaultBlockSize;
    const QString value = parser.value(option);
    bool ok = false;
    const int blockSize = value.toInt(&ok, 10);
    if (ok && blockSize >= minBlockSize && blockSize <= maxBlockSize)
        return blockSize;
    qDebug().noquote() << "Blocksize is not valid (" + value + ") using default blocksize"
                       << defaultBlockSize;
    return defaultBlockSize;
}

// Without the option the current directory stays as it is.
QString targetDirectoryFrom(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    const QString programDirectory = QCoreApplication::applicationDirPath();
    if (!parser.isSet(option))
        return programDirectory;
    const QString value = parser.value(option);
    QString directory = QDir(value).absolutePath();
    if (value.isEmpty() || !QDir(directory).exists()) {
        qDebug().noquote() << "Target directory not valid (" + value +
                                  ") using default target directory"
                           << programDirectory;
        directory = programDirectory;
    }
    QDir::setCurrent(directory);
    return directory;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    const Options options;
    options.addTo(parser);
    parser.process(app);

    const quint16 port = portFrom(parser, options.port);
    const int blockSize = blockSizeFrom(parser, options.blockSize);
    const QString directory = targetDirectoryFrom(parser, options.targetDirectory);

    auto server = std::make_unique<TFTP>(port, blockSize, directory);
    server->setCommandWaitTimeout(commandWaitTimeoutMs);
    server->setTIMode(true);
    if (server->start() < 0)
        qDebug().noquote() << "[feedertftp]"
                           << "server init failed!";

    const QString interface = parser.value(options.interface);
    const QString speed = parser.value(options.speed);
    const QString duplex = parser.value(options.duplex);
    const QString serverIp = parser.value(options.serverIp);
    const QString offeredIp = parser.value(options.offeredIp);
    const QString serverName = parser.value(options.serverName);
    const QString bootFile = parser.value(options.bootFile);

    installTerminationHandlers();
    QTimer::singleShot(0, &app, [&]() {
        QCoreApplication::exit(
            doWork(interface, speed, duplex, serverIp, offeredIp, bootFile, serverName, *server));
    });
    const int exitCode = app.exec();
    server.reset();
    return exitCode;
}
