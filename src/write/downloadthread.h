#pragma once

#include "acceleratedcryptographichash.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <ctime>

typedef void CURL;
class DeviceWrapper;
class DeviceWrapperFatPartition;

// One write job: prepares the destination, receives the image in order, holds back the first
// block, hashes what it writes, verifies by reading back and writes the first block last.
// Subclasses supply the data (archive extraction, local files) or reuse the device side.
class DownloadThread : public QThread
{
    Q_OBJECT
public:
    DownloadThread(const QByteArray &url, const QByteArray &localfilename = QByteArray(),
                   const QByteArray &expectedHash = QByteArray(), bool plainFileTarget = false,
                   QObject *parent = nullptr);
    ~DownloadThread() override;

    void setVerifyEnabled(bool verify);
    void setUserAgent(const QByteArray &ua);
    void setInputBufferSize(int len);
    static void setProxy(const QByteArray &proxy);
    static QByteArray proxy();
    // Seconds below the minimum rate after which a transfer counts as stalled (default 60).
    static void setLowSpeedTime(long seconds);
    void setCacheFile(const QString &filename, qint64 filesize = 0);
    void setImageCustomization(const QByteArray &config, const QByteArray &cmdline,
                               const QByteArray &firstrun, const QByteArray &cloudinit,
                               const QByteArray &cloudinitNetwork, const QByteArray &orlinit,
                               const QByteArray &initFormat, const QByteArray &targetLabel);

    virtual void cancelDownload();
    virtual bool isImage();

    quint64 dlNow() const;
    quint64 dlTotal() const;
    quint64 verifyNow() const;
    quint64 verifyTotal() const;
    quint64 bytesWritten();
    bool successfull() const;
    time_t lastModified() const;
    time_t serverTime() const;
    void deleteDownloadedFile();

signals:
    void success();
    void error(QString msg);
    void cacheFileUpdated(QByteArray sha256);
    void finalizing();
    void preparationStatusUpdate(QString msg);
    void updateNumProgress(QVariant pos);

protected:
    void run() override;
    virtual size_t _writeFile(const char *buf, size_t len);
    virtual void _onDownloadSuccess();
    virtual void _onDownloadError(const QString &msg);
    virtual void _onWriteError();
    virtual void _writeComplete();
    virtual void _beforeCloseDevice();
    virtual bool _openAndPrepareDevice();
    virtual size_t _writeData(const char *buf, size_t len);

    bool _verify();
    bool _customizeImage();
    void _closeFiles();
    qint64 _sectorsWritten();
    void _hashData(const char *buf, size_t len);
    void _writeCache(const char *buf, size_t len);
    QByteArray _fileGetContentsTrimmed(const QString &filename);
    // The base class's own error report, never dispatched to an override.
    void _reportError(const QString &msg);

    static size_t _curl_write_callback(char *ptr, size_t size, size_t nmemb, void *userdata);
    static int _curl_xferinfo_callback(void *clientp, qint64 dltotal, qint64 dlnow,
                                       qint64 ultotal, qint64 ulnow);
    static size_t _curl_header_callback(char *ptr, size_t size, size_t nmemb, void *userdata);

    CURL *_c = nullptr;
    qint64 _startOffset = 0;
    std::atomic<qint64> _lastDlTotal{0};
    std::atomic<qint64> _lastDlNow{0};
    std::atomic<qint64> _verifyTotal{0};
    std::atomic<qint64> _lastVerifyNow{0};
    std::atomic<qint64> _writtenBytes{0};
    qint64 _lastResumeCount = 0;
    qint64 _startSectors = -1;
    QByteArray _url;
    QByteArray _useragent;
    QByteArray _targetName;
    QByteArray _expectedHash;
    QByteArray _config, _cmdline, _firstrun, _cloudinit, _cloudinitNetwork, _orlinit, _initFormat;
    QByteArray _targetLabel;
    char *_headBlock = nullptr;
    size_t _headBlockSize = 0;
    std::atomic<bool> _cancelRequested{false};
    bool _successful = false;
    bool _verifyRequested = false;
    bool _cacheActive = false;
    bool _ejectAfterWrite = true;
    bool _noSuccessSignal = false;
    time_t _lastModified = 0;
    time_t _serverTime = 0;
    time_t _lastFailureTime = 0;
    QElapsedTimer _jobTimer;
    int _inputBufferSize = 0;
    bool _plainFileTarget = false;
    QFile _targetFile;
    QFile _cacheFile;
    AcceleratedCryptographicHash _writeDigest;
    AcceleratedCryptographicHash _readbackDigest;

    static QByteArray _proxy;
    static int _curlCount;
    static long _lowSpeedTime;

private:
    void _download();
    void _setupCurl(char *errorBuf);
    void _setupProxy();
    bool _progress(qint64 dltotal, qint64 dlnow);
    void _header(const std::string &header);
    void _resumeAfterConnectionLoss();
    qint64 _receivedBytes();
    bool _zeroStartAndEnd();
    void _tryDiscard(const QString &dev);
    qint64 _destinationLength();
    bool _flushAndSync();
    bool _writeHeadBlock();
    void _customizeBootPartition(DeviceWrapper &dw);
    void _mergeConfigTxt(DeviceWrapperFatPartition *fat);
    void _detectCustomizationMethod(DeviceWrapperFatPartition *fat);
    void _writeMethodFiles(DeviceWrapperFatPartition *fat);
    void _pointUEnvAtEmmc(DeviceWrapperFatPartition *fat);
    void _appendToCmdlineTxt(DeviceWrapperFatPartition *fat);
};
