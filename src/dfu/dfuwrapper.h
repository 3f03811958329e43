#pragma once
// Talks to one board's DFU interface: finds it by alternate-setting name, claims it, and either
// downloads a whole file into it or streams an image of declared size block by block.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>

struct libusb_context;
struct dfu_interface;
struct dfu_status;

class DfuWrapper : public QObject
{
    Q_OBJECT
public:
    explicit DfuWrapper(QObject *parent = nullptr);
    ~DfuWrapper() override;

    bool initialize();
    bool findDevice(int vendorId, int productId, const QString &altName, int retries);
    bool claimInterface();
    bool downloadFile(const QString &path, bool detach);
    bool beginStream(qint64 totalBytes);
    bool streamChunk(const char *data, qint64 length);
    bool finishStream();
    bool downloadFileStreaming(const QString &path);
    int getTransferSize() const;
    void cancel();
    bool isCancelled() const;
    void cleanup();
    QString lastError() const;
    void setError(const QString &message);

    static bool isDevicePresent(int vendorId, int productId);

signals:
    void statusMessage(QString message);
    void streamProgress(qint64 bytesSent, qint64 totalBytes);

private:
    bool _hasOpenDevice() const;
    void _closeDevice();
    void _releaseInterface();
    bool _sendOneBlock(const char *data, int length);
    void _reportBlockSent(int length);
    bool _waitForDeviceIdle(dfu_status *status);
    bool _waitForManifest();
    bool _pollDelay(const dfu_status &status, unsigned int minimumMs, const QElapsedTimer &busy);
    bool _endStream();
    void _abandonStream();

    libusb_context *_context = nullptr;
    dfu_interface *_interface = nullptr;
    bool _initialized = false;
    std::atomic<bool> _cancelled{false};
    QString _lastError;
    QByteArray _altName;
    int _blockSize = 0;
    qint64 _declaredTotal = 0;
    qint64 _sent = 0;
    quint16 _blockNumber = 0;
    bool _staleRestartDone = false;
    bool _streaming = false;
    QByteArray _pendingBlock;
};
