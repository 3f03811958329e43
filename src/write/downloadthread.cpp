#include "downloadthread.h"

#include "devicewrapper.h"
#include "devicewrapperfatpartition.h"
#include "mountutils.h"
#include "udisks2api.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QSettings>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>
#include <curl/curl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

QByteArray DownloadThread::_proxy;
int DownloadThread::_curlCount = 0;
long DownloadThread::_lowSpeedTime = 60;

namespace {
constexpr qint64 ZERO_SIZE = 1024 * 1024;
constexpr size_t VERIFY_BUFFER_SIZE = 128 * 1024;
constexpr size_t BLOCK_ALIGNMENT = 4096;

struct AlignedFree {
    void operator()(char *p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<char, AlignedFree>;

char *allocAligned(size_t size)
{
    void *p = nullptr;
    // aligned_alloc wants a multiple of the alignment; round up.
    size_t rounded = (size + BLOCK_ALIGNMENT - 1) / BLOCK_ALIGNMENT * BLOCK_ALIGNMENT;
    if (posix_memalign(&p, BLOCK_ALIGNMENT, rounded ? rounded : BLOCK_ALIGNMENT) != 0)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}

QString deviceShortName(const QByteArray &targetName)
{
    return QString::fromLatin1(targetName.mid(5));
}

qint64 elapsedSeconds(const QElapsedTimer &t)
{
    return t.isValid() ? t.elapsed() / 1000 : 0;
}

const QByteArray SYSTEMD_FIRSTRUN_OPTIONS = " systemd.run=/boot/firstrun.sh "
                                            "systemd.run_success_action=reboot "
                                            "systemd.unit=kernel-command-line.target";

// A commented-out setting is switched on by dropping its "#"; a present one is left alone;
// anything else is appended on a line of its own.
QByteArray mergeConfigLine(QByteArray file, const QByteArray &line)
{
    const QByteArray commented = '#' + line;
    if (file.contains(commented))
        return file.replace(commented, line);
    if (file.contains('\n' + line))
        return file;
    if (!file.endsWith('\n'))
        file += '\n';
    return file + line + '\n';
}
} // namespace

DownloadThread::DownloadThread(const QByteArray &url, const QByteArray &localfilename,
                               const QByteArray &expectedHash, bool plainFileTarget,
                               QObject *parent)
    : QThread(parent), _url(url), _targetName(localfilename), _expectedHash(expectedHash),
      _plainFileTarget(plainFileTarget), _writeDigest(QCryptographicHash::Sha256),
      _readbackDigest(QCryptographicHash::Sha256)
{
    if (!_curlCount++)
        curl_global_init(CURL_GLOBAL_ALL);
    QSettings settings;
    _ejectAfterWrite = settings.value(QStringLiteral("eject"), true).toBool();
}

DownloadThread::~DownloadThread()
{
    _cancelRequested = true;
    wait();
    if (_targetFile.isOpen())
        _targetFile.close();
    std::free(_headBlock);
    if (!--_curlCount)
        curl_global_cleanup();
}

void DownloadThread::setVerifyEnabled(bool verify) { _verifyRequested = verify; }
void DownloadThread::setUserAgent(const QByteArray &ua) { _useragent = ua; }
void DownloadThread::setInputBufferSize(int len) { _inputBufferSize = len; }
void DownloadThread::setProxy(const QByteArray &proxy) { _proxy = proxy; }
QByteArray DownloadThread::proxy() { return _proxy; }
void DownloadThread::setLowSpeedTime(long seconds) { _lowSpeedTime = seconds; }

void DownloadThread::setCacheFile(const QString &filename, qint64 filesize)
{
    _cacheFile.setFileName(filename);
    // Unbuffered, so that a full disk shows in the write that failed and not in a close that
    // nobody checks.
    if (_cacheFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        _cacheActive = true;
        // Reserve the space without growing the file: an announced length larger than the
        // download would otherwise leave trailing bytes behind the image in the cache.
        if (filesize)
            ::fallocate(_cacheFile.handle(), FALLOC_FL_KEEP_SIZE, 0, filesize);
    } else {
        qDebug() << "Error opening cache file for writing. Disabling caching.";
    }
}

void DownloadThread::setImageCustomization(const QByteArray &config, const QByteArray &cmdline,
                                           const QByteArray &firstrun, const QByteArray &cloudinit,
                                           const QByteArray &cloudinitNetwork,
                                           const QByteArray &orlinit, const QByteArray &initFormat,
                                           const QByteArray &targetLabel)
{
    _config = config;
    _cmdline = cmdline;
    _firstrun = firstrun;
    _cloudinit = cloudinit;
    _cloudinitNetwork = cloudinitNetwork;
    _orlinit = orlinit;
    _initFormat = initFormat;
    _targetLabel = targetLabel;
}

void DownloadThread::cancelDownload() { _cancelRequested = true; }
bool DownloadThread::isImage() { return true; }
quint64 DownloadThread::dlNow() const { return _lastDlNow; }
quint64 DownloadThread::dlTotal() const { return _lastDlTotal; }
quint64 DownloadThread::verifyNow() const { return _lastVerifyNow; }
quint64 DownloadThread::verifyTotal() const { return _verifyTotal; }
bool DownloadThread::successfull() const { return _successful; }
time_t DownloadThread::lastModified() const { return _lastModified; }
time_t DownloadThread::serverTime() const { return _serverTime; }

quint64 DownloadThread::bytesWritten()
{
    if (_startSectors == -1)
        return _writtenBytes;
    // A counter that cannot be read makes the difference negative, i.e. huge as unsigned,
    // so the byte count wins.
    quint64 kernelBytes = static_cast<quint64>(_sectorsWritten() - _startSectors) * 512;
    return qMin(kernelBytes, static_cast<quint64>(_writtenBytes.load()));
}

void DownloadThread::deleteDownloadedFile()
{
    if (_targetName.isEmpty())
        return;
    _targetFile.close();
    if (_cacheFile.isOpen())
        _cacheFile.remove();
}

void DownloadThread::run()
{
    if (isImage() && !_openAndPrepareDevice())
        return;
    _download();
}

/* ---- transfer ---- */

void DownloadThread::_download()
{
    qDebug() << "Image URL:" << _url;
    if (_url.startsWith("file://") && _url.size() > 7 && _url.at(7) != '/') {
        _url.replace(0, 7, "file:////");
        qDebug() << "Corrected UNC URL to:" << _url;
    }

    char errorBuf[CURL_ERROR_SIZE] = {0};
    _c = curl_easy_init();
    if (!_c) {
        _onDownloadError(tr("Error downloading: %1").arg(QStringLiteral("libcurl init failed")));
        return;
    }
    _setupCurl(errorBuf);

    emit preparationStatusUpdate(tr("starting download"));
    _jobTimer.start();

    for (;;) {
        CURLcode ret = curl_easy_perform(_c);
        // A loss with no new bytes since the last resume is a dead server, not a flaky line:
        // resuming again would retry for ever without getting anywhere.
        const bool connectionLost = ret == CURLE_PARTIAL_FILE || ret == CURLE_OPERATION_TIMEDOUT ||
                                    ret == CURLE_RECV_ERROR || ret == CURLE_HTTP2_STREAM;
        if (connectionLost && _receivedBytes() > _lastResumeCount && !_cancelRequested) {
            _resumeAfterConnectionLoss();
            continue;
        }
        if (_cancelRequested && ret != CURLE_OK)
            ret = CURLE_ABORTED_BY_CALLBACK;

        switch (ret) {
        case CURLE_OK:
            curl_easy_cleanup(_c);
            _c = nullptr;
            _successful = true;
            qDebug() << "Download done in" << elapsedSeconds(_jobTimer) << "seconds";
            _onDownloadSuccess();
            return;
        case CURLE_WRITE_ERROR:
            curl_easy_cleanup(_c);
            _c = nullptr;
            deleteDownloadedFile();
            _onWriteError();
            return;
        case CURLE_ABORTED_BY_CALLBACK:
            curl_easy_cleanup(_c);
            _c = nullptr;
            deleteDownloadedFile();
            return;
        default: {
            char *ip = nullptr;
            QString ipText;
            if (curl_easy_getinfo(_c, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
                ipText = QString::fromLatin1(ip);
            curl_easy_cleanup(_c);
            _c = nullptr;
            deleteDownloadedFile();
            QString msg = errorBuf[0] ? QString::fromUtf8(errorBuf)
                                      : QString::fromUtf8(curl_easy_strerror(ret));
            if (!ipText.isEmpty())
                msg += QStringLiteral(" - Server IP: ") + ipText;
            _onDownloadError(tr("Error downloading: %1").arg(msg));
            return;
        }
        }
    }
}

void DownloadThread::_setupCurl(char *errorBuf)
{
    curl_easy_setopt(_c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_c, CURLOPT_WRITEFUNCTION, &DownloadThread::_curl_write_callback);
    curl_easy_setopt(_c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(_c, CURLOPT_XFERINFOFUNCTION, &DownloadThread::_curl_xferinfo_callback);
    curl_easy_setopt(_c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(_c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(_c, CURLOPT_URL, _url.constData());
    curl_easy_setopt(_c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(_c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(_c, CURLOPT_ERRORBUFFER, errorBuf);
    curl_easy_setopt(_c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(_c, CURLOPT_HEADERFUNCTION, &DownloadThread::_curl_header_callback);
    curl_easy_setopt(_c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(_c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(_c, CURLOPT_LOW_SPEED_TIME, _lowSpeedTime);
    curl_easy_setopt(_c, CURLOPT_LOW_SPEED_LIMIT, 100L);
    if (_inputBufferSize)
        curl_easy_setopt(_c, CURLOPT_BUFFERSIZE, static_cast<long>(_inputBufferSize));
    if (!_useragent.isEmpty())
        curl_easy_setopt(_c, CURLOPT_USERAGENT, _useragent.constData());
    _setupProxy();
}

void DownloadThread::_setupProxy()
{
    if (_proxy.isEmpty()) {
        QNetworkProxyQuery query(QUrl(QString::fromLatin1(_url)));
        const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(query);
        if (!proxies.isEmpty() && proxies.first().type() != QNetworkProxy::NoProxy) {
            const QNetworkProxy &p = proxies.first();
            QUrl proxyUrl;
            proxyUrl.setScheme(p.type() == QNetworkProxy::Socks5Proxy ? QStringLiteral("socks5h")
                                                                      : QStringLiteral("http"));
            proxyUrl.setHost(p.hostName());
            proxyUrl.setPort(p.port());
            qDebug() << "Using proxy server:" << proxyUrl.toString();
            if (!p.user().isEmpty()) {
                proxyUrl.setUserName(p.user());
                proxyUrl.setPassword(p.password());
            }
            _proxy = proxyUrl.toEncoded();
        }
    }
    if (!_proxy.isEmpty())
        curl_easy_setopt(_c, CURLOPT_PROXY, _proxy.constData());
}

qint64 DownloadThread::_receivedBytes()
{
    curl_off_t received = 0;
    curl_easy_getinfo(_c, CURLINFO_SIZE_DOWNLOAD_T, &received);
    return _startOffset + static_cast<qint64>(received);
}

void DownloadThread::_resumeAfterConnectionLoss()
{
    time_t now = time(nullptr);
    qDebug() << "HTTP connection lost. Time:" << now;
    if (now - _lastFailureTime <= 4) {
        qDebug() << "Sleeping 5 seconds";
        QThread::sleep(5);
    }
    _lastFailureTime = now;
    // The progress counter may lag behind the last block written; resuming from it would
    // write that block twice.
    _startOffset = _lastResumeCount = _receivedBytes();
    _lastDlNow.exchange(_startOffset);
    curl_easy_setopt(_c, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(_startOffset));
}

size_t DownloadThread::_curl_write_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    return static_cast<DownloadThread *>(userdata)->_writeData(ptr, size * nmemb);
}

int DownloadThread::_curl_xferinfo_callback(void *clientp, qint64 dltotal, qint64 dlnow, qint64,
                                            qint64)
{
    return static_cast<DownloadThread *>(clientp)->_progress(dltotal, dlnow) ? 0 : 1;
}

size_t DownloadThread::_curl_header_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    size_t len = size * nmemb;
    static_cast<DownloadThread *>(userdata)->_header(std::string(ptr, len));
    return len;
}

bool DownloadThread::_progress(qint64 dltotal, qint64 dlnow)
{
    if (dltotal)
        _lastDlTotal.exchange(_startOffset + dltotal);
    _lastDlNow.exchange(_startOffset + dlnow);
    return !_cancelRequested;
}

void DownloadThread::_header(const std::string &header)
{
    if (header.compare(0, 6, "Date: ") == 0)
        _serverTime = curl_getdate(header.c_str() + 6, nullptr);
    else if (header.compare(0, 15, "Last-Modified: ") == 0)
        _lastModified = curl_getdate(header.c_str() + 15, nullptr);
    qDebug() << "Received header:" << QByteArray::fromStdString(header).trimmed();
}

size_t DownloadThread::_writeData(const char *buf, size_t len)
{
    _writeCache(buf, len);
    return _writeFile(buf, len);
}

void DownloadThread::_writeCache(const char *buf, size_t len)
{
    if (!_cacheActive || _cancelRequested)
        return;
    if (_cacheFile.write(buf, static_cast<qint64>(len)) != static_cast<qint64>(len)) {
        qDebug() << "Error writing to cache file. Disabling caching.";
        _cacheActive = false;
        // QFile::remove() gives up when closing fails, which it does on a full disk.
        _cacheFile.close();
        QFile::remove(_cacheFile.fileName());
    }
}

/* ---- device side ---- */

bool DownloadThread::_openAndPrepareDevice()
{
    const bool networkBootTarget = _targetName == "uniflash";
    if (!networkBootTarget && !_plainFileTarget) {
        emit preparationStatusUpdate(tr("unmounting drive"));
        qDebug() << "Unmounting:" << _targetName;
        unmount_disk(_targetName.constData());
    }

    emit preparationStatusUpdate(tr("opening drive"));
    _targetFile.setFileName(QString::fromUtf8(_targetName));
    if (!_targetFile.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        qDebug() << "Cannot open" << _targetName << ":" << _targetFile.errorString()
                 << "- asking the storage service";
        const int fd = UDisks2Api().authOpen(QString::fromUtf8(_targetName), QStringLiteral("rw"));
        if (fd == -1 || !_targetFile.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                                          QFileDevice::AutoCloseHandle)) {
            if (fd != -1)
                ::close(fd);
            emit error(tr("Cannot open storage device '%1'.").arg(QString::fromUtf8(_targetName)));
            return false;
        }
    }

    if (_targetName.startsWith("/dev/")) {
        const QString dev = deviceShortName(_targetName);
        QByteArray cid = _fileGetContentsTrimmed("/sys/block/" + dev + "/device/cid");
        QByteArray csd = _fileGetContentsTrimmed("/sys/block/" + dev + "/device/csd");
        if (!cid.isEmpty())
            qDebug() << "SD card CID:" << cid;
        if (!csd.isEmpty())
            qDebug() << "SD card CSD:" << csd;
        _tryDiscard(dev);
    }

    if (!networkBootTarget && !_plainFileTarget && !_zeroStartAndEnd())
        return false;

    _targetFile.seek(0);
    _startSectors = _sectorsWritten();
    return true;
}

void DownloadThread::_tryDiscard(const QString &dev)
{
    QByteArray discardMax = _fileGetContentsTrimmed("/sys/block/" + dev + "/queue/discard_max_bytes");
    if (discardMax.isEmpty() || discardMax == "0") {
        qDebug() << "BLKDISCARD not supported";
        return;
    }
    const int fd = _targetFile.handle();
    quint64 devsize = 0;
    if (::ioctl(fd, BLKGETSIZE64, &devsize) == -1) {
        qDebug() << "Error getting device/sector size with BLKGETSIZE64 ioctl():"
                 << strerror(errno);
        return;
    }
    qDebug() << "Try to perform TRIM/DISCARD on device";
    emit preparationStatusUpdate(tr("discarding existing data on drive"));
    _jobTimer.start();
    quint64 range[2] = {0, devsize};
    if (::ioctl(fd, BLKDISCARD, &range) == -1)
        qDebug() << "BLKDISCARD failed.";
    else
        qDebug() << "BLKDISCARD successful. Discarding took" << elapsedSeconds(_jobTimer)
                 << "seconds";
}

qint64 DownloadThread::_destinationLength()
{
    struct stat st;
    if (::fstat(_targetFile.handle(), &st) != 0)
        return 0;
    if (S_ISBLK(st.st_mode)) {
        quint64 size = 0;
        if (::ioctl(_targetFile.handle(), BLKGETSIZE64, &size) == 0)
            return static_cast<qint64>(size);
        return 0;
    }
    return st.st_size;
}

bool DownloadThread::_zeroStartAndEnd()
{
    const qint64 length = _destinationLength();
    QByteArray zeros(ZERO_SIZE, '\0');

    emit preparationStatusUpdate(tr("zeroing out first and last MB of drive"));
    qDebug() << "Zeroing out first and last MB of drive";
    _jobTimer.start();

    if (_targetFile.write(zeros) <= 0 || !_targetFile.flush()) {
        emit error(tr("Write error while zero'ing out MBR"));
        return false;
    }
    if (ZERO_SIZE < length) {
        // A card that claims more capacity than it has fails here, before any image data.
        if (!_targetFile.seek(length - ZERO_SIZE) || _targetFile.write(zeros) <= 0 ||
            !_targetFile.flush() || ::fsync(_targetFile.handle()) != 0) {
            emit error(tr("Write error while trying to zero out last part of card.<br>"
                          "Card could be advertising wrong capacity (possible counterfeit)."));
            return false;
        }
    }
    qDebug() << "Done zeroing out start and end of drive. Took" << elapsedSeconds(_jobTimer)
             << "seconds";
    return true;
}

qint64 DownloadThread::_sectorsWritten()
{
    if (!_targetName.startsWith("/dev/"))
        return -1;
    QFile f(QStringLiteral("/sys/class/block/") + deviceShortName(_targetName) +
            QStringLiteral("/stat"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = f.readAll().simplified().split(' ');
    if (fields.size() < 7)
        return -1;
    return fields.at(6).toLongLong();
}

size_t DownloadThread::_writeFile(const char *buf, size_t len)
{
    if (_cancelRequested)
        return len;

    if (!_headBlock) {
        // Hold back the first block: until the very end the medium has no partition table.
        _writeDigest.addData(buf, static_cast<int>(len));
        _headBlock = allocAligned(len);
        std::memcpy(_headBlock, buf, len);
        _headBlockSize = len;
        return _targetFile.seek(static_cast<qint64>(len)) ? len : 0;
    }

    QFuture<void> hashing = QtConcurrent::run(&DownloadThread::_hashData, this, buf, len);
    qint64 written = _targetFile.write(buf, static_cast<qint64>(len));
    if (written > 0)
        _writtenBytes += written;
    if (written != static_cast<qint64>(len))
        qDebug() << "Write error:" << _targetFile.errorString() << "while writing len:" << len;
    hashing.waitForFinished();
    return written > 0 ? static_cast<size_t>(written) : 0;
}

void DownloadThread::_hashData(const char *buf, size_t len)
{
    _writeDigest.addData(buf, static_cast<int>(len));
}

void DownloadThread::_onDownloadSuccess() { _writeComplete(); }

void DownloadThread::_onDownloadError(const QString &msg)
{
    _cancelRequested = true;
    emit error(msg);
}

void DownloadThread::_reportError(const QString &msg)
{
    DownloadThread::_onDownloadError(msg);
}

void DownloadThread::_onWriteError()
{
    if (!_cancelRequested)
        _onDownloadError(tr("Error writing file to disk"));
}

bool DownloadThread::_flushAndSync()
{
    if (!_targetFile.flush()) {
        _reportError(tr("Error writing to storage (while flushing)"));
        return false;
    }
    if (::fsync(_targetFile.handle()) != 0) {
        _reportError(tr("Error writing to storage (while fsync)"));
        return false;
    }
    return true;
}

void DownloadThread::_writeComplete()
{
    const QByteArray computedHash = _writeDigest.result().toHex();
    qDebug() << "Hash of uncompressed image:" << computedHash;
    if (!_expectedHash.isEmpty() && _expectedHash != computedHash) {
        qDebug() << "Mismatch with expected hash:" << _expectedHash;
        if (_cacheFile.isOpen())
            _cacheFile.remove();
        _reportError(tr("Download corrupt. Hash does not match"));
        _closeFiles();
        return;
    }
    if (_cacheActive && _expectedHash == computedHash) {
        _cacheFile.close();
        emit cacheFileUpdated(computedHash);
    }

    if (!_flushAndSync()) {
        _closeFiles();
        return;
    }
    qDebug() << "Write done in" << elapsedSeconds(_jobTimer) << "seconds";

    if (_verifyRequested && !_verify()) {
        _closeFiles();
        return;
    }

    emit finalizing();

    const bool customize = !_config.isEmpty() || !_cmdline.isEmpty() || !_firstrun.isEmpty() ||
                           !_cloudinit.isEmpty() || !_orlinit.isEmpty() ||
                           _targetLabel == "uniflash";
    if (customize && !_customizeImage()) {
        _closeFiles();
        return;
    }

    if (_headBlock && !_writeHeadBlock())
        return;

    if (!_flushAndSync()) {
        _closeFiles();
        return;
    }
    _beforeCloseDevice();
    _closeFiles();

    if (_ejectAfterWrite) {
        int result = eject_disk(_targetName.constData());
        qDebug() << "Ejecting" << _targetName << "returned" << result;
        UDisks2Api().ejectDrive(QString::fromUtf8(_targetName));
    }

    if (!_noSuccessSignal)
        emit success();
}

bool DownloadThread::_writeHeadBlock()
{
    qDebug() << "Writing first block (which we skipped at first)";
    const qint64 len = static_cast<qint64>(_headBlockSize);
    bool ok = _targetFile.seek(0) && _targetFile.write(_headBlock, len) > 0 && _targetFile.flush();
    std::free(_headBlock);
    _headBlock = nullptr;
    if (!ok) {
        _reportError(tr("Error writing first block (partition table)"));
        _closeFiles();
        return false;
    }
    _writtenBytes += len;
    return true;
}

bool DownloadThread::_customizeImage()
{
    emit preparationStatusUpdate(tr("Customizing image"));
    DeviceWrapper dw(&_targetFile);
    try {
        _customizeBootPartition(dw);
    } catch (const std::runtime_error &e) {
        qDebug() << "Error customizing image:" << e.what();
        // A failed customization must leave the medium as it was: with the device closed, the
        // wrapper's final sync cannot write the half-done changes still in its cache.
        _targetFile.close();
        emit error(QString::fromUtf8(e.what()));
        return false;
    }
    emit finalizing();
    return true;
}

void DownloadThread::_customizeBootPartition(DeviceWrapper &dw)
{
    if (_headBlock) {
        // The partition table must be in place before it is read; the wrapper writes it last.
        dw.pwrite(_headBlock, _headBlockSize, 0);
        _writtenBytes += static_cast<qint64>(_headBlockSize);
        std::free(_headBlock);
        _headBlock = nullptr;
    }

    DeviceWrapperFatPartition *fat = dw.fatPartition(1);
    if (!_config.isEmpty())
        _mergeConfigTxt(fat);
    if (_initFormat == "auto")
        _detectCustomizationMethod(fat);
    _writeMethodFiles(fat);
    if (_targetLabel == "uniflash")
        _pointUEnvAtEmmc(fat);
    if (!_cmdline.isEmpty())
        _appendToCmdlineTxt(fat);
    dw.sync();
}

void DownloadThread::_mergeConfigTxt(DeviceWrapperFatPartition *fat)
{
    QByteArray configTxt = fat->readFile(QStringLiteral("config.txt"));
    for (const QByteArray &line : _config.split('\n')) {
        if (!line.isEmpty())
            configTxt = mergeConfigLine(configTxt, line);
    }
    fat->writeFile(QStringLiteral("config.txt"), configTxt);
}

void DownloadThread::_detectCustomizationMethod(DeviceWrapperFatPartition *fat)
{
    const QByteArray issue = fat->readFile(QStringLiteral("issue.txt"));
    if (fat->fileExists(QStringLiteral("user-data"))) {
        _initFormat = "cloudinit";
        qDebug() << "user-data found on FAT partition. Assuming cloudinit support";
    } else if (issue.contains("pml-gen")) {
        _initFormat = "systemd";
        qDebug() << "using firstrun script invoked by systemd customization method";
    } else {
        _initFormat = "cloudinit";
        qDebug() << "Unknown what customization method image supports. Falling back to cloudinit";
    }
}

void DownloadThread::_writeMethodFiles(DeviceWrapperFatPartition *fat)
{
    if (_initFormat == "systemd" && !_firstrun.isEmpty()) {
        fat->writeFile(QStringLiteral("firstrun.sh"), _firstrun);
        _cmdline += SYSTEMD_FIRSTRUN_OPTIONS;
    }
    if (_initFormat == "cloudinit") {
        if (!_cloudinit.isEmpty()) {
            _cloudinit.prepend("#cloud-config\n");
            fat->writeFile(QStringLiteral("user-data"), _cloudinit);
        }
        if (!_cloudinitNetwork.isEmpty())
            fat->writeFile(QStringLiteral("network-config"), _cloudinitNetwork);
    }
    if (_initFormat == "orlinit" && !_orlinit.isEmpty())
        fat->writeFile(QStringLiteral("config.ini"), _orlinit);
}

void DownloadThread::_pointUEnvAtEmmc(DeviceWrapperFatPartition *fat)
{
    qDebug() << "Modifying uEnv.txt for" << _targetLabel << "mode (mmc0/eMMC)";
    QByteArray uEnv = fat->readFile(QStringLiteral("uEnv.txt"));
    uEnv.replace("mmcblk1", "mmcblk0");
    uEnv.replace("bootpart=1:1", "bootpart=0:1");
    fat->writeFile(QStringLiteral("uEnv.txt"), uEnv);
}

void DownloadThread::_appendToCmdlineTxt(DeviceWrapperFatPartition *fat)
{
    const QByteArray cmdlineTxt = fat->readFile(QStringLiteral("cmdline.txt")).trimmed();
    fat->writeFile(QStringLiteral("cmdline.txt"), cmdlineTxt + _cmdline);
}

void DownloadThread::_beforeCloseDevice() {}

void DownloadThread::_closeFiles()
{
    _targetFile.close();
    if (_cacheFile.isOpen())
        _cacheFile.close();
}

bool DownloadThread::_verify()
{
    AlignedBuffer buffer(allocAligned(VERIFY_BUFFER_SIZE));
    _lastVerifyNow = 0;
    _verifyTotal = _targetFile.pos();

    QElapsedTimer timer;
    timer.start();
    // Read from the medium, not from the page cache.
    ::posix_fadvise(_targetFile.handle(), 0, 0, POSIX_FADV_DONTNEED);

    if (_headBlock) {
        _readbackDigest.addData(_headBlock, static_cast<int>(_headBlockSize));
        _targetFile.seek(static_cast<qint64>(_headBlockSize));
        _lastVerifyNow += static_cast<qint64>(_headBlockSize);
    } else {
        _targetFile.seek(0);
    }

    while (_verifyRequested) {
        if (_lastVerifyNow >= _verifyTotal || _cancelRequested)
            break;
        qint64 toRead = qMin<qint64>(VERIFY_BUFFER_SIZE, _verifyTotal - _lastVerifyNow);
        qint64 got = _targetFile.read(buffer.get(), toRead);
        // End of medium before the written length is as bad as a failed read: the data is
        // not all there.
        if (got <= 0) {
            qDebug() << "Verify read failed at" << _lastVerifyNow << ":"
                     << _targetFile.errorString();
            _reportError(tr("Error reading from storage.<br>SD card may be broken."));
            return false;
        }
        _readbackDigest.addData(buffer.get(), static_cast<int>(got));
        _lastVerifyNow += got;
    }
    buffer.reset();

    qDebug() << "Verify hash:" << _readbackDigest.result().toHex();
    qDebug() << "Verify done in" << timer.elapsed() / 1000.0 << "seconds";

    if (_writeDigest.result() == _readbackDigest.result() || !_verifyRequested ||
        _cancelRequested)
        return true;
    _reportError(tr("Verifying write failed. Contents of SD card is different from what was "
                    "written to it."));
    return false;
}

QByteArray DownloadThread::_fileGetContentsTrimmed(const QString &filename)
{
    QFile f(filename);
    if (!f.exists() || !f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll().trimmed();
}
