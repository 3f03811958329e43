#pragma once
// A small single-threaded TFTP (RFC 1350) server for read requests of one directory. The caller's
// main loop calls run() over and over; one transfer runs to its end inside one call.
//
// TI mode counts a last block whose acknowledgement never comes as delivered (the boot ROM does
// not always send it). A request for "uniflash<N>" serves part N of ten of the file "uniflash".

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QUdpSocket;

class TFTP
{
public:
    TFTP(quint16 port, int blockSize, const QString &directory);
    virtual ~TFTP();
    TFTP(const TFTP &) = delete;
    TFTP &operator=(const TFTP &) = delete;

    void setCommandWaitTimeout(quint32 milliseconds);
    void setTIMode(bool on);
    // Safe to call from another thread: the new size is taken up before the next request.
    void setTftpBlockSize(int blockSize);
    void setError(bool error);
    void setProgressUpdateCallback(std::function<void(float)> hook);
    void setOnReadSuccess(std::function<void(const QByteArray &)> hook);

    // The queries below may be made from another thread while run() serves.
    float getProgress() const;
    QByteArray getLastFileName() const;
    bool isTiboot3BinSent(); // read and clear
    bool hasError();         // read and clear

    int start();
    // 0 when a request was handled or refused, -12 when nothing arrived in time, -1 when the
    // wake-up carried no datagram, the server is not started, or a transfer failed.
    int run(bool unused);
    void stop();

protected:
    virtual int onRead(const char *fileName);
    virtual int onWrite(const char *fileName);
    virtual qint64 onReadData(char *buffer, qint64 size);
    virtual void onClose();

private:
    enum Opcode : quint16 { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5 };

    void adoptRequestedBlockSize();
    int parseRq();
    bool parseRrq(const QByteArray &fileName);
    bool parseWrq(const QByteArray &fileName);
    int processRead();
    qint64 readBlockInto(char *data, qint64 bytesSent);
    bool sendBlock(const QByteArray &packet, bool lastBlock, quint16 blockNumber);
    bool waitForAck(quint16 blockNumber);
    void sendError(quint16 code, const QByteArray &message);
    void finishTransfer(qint64 bytesSent);
    float progressAfter(qint64 bytesSent) const;
    int openSplitPart(const QByteArray &requestedName);
    int openPlainFile(const QByteArray &requestedName);
    int openInDirectory(const QByteArray &name);
    QByteArray requestedFileName() const;
    void logPacketState(const QByteArray &packet, qint64 sent) const;

    quint16 _port;
    std::unique_ptr<QUdpSocket> _socket;
    QHostAddress _peerAddress;
    quint16 _peerPort = 0;
    QByteArray _packetBuffer;
    qint64 _lastDatagramLength = 0;
    QFile _file;
    qint64 _fileSize = 0; // of the file being sent, taken once per transfer
    QString _openedPath;
    QDir _directory;
    int _blockSize;
    int _bufferSize;
    std::atomic<int> _requestedBlockSize;
    quint32 _splitModeSize = 1073741824;
    quint32 _commandWaitTimeout = 30000;
    bool _tiMode = false;
    bool _splitMode = false;
    std::atomic<bool> _tiboot3Sent{false};
    std::atomic<float> _progress{0.0f};
    int _partIndex = 0;
    std::atomic<bool> _error{false};
    mutable QMutex _lastFileNameLock;
    QByteArray _lastFileName;
    std::function<void(float)> _progressHook;
    std::function<void(const QByteArray &)> _readSuccessHook;
};
