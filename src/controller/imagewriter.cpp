#include "imagewriter.h"

#include "config.h"
#include "downloadstatstelemetry.h"
#include "downloadextractthread.h"
#include "driveformatthread.h"
#include "localfileextractthread.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QApplication>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QVersionNumber>
#include <QWindow>
#include <QPasswordDigestor>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QTimeZone>
#include <QTranslator>
#include <crypt.h>
#include <gnutls/crypto.h>
#include <iterator>
#include <random>
#include <archive.h>
#include <archive_entry.h>
#include <lzma.h>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <cerrno>
#include <cstring>
#include <sys/time.h>

namespace {
constexpr quint64 CACHE_FREE_SPACE_RESERVE = 5368709120ULL; // 5 GiB left free after caching

QString cacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString platformName()
{
    auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    return gui ? QGuiApplication::platformName() : QStringLiteral("cli");
}
} // namespace

ImageWriter::ImageWriter(QObject *parent)
    : QObject(parent), _networkManager(new QNetworkAccessManager(this)),
      _repo(repositoryServer() + QStringLiteral("/images/list.json"))
{
    // The lists live in this static library; without a reference the linker drops them.
    Q_INIT_RESOURCE(customization);
    connect(&_polltimer, &QTimer::timeout, this, &ImageWriter::pollProgress);

    const QString platform = platformName();
    if (platform == QLatin1String("eglfs") || platform == QLatin1String("linuxfb"))
        _embeddedMode = true;
    if (_embeddedMode) {
        changeKeyboard(detectKeyboardLayout());
        if (_currentKeyboard.isEmpty())
            _currentKeyboard = QStringLiteral("us");
        connect(&_networkchecktimer, &QTimer::timeout, this, &ImageWriter::pollNetwork);
        _networkchecktimer.start(100);
        const QString eepromRepo = repositoryUrlFromEeprom();
        if (!eepromRepo.isEmpty())
            _repo = QUrl(eepromRepo);
    }

    _recreateUnwritableSettings();
    _initCacheState();
    _takeInstanceLock();
    _scanTranslations();
    connect(_networkManager, &QNetworkAccessManager::finished, this,
            &ImageWriter::handleNetworkRequestFinished);
}

ImageWriter::~ImageWriter()
{
    _removeTranslator();
}

void ImageWriter::_recreateUnwritableSettings()
{
    if (_settings.isWritable() || _settings.fileName().isEmpty())
        return;
    const QString name = _settings.fileName();
    qDebug() << "Settings file" << name << "not writable. Recreating it";
    QFile f(name);
    QByteArray contents;
    if (f.open(QIODevice::ReadOnly)) {
        contents = f.readAll();
        f.close();
    }
    f.remove();
    if (f.open(QIODevice::WriteOnly)) {
        f.write(contents);
        f.close();
        _settings.sync();
    } else {
        qDebug() << "Error deleting and recreating settings file. Please remove manually.";
    }
}

void ImageWriter::_initCacheState()
{
    _settings.beginGroup(QStringLiteral("caching"));
    _cachingEnabled = !_embeddedMode && _settings.value(QStringLiteral("enabled"), true).toBool();
    _cachedFileHash = _settings.value(QStringLiteral("lastDownloadSHA256")).toByteArray();
    _settings.endGroup();

    _cacheFileName = QDir(cacheDirectory()).filePath(QStringLiteral("lastdownload.cache"));
    if (!_cachedFileHash.isEmpty()) {
        QFileInfo cache(_cacheFileName);
        if (!cache.exists() || !cache.isReadable() || cache.size() == 0) {
            _cachedFileHash.clear();
            _settings.remove(QStringLiteral("caching/lastDownloadSHA256"));
            _settings.sync();
        }
    }
}

void ImageWriter::_takeInstanceLock()
{
    QDir().mkpath(cacheDirectory());
    _instanceLock = std::make_unique<QLockFile>(
        QDir(cacheDirectory()).filePath(QStringLiteral("q5-orl-imager.lock")));
    _instanceLock->setStaleLockTime(0);
    if (!_instanceLock->tryLock(0))
        qDebug() << "Another instance is running; leaving temporary files alone";
}

void ImageWriter::setSerialPort(const QString &serPort) { _serialPort = serPort; }
void ImageWriter::setEthPort(const QString &ethPort) { _ethPort = ethPort; }

void ImageWriter::setSrc(const QUrl &url, quint64 downloadLen, quint64 extrLen,
                         QByteArray expectedHash, bool multifilesinzip, QString parentcategory,
                         QString osname, QByteArray initFormat)
{
    _src = url;
    _downloadLen = downloadLen;
    _extrLen = extrLen;
    _expectedHash = expectedHash;
    _multipleFilesInZip = multifilesinzip;
    _parentCategory = parentcategory;
    _osName = osname;
    _initFormat = initFormat == "none" ? QByteArray() : initFormat;

    if (!_downloadLen && url.isLocalFile())
        _downloadLen = static_cast<quint64>(QFileInfo(url.toLocalFile()).size());
    // Network sources always carry the maker's own first-boot file.
    if (!url.isEmpty() && (!url.isLocalFile() || _initFormat.isEmpty()))
        _initFormat = "orlinit";
}

void ImageWriter::setBootloaderHashes(const QByteArray &tiboot3Hash, const QByteArray &tisplHash,
                                      const QByteArray &ubootHash)
{
    _tiboot3Hash = tiboot3Hash;
    _tisplHash = tisplHash;
    _ubootHash = ubootHash;
}

void ImageWriter::setDst(const QString &device, quint64 deviceSize)
{
    _dst = device;
    _devLen = deviceSize;
}

void ImageWriter::setVerifyEnabled(bool verify)
{
    _verifyEnabled = verify;
    if (_thread)
        _thread->setVerifyEnabled(verify);
}

bool ImageWriter::readyToWrite() { return !_src.isEmpty() && !_dst.isEmpty(); }

void ImageWriter::startWrite()
{
    if (!readyToWrite())
        return;
    if (_src.toString() == QLatin1String("internal://format")) {
        _startEraseJob();
        return;
    }

    QByteArray urlstr = _src.toString(QUrl::FullyEncoded).toLatin1();
    _determineLocalImageSize();

    if (_devLen && _extrLen > _devLen) {
        emit error(tr("Storage capacity is not large enough.<br>Needs to be at least %1 GB.")
                       .arg(QString::number(_extrLen / 1000000000.0, 'f', 1)));
        return;
    }
    if (_extrLen && !_multipleFilesInZip && _extrLen % 512 != 0) {
        emit error(tr("Input file is not a valid disk image.<br>File size %1 bytes is not a "
                      "multiple of 512 bytes.")
                       .arg(_extrLen));
        return;
    }

    if (!_expectedHash.isEmpty() && _cachedFileHash == _expectedHash) {
        urlstr = QUrl::fromLocalFile(_cacheFileName).toString(QUrl::FullyEncoded).toLatin1();
        emit preparationStatusUpdate(tr("Image found in cache, skipping download"));
    }

    const QUrl source(QString::fromLatin1(urlstr));
    _networkDownload = !source.isLocalFile();

    const QByteArray dst = _dst.toLatin1();
    if (source.isLocalFile()) {
        _thread = new LocalFileExtractThread(urlstr, dst, _expectedHash, this);
        connect(_thread, &DownloadThread::updateNumProgress, this, &ImageWriter::sendProgress);
    } else {
        _thread = new DownloadExtractThread(urlstr, dst, _expectedHash, this);
        _startTelemetry(urlstr);
    }

    connect(_thread, &DownloadThread::success, this, &ImageWriter::onSuccess);
    connect(_thread, &DownloadThread::error, this, &ImageWriter::onError);
    connect(_thread, &DownloadThread::finalizing, this, &ImageWriter::onFinalizing);
    connect(_thread, &DownloadThread::preparationStatusUpdate, this,
            &ImageWriter::onPreparationStatusUpdate);

    _thread->setVerifyEnabled(_verifyEnabled);
    _thread->setUserAgent(QStringLiteral("Mozilla/5.0 q5-orl-imager/%1").arg(constantVersion()).toUtf8());
    _thread->setImageCustomization(_config, _cmdline, _firstrun, _cloudinit, _cloudinitNetwork,
                                   _orlinit, _initFormat, dst);

    // Only downloads are cached: a local file never passes through the cache writer, so an
    // announced cache file would hold no image.
    if (_networkDownload && _shouldCacheDownload()) {
        _thread->setCacheFile(_cacheFileName, static_cast<qint64>(_downloadLen));
        connect(_thread, &DownloadThread::cacheFileUpdated, this,
                &ImageWriter::onCacheFileUpdated);
    }

    if (_multipleFilesInZip)
        _startAfterDriveFormat(qobject_cast<DownloadExtractThread *>(_thread));
    else
        _thread->start();
    startProgressPolling();
}

// Erasing is a job of its own: no download counters to poll, so no progress polling.
void ImageWriter::_startEraseJob()
{
    _thread = nullptr;
    auto *format = new DriveFormatThread(_dst.toLatin1(), this);
    connect(format, &DriveFormatThread::success, this, &ImageWriter::onSuccess);
    connect(format, &DriveFormatThread::error, this, &ImageWriter::onError);
    format->start();
}

// The archive's files go onto a fresh FAT file system: the job starts once the drive has one.
void ImageWriter::_startAfterDriveFormat(DownloadExtractThread *job)
{
    job->enableMultipleFileExtraction();
    auto *format = new DriveFormatThread(_dst.toLatin1(), this);
    connect(format, &DriveFormatThread::success, job, [job] { job->start(); });
    connect(format, &DriveFormatThread::error, this, &ImageWriter::onError);
    format->start();
}

void ImageWriter::_determineLocalImageSize()
{
    if (_extrLen || !_src.isLocalFile())
        return;
    const QString url = _src.toString(QUrl::FullyEncoded).toLower();
    static const char *const compressed[] = {".zip", ".xz", ".bz2", ".gz", ".7z", ".zst", ".cache"};
    bool isCompressed = false;
    for (const char *suffix : compressed)
        isCompressed = isCompressed || url.endsWith(QLatin1String(suffix));

    if (!isCompressed)
        _extrLen = _downloadLen;
    else if (url.endsWith(QLatin1String(".zip")))
        _sizeLocalZip(_src.toLocalFile());
    else if (url.endsWith(QLatin1String(".xz")))
        _sizeLocalXz(_src.toLocalFile());
}

void ImageWriter::_sizeLocalZip(const QString &path)
{
    struct archive *a = archive_read_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_all(a);
    quint64 sum = 0;
    int count = 0;
    if (archive_read_open_filename(a, QFile::encodeName(path).constData(), 10240) ==
        ARCHIVE_OK) {
        struct archive_entry *entry;
        while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
            if (archive_entry_size(entry) > 0) {
                sum += static_cast<quint64>(archive_entry_size(entry));
                ++count;
            }
        }
    }
    archive_read_free(a);
    if (count > 1)
        _multipleFilesInZip = true;
    qDebug() << "Parsed .zip file containing" << count << "files, uncompressed size:" << sum;
    _extrLen = sum;
}

void ImageWriter::_sizeLocalXz(const QString &path)
{
    _extrLen = 0;
    QFile f(path);
    if (f.size() <= LZMA_STREAM_HEADER_SIZE || !f.open(QIODevice::ReadOnly))
        return;
    const qint64 fileSize = f.size();
    f.seek(fileSize - LZMA_STREAM_HEADER_SIZE);
    const QByteArray footer = f.read(LZMA_STREAM_HEADER_SIZE);
    lzma_stream_flags flags;
    if (footer.size() != LZMA_STREAM_HEADER_SIZE ||
        lzma_stream_footer_decode(&flags, reinterpret_cast<const uint8_t *>(footer.constData())) !=
            LZMA_OK ||
        flags.backward_size > 999999 ||
        static_cast<qint64>(flags.backward_size) >= fileSize - LZMA_STREAM_HEADER_SIZE) {
        qDebug() << "Unable to parse footer of .xz file";
        return;
    }
    const qint64 tailSize = static_cast<qint64>(flags.backward_size) + LZMA_STREAM_HEADER_SIZE;
    f.seek(fileSize - tailSize);
    const QByteArray tail = f.read(tailSize);
    lzma_index *index = nullptr;
    uint64_t memlimit = UINT64_MAX;
    size_t pos = 0;
    if (tail.size() != tailSize ||
        lzma_index_buffer_decode(&index, &memlimit, nullptr,
                                 reinterpret_cast<const uint8_t *>(tail.constData()), &pos,
                                 flags.backward_size) != LZMA_OK) {
        qDebug() << "Unable to parse index of .xz file";
        return;
    }
    _extrLen = lzma_index_uncompressed_size(index);
    lzma_index_end(index, nullptr);
    qDebug() << "Parsed .xz file. Uncompressed size:" << _extrLen;
}

bool ImageWriter::_shouldCacheDownload()
{
    if (_expectedHash.isEmpty() || _expectedHash == _cachedFileHash || !_cachingEnabled)
        return false;

    if (!_cachedFileHash.isEmpty()) {
        if (_settings.isWritable() && (!QFile::exists(_cacheFileName) ||
                                       QFile::remove(_cacheFileName))) {
            _settings.remove(QStringLiteral("caching/lastDownloadSHA256"));
            _settings.sync();
            _cachedFileHash.clear();
        } else {
            qDebug() << "Error removing old cache file. Disabling caching";
            _cachingEnabled = false;
            return false;
        }
    }

    QStorageInfo volume(cacheDirectory());
    const quint64 available = static_cast<quint64>(volume.bytesAvailable());
    qDebug() << "Available disk space for caching:" << available / 1073741824 << "GB";
    if (available >= _downloadLen + CACHE_FREE_SPACE_RESERVE)
        return true;
    qDebug() << "Low disk space. Not caching files to disk.";
    return false;
}

void ImageWriter::cancelWrite()
{
    if (_thread) {
        connect(_thread, &QThread::finished, this, &ImageWriter::onCancelled);
        _thread->cancelDownload();
    }
    if (!_thread || !_thread->isRunning())
        emit cancelled();
}

void ImageWriter::onCancelled()
{
    QObject *s = sender();
    if (s)
        s->deleteLater();
    if (s == _thread)
        _thread = nullptr;
    emit cancelled();
}

bool ImageWriter::isCached(const QUrl &, const QByteArray &sha256)
{
    return !sha256.isEmpty() && _cachedFileHash == sha256;
}

bool ImageWriter::isNetworkDownload() { return _networkDownload; }
void ImageWriter::startDriveListPolling() { _drivelist.startPolling(); }
void ImageWriter::stopDriveListPolling() { _drivelist.stopPolling(); }

QString ImageWriter::fileNameFromUrl(const QUrl &url)
{
    return url.fileName(QUrl::FullyDecoded);
}

QString ImageWriter::srcFileName()
{
    return _src.isEmpty() ? QString() : _src.fileName(QUrl::FullyDecoded);
}

QUrl ImageWriter::constantOsListUrl() const { return _repo; }
QString ImageWriter::constantVersion() const { return QStringLiteral(Q5_VERSION_STR); }

bool ImageWriter::isVersionNewer(const QString &version)
{
    return QVersionNumber::fromString(version) > QVersionNumber::fromString(constantVersion());
}

bool ImageWriter::isOnline() { return _online || !_embeddedMode; }
bool ImageWriter::isEmbeddedMode() { return _embeddedMode; }

bool ImageWriter::hasMouse()
{
    return !_embeddedMode || QFile::exists(QStringLiteral("/dev/input/mouse0"));
}

QStringList ImageWriter::getSerialPortList()
{
    QStringList ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        if (!info.description().isEmpty() && !info.manufacturer().isEmpty() &&
            !info.serialNumber().isEmpty() && info.productIdentifier() != 0)
            ports.append(info.portName());
    }
    return ports;
}

QStringList ImageWriter::getEthPortList()
{
    QStringList ports;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        if (iface.type() == QNetworkInterface::Ethernet &&
            !(iface.flags() & QNetworkInterface::IsLoopBack))
            ports.append(iface.humanReadableName());
    }
    return ports;
}

bool ImageWriter::getBoolSetting(const QString &key)
{
    const bool absentMeansTrue = key == QLatin1String("vnc") || key == QLatin1String("eject") ||
                                 key == QLatin1String("check_version");
    return _settings.value(key, absentMeansTrue).toBool();
}

void ImageWriter::setSetting(const QString &key, const QVariant &value)
{
    _settings.setValue(key, value);
    _settings.sync();
}

void ImageWriter::setImageCustomization(const QByteArray &config, const QByteArray &cmdline,
                                        const QByteArray &firstrun, const QByteArray &cloudinit,
                                        const QByteArray &cloudinitNetwork,
                                        const QByteArray &orlinit)
{
    _config = config;
    _cmdline = cmdline;
    _firstrun = firstrun;
    _cloudinit = cloudinit;
    _cloudinitNetwork = cloudinitNetwork;
    _orlinit = orlinit;

    // Only the key names reach the log: the values may hold passwords.
    QStringList keys;
    for (const QByteArray &line : orlinit.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            keys.append(QString::fromUtf8(line.left(eq).trimmed()));
    }
    qDebug() << "Customization: config.txt" << config.size() << "bytes, cmdline.txt"
             << cmdline.size() << "bytes, firstrun.sh" << firstrun.size() << "bytes, cloud-init"
             << cloudinit.size() << "+" << cloudinitNetwork.size() << "bytes, orlinit keys:"
             << keys.join(',');
}

bool ImageWriter::imageSupportsCustomization() { return !_initFormat.isEmpty(); }

/* ---- image file dialog ---- */

void ImageWriter::openFileDialog()
{
    QString path = _settings.value(QStringLiteral("lastpath")).toString();
    QFileInfo fi(path);
    if (path.isEmpty() || !fi.exists() || !fi.isReadable())
        path = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);

    auto *fd = new QFileDialog(nullptr, tr("Select image"), path,
                               QStringLiteral("Image files (*.img *.zip *.iso *.gz *.xz *.zst);;"
                                              "All files (*)"));
    connect(fd, &QFileDialog::fileSelected, this, &ImageWriter::onFileSelected);
    if (_engine) {
        fd->createWinId();
        const QList<QObject *> roots = _engine->rootObjects();
        if (auto *window = roots.isEmpty() ? nullptr : qobject_cast<QWindow *>(roots.first()))
            fd->windowHandle()->setTransientParent(window);
    }
    fd->show();
}

void ImageWriter::onFileSelected(QString filename)
{
    QFileInfo fi(filename);
    if (fi.isFile()) {
        const QString dir = fi.absolutePath();
        if (dir != _settings.value(QStringLiteral("lastpath")).toString()) {
            _settings.setValue(QStringLiteral("lastpath"), dir);
            _settings.sync();
        }
        emit fileSelected(QUrl::fromLocalFile(filename));
    } else {
        qDebug() << "Item selected is not a regular file";
    }
    if (sender())
        sender()->deleteLater();
}

DriveListModel *ImageWriter::getDriveList() { return &_drivelist; }

void ImageWriter::setEngine(QQmlApplicationEngine *engine) { _engine = engine; }

void ImageWriter::setCustomCacheFile(const QString &cacheFile, const QByteArray &sha256)
{
    _cacheFileName = cacheFile;
    _cachedFileHash = QFileInfo::exists(cacheFile) ? sha256 : QByteArray();
    _customCacheFile = true;
    _cachingEnabled = true;
}

void ImageWriter::onCacheFileUpdated(QByteArray sha256)
{
    if (!_customCacheFile) {
        _settings.setValue(QStringLiteral("caching/lastDownloadSHA256"), sha256);
        _settings.sync();
    }
    _cachedFileHash = sha256;
    qDebug() << "Done writing cache file";
}

bool ImageWriter::customizationWritesToImage() const
{
    const bool configOrCmdline = !_config.isEmpty() || !_cmdline.isEmpty();
    const bool cloudInit = !_cloudinit.isEmpty() || !_cloudinitNetwork.isEmpty();
    if (configOrCmdline) {
        qDebug() << "Customizing: config.txt/cmdline.txt content is set";
        return true;
    }
    const bool isAuto = _initFormat == "auto";
    if ((isAuto || _initFormat == "systemd") && !_firstrun.isEmpty()) {
        qDebug() << "Customizing: firstrun.sh is set";
        return true;
    }
    if ((isAuto || _initFormat == "cloudinit") && cloudInit) {
        qDebug() << "Customizing: cloud-init content is set";
        return true;
    }
    if (_initFormat == "orlinit") {
        static const QRegularExpression featureOff(QStringLiteral("^[A-Za-z0-9_]+=0$"));
        for (const QByteArray &raw : _orlinit.split('\n')) {
            const QString line = QString::fromUtf8(raw.trimmed());
            if (line.isEmpty() || line == QLatin1String("firstboot=1") ||
                featureOff.match(line).hasMatch())
                continue;
            qDebug() << "Customizing: orlinit carries" << line;
            return true;
        }
    }
    return false;
}

void ImageWriter::startProgressPolling()
{
    _powersave.applyBlock(tr("Downloading and writing image"));
    _lastReportedWritten = 0;
    _polltimer.start(100);
}

void ImageWriter::stopProgressPolling()
{
    _polltimer.stop();
    pollProgress();
    _powersave.removeBlock();
}

void ImageWriter::pollProgress()
{
    if (!_thread)
        return;
    quint64 now, total;
    if (_extrLen) {
        now = _thread->bytesWritten();
        total = _extrLen;
    } else {
        now = _thread->dlNow();
        total = _thread->dlTotal();
    }
    if (now != _lastReportedWritten) {
        _lastReportedWritten = now;
        emit downloadProgress(now, total);
    }
    const quint64 verified = _thread->verifyNow();
    if (verified != _lastReportedVerified) {
        _lastReportedVerified = verified;
        emit verifyProgress(verified, _thread->verifyTotal());
    }
}

void ImageWriter::onSuccess()
{
    stopProgressPolling();
    qDebug() << "Write finished successfully";
    emit success();
    _beep();
}

void ImageWriter::onError(QString msg)
{
    stopProgressPolling();
    qDebug() << "Write failed:" << msg;
    emit error(msg);
    _beep();
}

void ImageWriter::_beep()
{
    if (_settings.value(QStringLiteral("beep")).toBool() &&
        qobject_cast<QApplication *>(QCoreApplication::instance()))
        QApplication::beep();
}

void ImageWriter::onFinalizing()
{
    _polltimer.stop();
    emit finalizing();
}

void ImageWriter::onPreparationStatusUpdate(QString msg) { emit preparationStatusUpdate(msg); }

/* ---- customization settings ---- */

namespace
{
const QString CUSTOMIZATION_GROUP = QStringLiteral("imagecustomization");
constexpr int SSH_KEYGEN_TIMEOUT_MS = 30000;
const char SALT_ALPHABET[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Salt characters from a generator seeded with the clock, so that two calls within the same
// millisecond draw the same sequence.
QByteArray cryptSalt(int length)
{
    std::mt19937 gen(static_cast<quint32>(QDateTime::currentMSecsSinceEpoch()));
    std::uniform_int_distribution<int> pick(0, int(sizeof(SALT_ALPHABET)) - 2);
    QByteArray salt;
    for (int i = 0; i < length; ++i)
        salt += SALT_ALPHABET[pick(gen)];
    return salt;
}

QString cryptWithSetting(const QByteArray &password, const QByteArray &setting)
{
    auto data = std::make_unique<crypt_data>();
    const char *result = crypt_r(password.constData(), setting.constData(), data.get());
    // libcrypt marks failure with a string starting with '*' (or, in old versions, null).
    if (!result || result[0] == '*') {
        qDebug() << "crypt_r failed for setting" << setting.left(3);
        return QString();
    }
    return QString::fromLatin1(result);
}

quint8 reverseBits(quint8 b)
{
    quint8 r = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & (1 << i))
            r |= quint8(1 << (7 - i));
    }
    return r;
}

QStringList resourceLines(const QString &name)
{
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(f.readAll()).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
}

// Device-tree country code: 4 bytes, the layout index in the third (signed) byte.
int deviceTreeKeyboardIndex(const QString &rootPrefix)
{
    QFile f(rootPrefix + QStringLiteral("/proc/device-tree/chosen/pmlr-country-code"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray value = f.readAll();
    return value.size() == 4 ? static_cast<signed char>(value.at(2)) : 0;
}

int keyboardNameIndex(const QString &rootPrefix)
{
    static const QRegularExpression keyboardName(QStringLiteral("PML_Wired_Keyboard_([0-9]+)"));
    const QDir byId(rootPrefix + QStringLiteral("/dev/input/by-id"));
    int index = 0;
    const QStringList names = byId.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = keyboardName.match(name);
        if (!match.hasMatch())
            continue;
        bool ok = false;
        index = match.captured(1).toInt(&ok);
        if (!ok)
            index = 0;
    }
    return index;
}
} // namespace

void ImageWriter::setSavedCustomizationSettings(const QVariantMap &map)
{
    _settings.beginGroup(CUSTOMIZATION_GROUP);
    _settings.remove(QString());
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        _settings.setValue(it.key(), it.value());
    _settings.endGroup();
    _settings.sync();
}

QVariantMap ImageWriter::getSavedCustomizationSettings()
{
    QVariantMap map;
    _settings.beginGroup(CUSTOMIZATION_GROUP);
    const QStringList keys = _settings.childKeys();
    for (const QString &key : keys)
        map.insert(key, _settings.value(key));
    _settings.endGroup();
    return map;
}

void ImageWriter::clearSavedCustomizationSettings()
{
    _settings.beginGroup(CUSTOMIZATION_GROUP);
    _settings.remove(QString());
    _settings.endGroup();
    _settings.sync();
}

bool ImageWriter::hasSavedCustomizationSettings()
{
    // Another instance may have saved or cleared them meanwhile.
    _settings.sync();
    _settings.beginGroup(CUSTOMIZATION_GROUP);
    const bool any = !_settings.childKeys().isEmpty();
    _settings.endGroup();
    return any;
}

QString ImageWriter::crypt(const QByteArray &password)
{
    return cryptWithSetting(password, "$5$" + cryptSalt(10));
}

QString ImageWriter::crypt6(const QByteArray &password)
{
    return cryptWithSetting(password, "$6$" + cryptSalt(16));
}

QString ImageWriter::pbkdf2(const QByteArray &psk, const QByteArray &ssid)
{
    return QString::fromLatin1(
        QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha1, psk, ssid, 4096, 32).toHex());
}

QString ImageWriter::encrypt_vnc_password(const QString &password)
{
    // The fixed key of the VNC password file; DES takes each key byte with its bits reversed.
    static const quint8 vncKey[8] = {23, 82, 107, 6, 35, 78, 88, 7};
    quint8 key[8];
    for (int i = 0; i < 8; ++i)
        key[i] = reverseBits(vncKey[i]);

    QByteArray block = password.toUtf8().left(8);
    block.append(8 - block.size(), '\0');

    // One block with a zero IV: CBC is ECB here.
    quint8 iv[8] = {};
    gnutls_datum_t keyDatum = {key, sizeof(key)};
    gnutls_datum_t ivDatum = {iv, sizeof(iv)};
    gnutls_cipher_hd_t cipher;
    if (gnutls_cipher_init(&cipher, GNUTLS_CIPHER_DES_CBC, &keyDatum, &ivDatum) < 0) {
        qDebug() << "DES not available for the VNC password";
        return QString();
    }
    const int rc = gnutls_cipher_encrypt(cipher, block.data(), size_t(block.size()));
    gnutls_cipher_deinit(cipher);
    if (rc < 0) {
        qDebug() << "DES encryption of the VNC password failed:" << gnutls_strerror(rc);
        return QString();
    }
    return QString::fromLatin1(block.toHex());
}

QString ImageWriter::_sshDir() const
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

bool ImageWriter::hasPubKey()
{
    return QFile::exists(_sshDir() + QStringLiteral("/id_rsa.pub"));
}

bool ImageWriter::hasSshKeyGen()
{
    return !_embeddedMode;
}

QString ImageWriter::getDefaultPubKey()
{
    QFile pubKey(_sshDir() + QStringLiteral("/id_rsa.pub"));
    if (!pubKey.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(pubKey.readAll().trimmed());
}

void ImageWriter::generatePubKey()
{
    const QString dir = _sshDir();
    const QString privateKey = dir + QStringLiteral("/id_rsa");
    if (QFile::exists(privateKey + QStringLiteral(".pub")) || QFile::exists(privateKey))
        return;

    if (!QDir(dir).exists()) {
        qDebug() << "Creating" << dir;
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    const QString program = QStringLiteral("ssh-keygen");
    const QStringList args = QStringList() << QStringLiteral("-t") << QStringLiteral("rsa")
                                           << QStringLiteral("-f") << privateKey
                                           << QStringLiteral("-N") << QString();
    qDebug() << "Executing:" << program << args;
    QProcess keygen;
    keygen.setProcessChannelMode(QProcess::MergedChannels);
    keygen.start(program, args);
    if (!keygen.waitForFinished(SSH_KEYGEN_TIMEOUT_MS)) {
        qDebug() << "ssh-keygen did not finish:" << keygen.errorString();
        keygen.kill();
        keygen.waitForFinished(1000);
    }
    qDebug() << keygen.readAll();
}

QString ImageWriter::getCurrentUser()
{
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    user = user.toLower().section(QLatin1Char(' '), 0, 0);
    if (user.isEmpty() || user == QLatin1String("root"))
        return QStringLiteral("pml");
    return user;
}

QString ImageWriter::getTimezone()
{
    return QString::fromUtf8(QTimeZone::systemTimeZoneId());
}

QStringList ImageWriter::getTimezoneList()
{
    return resourceLines(QStringLiteral(":/timezones.txt"));
}

QStringList ImageWriter::getCountryList()
{
    return resourceLines(QStringLiteral(":/countries.txt"));
}

QStringList ImageWriter::getKeymapLayoutList()
{
    return resourceLines(QStringLiteral(":/keymap-layouts.txt"));
}

QString ImageWriter::detectKeyboardLayout(const QString &rootPrefix)
{
    static const char *const layouts[] = {"",   "gb", "fr", "es", "us", "de", "it", "jp",
                                          "pt", "no", "se", "dk", "ru", "tr", "il"};
    int index = deviceTreeKeyboardIndex(rootPrefix);
    if (!index)
        index = keyboardNameIndex(rootPrefix);
    // A negative device-tree byte names no layout.
    if (index <= 0 || index >= int(std::size(layouts)))
        return QString();
    return QString::fromLatin1(layouts[index]);
}

void ImageWriter::changeKeyboard(const QString &newKeymapLayout)
{
    if (!newKeymapLayout.isEmpty() && newKeymapLayout != _currentKeyboard)
        _currentKeyboard = newKeymapLayout;
}

QString ImageWriter::getCurrentKeyboard()
{
    return _currentKeyboard;
}

void ImageWriter::_scanTranslations()
{
    const QString prefix = QStringLiteral("q5-orl-imager_");
    const QString systemLanguage = QLocale::system().name().section(QLatin1Char('_'), 0, 0);
    const QStringList files = QDir(QStringLiteral(":/i18n"))
                                  .entryList({prefix + QStringLiteral("*.qm")}, QDir::Files,
                                             QDir::Name | QDir::IgnoreCase);
    for (const QString &file : files) {
        const QString code = file.mid(prefix.size(), file.size() - prefix.size() - 3);
        const QString name = code == QLatin1String("en") ? QStringLiteral("English")
                                                         : QLocale(code).nativeLanguageName();
        _translations.insert(name, code);
        if (code == systemLanguage) {
            _currentLang = name;
            _currentLangcode = code;
        }
    }
}

QStringList ImageWriter::getTranslations()
{
    QStringList names = _translations.keys();
    names.sort(Qt::CaseInsensitive);
    return names;
}

QString ImageWriter::getCurrentLanguage()
{
    return _currentLang;
}

void ImageWriter::changeLanguage(const QString &newLanguageName)
{
    if (newLanguageName.isEmpty() || newLanguageName == _currentLang ||
        !_translations.contains(newLanguageName))
        return;

    const QString code = _translations.value(newLanguageName);
    qDebug() << "Changing language to" << code;
    auto trans = std::make_unique<QTranslator>();
    if (!trans->load(QStringLiteral(":/i18n/q5-orl-imager_") + code + QStringLiteral(".qm"))) {
        qDebug() << "Failed to load translation file";
        return;
    }
    replaceTranslator(trans.release());
    _currentLang = newLanguageName;
    _currentLangcode = code;
}

void ImageWriter::replaceTranslator(QTranslator *trans)
{
    _removeTranslator();
    _trans = trans;
    QCoreApplication::installTranslator(_trans);
    if (_engine)
        _engine->retranslate();
    // The list's own entries ("Erase", "Use custom") are rebuilt in the new language.
    emit osListPrepared();
}

void ImageWriter::_removeTranslator()
{
    if (!_trans)
        return;
    QCoreApplication::removeTranslator(_trans);
    delete _trans;
    _trans = nullptr;
}

/* ---- repository list ---- */

namespace
{
constexpr int MAX_SUBITEMS_DEPTH = 16;
constexpr int MAX_LIST_REPEATS = 3;
constexpr int FIND_TIMEOUT_MS = 30000;
constexpr int MOUNT_TIMEOUT_MS = 30000;
constexpr int TIME_SYNC_RETRY_MS = 3000;

QString &repositoryServerOverride()
{
    static QString server;
    return server;
}

QString &systemRoot()
{
    static QString root;
    return root;
}

std::function<bool(qint64)> &clockSetter()
{
    static std::function<bool(qint64)> setter;
    return setter;
}

bool setSystemClock(qint64 secondsSinceEpoch)
{
    struct timeval tv = {static_cast<time_t>(secondsSinceEpoch), 0};
    return ::settimeofday(&tv, nullptr) == 0;
}

QJsonObject extraListEntry(const char *name, const char *description, const char *icon,
                           const QString &url)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("name"), QCoreApplication::translate("main", name));
    entry.insert(QStringLiteral("description"), QCoreApplication::translate("main", description));
    entry.insert(QStringLiteral("icon"), QLatin1String(icon));
    entry.insert(QStringLiteral("url"), url);
    return entry;
}
} // namespace

QString ImageWriter::repositoryServer()
{
    const QString &server = repositoryServerOverride();
    return server.isEmpty() ? QStringLiteral(Q5_REPOSITORY_SERVER) : server;
}

void ImageWriter::setRepositoryServer(const QString &baseUrl)
{
    repositoryServerOverride() = baseUrl;
}

void ImageWriter::setSystemRoot(const QString &rootPrefix) { systemRoot() = rootPrefix; }

void ImageWriter::setClockSetter(std::function<bool(qint64)> setter)
{
    clockSetter() = std::move(setter);
}

void ImageWriter::beginOSListFetch() { _requestList(_repo); }

void ImageWriter::_requestList(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    _networkManager->get(request);
}

void ImageWriter::setCustomOsListUrl(const QUrl &url) { _repo = url; }

bool ImageWriter::customRepo()
{
    return _repo.toString() != repositoryServer() + QStringLiteral("/images/list.json");
}

void ImageWriter::setHWFilterList(const QByteArray &json, bool inclusive)
{
    _deviceFilter = QJsonDocument::fromJson(json).array();
    _deviceFilterIsInclusive = inclusive;
}

void ImageWriter::handleNetworkRequestFinished(QNetworkReply *data)
{
    data->deleteLater();
    const int status = data->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // The network layer reports HTTP errors as errors too; those are told by their status.
    const bool httpAnswer = status >= 300 && status < 600;
    if (data->error() != QNetworkReply::NoError && !httpAnswer) {
        qDebug() << "Unrecognised QT error: " << data->error()
                 << ", explainer: " << data->errorString();
        return;
    }

    const QString url = data->url().toString();
    if (status >= 300 && status < 400) {
        // A redirect the network layer would not follow; asking again is bounded so that a
        // server answering so for ever does not keep us busy.
        int &repeats = _listRepeats[data->url()];
        if (repeats++ < MAX_LIST_REPEATS)
            _requestList(data->url());
        else
            qDebug() << "Giving up on URL [" << url << "] after" << MAX_LIST_REPEATS
                     << "repeated requests, got: " << status;
        return;
    }
    if (status >= 400 && status < 600) {
        qDebug() << "Failed to fetch URL [" << url << "], got: " << status;
        return;
    }
    if (status != 0 && (status < 200 || status > 299)) {
        qDebug() << "Failed to fetch URL [" << url << "], got unknown response code: " << status;
        return;
    }

    const QJsonObject reply = QJsonDocument::fromJson(data->readAll()).object();
    if (!reply.contains(QStringLiteral("os_list"))) {
        qDebug() << "Incorrectly formatted OS list at: " << url;
        return;
    }
    const QJsonArray incoming = reply.value(QStringLiteral("os_list")).toArray();
    if (_completeOsList.isEmpty()) {
        _completeOsList = QJsonDocument(reply);
    } else {
        const QJsonObject complete = _completeOsList.object();
        QJsonObject merged;
        merged.insert(QStringLiteral("imager"), complete.value(QStringLiteral("imager")));
        merged.insert(QStringLiteral("os_list"),
                      _insertSubitems(complete.value(QStringLiteral("os_list")).toArray(),
                                      incoming, data->request().url().toString(), 0));
        _completeOsList = QJsonDocument(merged);
    }
    _queueSubitemFetches(incoming, 0);
    emit osListPrepared();
}

QJsonArray ImageWriter::_insertSubitems(const QJsonArray &list, const QJsonArray &incoming,
                                        const QString &url, int depth)
{
    if (depth > MAX_SUBITEMS_DEPTH) {
        qDebug() << "Aborting insertion of subitems, exceeded maximum configured limit of "
                 << MAX_SUBITEMS_DEPTH << " levels.";
        return {};
    }
    QJsonArray out;
    for (const QJsonValue &value : list) {
        QJsonObject entry = value.toObject();
        if (entry.contains(QStringLiteral("subitems"))) {
            entry.insert(QStringLiteral("subitems"),
                         _insertSubitems(entry.value(QStringLiteral("subitems")).toArray(),
                                         incoming, url, depth + 1));
        } else if (entry.value(QStringLiteral("subitems_url")).toString() == url) {
            entry.insert(QStringLiteral("subitems"), incoming);
            entry.remove(QStringLiteral("subitems_url"));
        }
        out.append(entry);
    }
    return out;
}

void ImageWriter::_queueSubitemFetches(const QJsonArray &list, int depth)
{
    if (depth > MAX_SUBITEMS_DEPTH) {
        qDebug() << "Aborting fetch of subitems JSON, exceeded maximum configured limit of "
                 << MAX_SUBITEMS_DEPTH << " levels.";
        return;
    }
    for (const QJsonValue &value : list) {
        const QJsonObject entry = value.toObject();
        if (entry.contains(QStringLiteral("subitems")))
            _queueSubitemFetches(entry.value(QStringLiteral("subitems")).toArray(), depth + 1);
        else if (entry.contains(QStringLiteral("subitems_url")))
            _requestList(QUrl(entry.value(QStringLiteral("subitems_url")).toString()));
    }
}

QJsonArray ImageWriter::_filterByHardware(const QJsonArray &list, int depth)
{
    if (depth > MAX_SUBITEMS_DEPTH) {
        qDebug() << "Aborting insertion of subitems, exceeded maximum configured limit of "
                 << MAX_SUBITEMS_DEPTH << " levels.";
        return {};
    }
    QJsonArray out;
    for (const QJsonValue &value : list) {
        QJsonObject entry = value.toObject();
        if (entry.contains(QStringLiteral("subitems"))) {
            const QJsonArray kept =
                _filterByHardware(entry.value(QStringLiteral("subitems")).toArray(), depth + 1);
            if (!kept.isEmpty()) {
                entry.insert(QStringLiteral("subitems"), kept);
                out.append(entry);
            }
        } else if (entry.contains(QStringLiteral("devices"))) {
            const QJsonArray devices = entry.value(QStringLiteral("devices")).toArray();
            for (const QJsonValue &device : devices) {
                if (device.isString() && _deviceFilter.contains(device)) {
                    out.append(entry);
                    break;
                }
            }
        } else if (_deviceFilterIsInclusive) {
            out.append(entry);
        }
    }
    return out;
}

QByteArray ImageWriter::getFilteredOSlist()
{
    QJsonArray list;
    QJsonObject imager;
    if (!_completeOsList.isEmpty()) {
        const QJsonObject complete = _completeOsList.object();
        list = complete.value(QStringLiteral("os_list")).toArray();
        if (!_deviceFilter.isEmpty())
            list = _filterByHardware(list, 0);
        imager = complete.value(QStringLiteral("imager")).toObject();
    }
    list.append(extraListEntry(QT_TRANSLATE_NOOP("main", "Erase"),
                               QT_TRANSLATE_NOOP("main", "Format card as FAT32"),
                               "icons/erase.png", QStringLiteral("internal://format")));
    list.append(extraListEntry(QT_TRANSLATE_NOOP("main", "Use custom"),
                               QT_TRANSLATE_NOOP("main", "Select a custom .img from your computer"),
                               "icons/use_custom.png", QString()));
    QJsonObject doc;
    doc.insert(QStringLiteral("imager"), imager);
    doc.insert(QStringLiteral("os_list"), list);
    return QJsonDocument(doc).toJson(QJsonDocument::Indented);
}

void ImageWriter::_startTelemetry(const QByteArray &source)
{
    if (customRepo())
        return;
    auto *telemetry =
        new DownloadStatsTelemetry(source, _parentCategory.toLatin1(), _osName.toLatin1(),
                                   _embeddedMode, _currentLangcode, this);
    connect(telemetry, &QThread::finished, telemetry, &QObject::deleteLater);
    telemetry->start();
}

/* ---- embedded mode: network, clock, board EEPROM, USB sticks ---- */

void ImageWriter::pollNetwork()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (!address.isLoopback() && address.scopeId().isEmpty()) {
            emit networkInfo(tr("IP: %1").arg(address.toString()));
            _online = true;
            break;
        }
    }
    if (_online) {
        _networkchecktimer.stop();
        QTimer::singleShot(100, this, &ImageWriter::syncTime);
    }
}

void ImageWriter::syncTime()
{
    qDebug() << "Network online. Synchronizing time.";
    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &ImageWriter::onTimeSyncReply);
    manager->head(QNetworkRequest(
        QUrl(repositoryServer() + QStringLiteral("/images/list.json?time_synchronization"))));
}

void ImageWriter::onTimeSyncReply(QNetworkReply *reply)
{
    reply->deleteLater();
    // One manager per attempt: let it go with its reply rather than pile up on retries.
    reply->manager()->deleteLater();
    // HTTP names the zone "GMT", which the RFC 2822 reader only takes as a numeric offset.
    // An unreadable date would set the clock to the epoch; it counts as no answer.
    static const QRegularExpression gmt(QStringLiteral(" (GMT|UTC|UT)$"));
    const QString dateText = QString::fromLatin1(reply->rawHeader("Date"))
                                 .trimmed()
                                 .replace(gmt, QStringLiteral(" +0000"));
    const QDateTime date = QDateTime::fromString(dateText, Qt::RFC2822Date);
    if (!reply->hasRawHeader("Date") || !date.isValid()) {
        emit networkInfo(tr("Error synchronizing time. Trying again in 3 seconds"));
        QTimer::singleShot(TIME_SYNC_RETRY_MS, this, &ImageWriter::syncTime);
        return;
    }
    qDebug() << "Received current time from server:" << date;
    const qint64 seconds = date.toSecsSinceEpoch();
    const bool clockSet = clockSetter() ? clockSetter()(seconds) : setSystemClock(seconds);
    if (!clockSet)
        qDebug() << "Setting the system clock failed:" << strerror(errno);
    beginOSListFetch();
    emit networkOnline();
}

QString ImageWriter::repositoryUrlFromEeprom()
{
    const QString root = systemRoot();
    QFile alias(root + QStringLiteral("/sys/firmware/devicetree/base/aliases/blconfig"));
    if (!alias.open(QIODevice::ReadOnly))
        return {};
    // Device-tree strings carry their terminating NUL.
    const QString nodePath = QString::fromUtf8(alias.readAll()).remove(QChar(0)).trimmed();
    if (nodePath.isEmpty())
        return {};

    QProcess find;
    find.start(QStringLiteral("/usr/bin/find"),
               {QStringLiteral("-L"), root + QStringLiteral("/sys/bus/nvmem"),
                QStringLiteral("-maxdepth"), QStringLiteral("3"), QStringLiteral("-samefile"),
                root + QStringLiteral("/sys/firmware/devicetree/base") + nodePath});
    if (!find.waitForFinished(FIND_TIMEOUT_MS)) {
        find.kill();
        find.waitForFinished(1000);
        return {};
    }
    const QString match =
        QString::fromLocal8Bit(find.readAllStandardOutput()).split('\n').first().trimmed();
    if (match.isEmpty())
        return {};

    QFile nvmem(QFileInfo(match).absolutePath() + QStringLiteral("/nvmem"));
    if (!nvmem.open(QIODevice::ReadOnly))
        return {};
    QString url;
    for (const QByteArray &line : nvmem.readAll().split('\n')) {
        if (line.startsWith("IMAGER_REPO_URL=")) {
            url = QString::fromUtf8(line.mid(16).trimmed());
            qDebug() << "Repository from EEPROM:" << url;
        }
    }
    return url;
}

bool ImageWriter::mountUsbSourceMedia()
{
    const QString root = systemRoot();
    const QString blockDir = root + QStringLiteral("/sys/class/block");
    const QStringList devices =
        QDir(blockDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString media = root + QStringLiteral("/media");
    if (!QDir(media).exists())
        QDir().mkpath(media);

    int mounted = 0;
    for (const QString &name : devices) {
        if (name.startsWith(QLatin1String("mmcblk0")) ||
            QFileInfo(blockDir + QLatin1Char('/') + name)
                .symLinkTarget()
                .contains(QLatin1String("/devices/virtual/")))
            continue;
        const QString mountPoint = media + QLatin1Char('/') + name;
        if (QDir(mountPoint).exists()) {
            ++mounted;
            continue;
        }
        QDir().mkdir(mountPoint);
        QProcess mount;
        mount.start(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("ro"),
                                              QStringLiteral("/dev/") + name, mountPoint});
        const bool finished = mount.waitForFinished(MOUNT_TIMEOUT_MS);
        if (!finished) {
            mount.kill();
            mount.waitForFinished(1000);
        }
        if (finished && mount.exitStatus() == QProcess::NormalExit && mount.exitCode() == 0)
            ++mounted;
        else
            QDir().rmdir(mountPoint);
    }
    return mounted > 0;
}

QByteArray ImageWriter::getUsbSourceOSlist()
{
    QJsonArray list;
    const QDir media(systemRoot() + QStringLiteral("/media"));
    const QStringList patterns{QStringLiteral("*.img"), QStringLiteral("*.zip"),
                               QStringLiteral("*.gz"), QStringLiteral("*.xz"),
                               QStringLiteral("*.zst")};
    for (const QString &dirName : media.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir dir(media.filePath(dirName));
        for (const QFileInfo &file : dir.entryInfoList(patterns, QDir::Files, QDir::Name)) {
            QJsonObject entry;
            entry.insert(QStringLiteral("name"), file.fileName());
            entry.insert(QStringLiteral("description"),
                         dirName + QLatin1Char('/') + file.fileName());
            entry.insert(QStringLiteral("url"),
                         QUrl::fromLocalFile(file.absoluteFilePath()).toString());
            entry.insert(QStringLiteral("release_date"), QString());
            entry.insert(QStringLiteral("image_download_size"), file.size());
            list.append(entry);
        }
    }
    return QJsonDocument(list).toJson(QJsonDocument::Indented);
}
