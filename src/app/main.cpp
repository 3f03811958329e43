#include "cli.h"
#include "config.h"
#include "crashlog.h"
#include "imagewriter.h"
#include "networkaccessmanagerfactory.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QPoint>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QScreen>
#include <QSettings>
#include <QTranslator>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace
{
const char kRulesPath[] = "/etc/udev/rules.d/60-q5-orl-imager-dfu.rules";
const char *const kOlderRulesPaths[] = {"/etc/udev/rules.d/99-orl-imager-dfu.rules",
                                        "/etc/udev/rules.d/60-orl-imager-dfu.rules"};
const char kRulesText[] =
    "# Q5 Orlith Imager: TI AM62x DFU device (VID:0451 PID:6165)\n"
    "# MODE 0666 is the fallback for systems without logind or a plugdev group\n"
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0451\", ATTR{idProduct}==\"6165\", "
    "TAG+=\"uaccess\", MODE=\"0666\"\n";
const char kRulesErrorPrefix[] = "q5-orl-imager: cannot write udev rules";
const char kBuiltInRepositoryUrl[] = Q5_REPOSITORY_SERVER "/images/list.json";

enum class RunKind { Graphical, CommandLine, InstallUdevRules };

// Controller signal -> function of the window's root object; connected by name so the window
// stays plain QML.
struct RootConnection {
    const char *signal;
    const char *function;
};
const RootConnection kRootConnections[] = {
    {SIGNAL(downloadProgress(QVariant, QVariant)), SLOT(onDownloadProgress(QVariant, QVariant))},
    {SIGNAL(sendProgress(QVariant)), SLOT(onSendingProgress(QVariant))},
    {SIGNAL(verifyProgress(QVariant, QVariant)), SLOT(onVerifyProgress(QVariant, QVariant))},
    {SIGNAL(dfuProgress(QVariant, QVariant)), SLOT(onDfuProgress(QVariant, QVariant))},
    {SIGNAL(dfuAuthRequired()), SLOT(onDfuAuthRequired())},
    {SIGNAL(preparationStatusUpdate(QVariant)), SLOT(onPreparationStatusUpdate(QVariant))},
    {SIGNAL(error(QVariant)), SLOT(onError(QVariant))},
    {SIGNAL(success()), SLOT(onSuccess())},
    {SIGNAL(fileSelected(QVariant)), SLOT(onFileSelected(QVariant))},
    {SIGNAL(cancelled()), SLOT(onCancelled())},
    {SIGNAL(finalizing()), SLOT(onFinalizing())},
    {SIGNAL(networkOnline()), SLOT(fetchOSlist())},
    {SIGNAL(osListPrepared()), SLOT(onOsListPrepared())},
    {SIGNAL(networkInfo(QVariant)), SLOT(onNetworkInfo(QVariant))},
};

RunKind runKindOf(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cli") == 0)
            return RunKind::CommandLine;
        if (std::strcmp(argv[i], "--install-dfu-udev-rules") == 0)
            return RunKind::InstallUdevRules;
    }
    return RunKind::Graphical;
}

int runCommandLine(int argc, char *argv[])
{
    Cli cli(argc, argv);
    return cli.run();
}

int installDfuUdevRules()
{
    FILE *rules = std::fopen(kRulesPath, "w");
    if (!rules) {
        std::perror(kRulesErrorPrefix);
        return 1;
    }
    // A full disk shows only when the buffered text is flushed: an unwritten rule is a failure.
    const bool written = std::fputs(kRulesText, rules) >= 0;
    if (std::fclose(rules) != 0 || !written) {
        std::perror(kRulesErrorPrefix);
        return 1;
    }
    for (const char *older : kOlderRulesPaths)
        std::remove(older);
    std::system("udevadm control --reload-rules");
    std::system("udevadm trigger --subsystem-match=usb");
    return 0;
}

void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

void printUsage()
{
    printError(QStringLiteral("q5-orl-imager [--debug] [--version] [--repo <repository URL>] "
                              "[--qm <custom qm translation file>] [--disable-telemetry] "
                              "[<image file to write>]"));
    printError(QStringLiteral("-OR- q5-orl-imager --cli [--disable-verify] [--sha256 <expected "
                              "hash>] [--debug] [--quiet] <image file to write> <destination "
                              "drive device>"));
    printError(QStringLiteral("Log files are written to ") +
               QDir::toNativeSeparators(CrashLog::logDirectory()));
}

bool isRegularFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

QUrl localFileUrl(const QString &path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
}

struct StartOptions {
    QUrl image;
    QString qmFile;
};

// Walks the arguments in order; returns the exit code when an argument ends the run.
std::optional<int> parseArguments(const QStringList &args, ImageWriter &imageWriter,
                                  QSettings &settings, StartOptions &options)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (!arg.startsWith(QLatin1Char('-')) && options.image.isEmpty()) {
            if (arg.startsWith(QLatin1String("http:"), Qt::CaseInsensitive) ||
                arg.startsWith(QLatin1String("https:"), Qt::CaseInsensitive))
                options.image = QUrl(arg);
            else if (isRegularFile(arg))
                options.image = localFileUrl(arg);
            else
                printError(QStringLiteral("Argument ignored because it is not a regular file: ") +
                           arg);
        } else if (arg == QLatin1String("--repo")) {
            if (i + 1 >= args.size() || args.at(i + 1).startsWith(QLatin1Char('-'))) {
                printError(QStringLiteral("Missing URL after --repo"));
                return 1;
            }
            const QString repo = args.at(++i);
            QUrl url;
            if (repo.startsWith(QLatin1String("http://")) ||
                repo.startsWith(QLatin1String("https://"))) {
                url = QUrl(repo);
            } else if (isRegularFile(repo)) {
                url = localFileUrl(repo);
            } else {
                printError(
                    QStringLiteral("Custom repository file does not exist or is not a regular "
                                   "file: ") +
                    repo);
                return 1;
            }
            imageWriter.setCustomOsListUrl(url);
        } else if (arg == QLatin1String("--qm")) {
            if (i + 1 >= args.size()) {
                printError(QStringLiteral("Missing QM file after --qm"));
                return 1;
            }
            options.qmFile = args.at(++i);
            if (!isRegularFile(options.qmFile)) {
                printError(
                    QStringLiteral("Custom QM file does not exist or is not a regular file: ") +
                    options.qmFile);
                return 1;
            }
        } else if (arg == QLatin1String("--debug")) {
            continue;
        } else if (arg == QLatin1String("--help")) {
            printUsage();
            return 0;
        } else if (arg == QLatin1String("--version")) {
            printError(QStringLiteral("q5-orl-imager version ") + imageWriter.constantVersion());
            printError(QStringLiteral("Repository: ") + QLatin1String(kBuiltInRepositoryUrl));
            return 0;
        } else if (arg == QLatin1String("--disable-telemetry")) {
            printError(QStringLiteral("Disabled telemetry"));
            settings.setValue(QStringLiteral("telemetry"), false);
            settings.sync();
        } else if (arg == QLatin1String("--enable-telemetry")) {
            printError(QStringLiteral("Using default telemetry setting"));
            settings.remove(QStringLiteral("telemetry"));
            settings.sync();
        } else {
            printError(QStringLiteral("Ignoring unknown argument: ") + arg);
        }
    }
    return std::nullopt;
}

void loadTranslations(ImageWriter &imageWriter, const QString &qmFile)
{
    auto translator = std::make_unique<QTranslator>();
    bool loaded = false;
    if (!qmFile.isEmpty()) {
        loaded = translator->load(qmFile);
    } else {
        for (const QString &language : QLocale::system().uiLanguages()) {
            const QLocale locale(QString(language).replace(QLatin1Char('_'), QLatin1Char('-')));
            if (translator->load(locale, QStringLiteral("q5-orl-imager"), QStringLiteral("_"),
                                 QStringLiteral(":/i18n"))) {
                loaded = true;
                break;
            }
        }
    }
    if (loaded)
        imageWriter.replaceTranslator(translator.release());
}

// A signal or function missing on either side is reported by Qt in the run log.
void connectToRootObject(ImageWriter &imageWriter, QObject *root)
{
    for (const RootConnection &c : kRootConnections)
        QObject::connect(&imageWriter, c.signal, root, c.function);
}

bool fitsOnScreens(const QPoint &topLeft, const QPoint &bottomRight)
{
    return QGuiApplication::screenAt(topLeft) && QGuiApplication::screenAt(bottomRight);
}

int centredCoordinate(int screenExtent, int windowExtent)
{
    const int margin = screenExtent - windowExtent;
    return margin > 3 ? margin / 2 : 1;
}

// Puts the window where it was last time when that is still on a screen, else centres it.
QPoint placeWindow(QObject *window, QSettings &settings)
{
    const int x = settings.value(QStringLiteral("x"), -1).toInt();
    const int y = settings.value(QStringLiteral("y"), -1).toInt();
    const int width = window->property("width").toInt();
    const int height = window->property("height").toInt();
    const bool stored = x != -1 && y != -1;

    QPoint position(x, y);
    if (!stored || !fitsOnScreens(position, QPoint(x + width, y + height))) {
        if (stored)
            qDebug() << "Not restoring saved window position as it falls outside any currently "
                        "attached screen";
        const QSize screen = QGuiApplication::primaryScreen()->size();
        position = QPoint(centredCoordinate(screen.width(), width),
                          centredCoordinate(screen.height(), height));
    }
    window->setProperty("x", position.x());
    window->setProperty("y", position.y());
    return position;
}

void storeWindowPositionIfMoved(QObject *window, const QPoint &placed, QSettings &settings)
{
    const int x = window->property("x").toInt();
    const int y = window->property("y").toInt();
    if (x == placed.x() && y == placed.y())
        return;
    settings.setValue(QStringLiteral("x"), x);
    settings.setValue(QStringLiteral("y"), y);
    settings.sync();
}

int runGraphical(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral(Q5_ORGANISATION_NAME));
    QCoreApplication::setOrganizationDomain(QStringLiteral(Q5_ORGANISATION_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(Q5_APPLICATION_NAME));
    CrashLog::install(argc, argv);

    qputenv("QML_DISABLE_DISK_CACHE", "true");
    qputenv("QT_QUICK_CONTROLS_MATERIAL_VARIANT", "Dense");
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/q5-orl-imager.ico")));
    QGuiApplication::setDesktopFileName(QStringLiteral(Q5_DESKTOP_FILE_NAME));

    ImageWriter imageWriter;
    NetworkAccessManagerFactory namFactory;
    QQmlApplicationEngine engine;
    QSettings settings;

    StartOptions options;
    if (const auto exitCode = parseArguments(app.arguments(), imageWriter, settings, options))
        return *exitCode;

    loadTranslations(imageWriter, options.qmFile);
    if (!options.image.isEmpty())
        imageWriter.setSrc(options.image);

    imageWriter.setEngine(&engine);
    engine.setNetworkAccessManagerFactory(&namFactory);
    engine.rootContext()->setContextProperty(QStringLiteral("imageWriter"), &imageWriter);
    engine.rootContext()->setContextProperty(QStringLiteral("driveListModel"),
                                             imageWriter.getDriveList());
    engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
    if (engine.rootObjects().isEmpty()) {
        qCritical() << "Failed to load the main QML window";
        CrashLog::markCleanExit(-1);
        return -1;
    }

    QObject *window = engine.rootObjects().constFirst();
    connectToRootObject(imageWriter, window);
    const QPoint placed = placeWindow(window, settings);
    if (imageWriter.isOnline())
        imageWriter.beginOSListFetch();

    const int exitCode = app.exec();

    storeWindowPositionIfMoved(window, placed, settings);
    CrashLog::markCleanExit(exitCode);
    return exitCode;
}
} // namespace

int main(int argc, char *argv[])
{
    switch (runKindOf(argc, argv)) {
    case RunKind::CommandLine:
        return runCommandLine(argc, argv);
    case RunKind::InstallUdevRules:
        return installDfuUdevRules();
    case RunKind::Graphical:
        break;
    }
    return runGraphical(argc, argv);
}
