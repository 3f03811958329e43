#pragma once
// Sends one file to an XMODEM receiver over a serial line, on its own thread.

#include <QString>
#include <QThread>
#include <atomic>
#include <optional>

class QFile;
class QSerialPort;

class Transfer : public QThread
{
    Q_OBJECT
public:
    enum class CheckMode { Crc, Checksum };

    // The port is chosen through setSerialPortAndConfigure(); portName and baudRate are accepted
    // for the callers' convenience only.
    Transfer(const QString &portName, int baudRate, const QString &filePath,
             QObject *parent = nullptr);
    ~Transfer() override;

    // Looks the port up among the system's serial ports by its name (for example "ttyUSB0").
    bool setSerialPortAndConfigure(const QString &portName, quint32 baudRate);
    // Uses a device node that the system does not list as a serial port (for example a pty).
    bool setSerialDeviceAndConfigure(const QString &devicePath, quint32 baudRate);
    void setFilePath(const QString &filePath);
    void setPkcsPadding(bool enabled);
    // How long to wait for the receiver's first byte; one minute unless changed.
    void setStartTimeout(int milliseconds);

    void launch();
    // Reports the transfer as failed and makes a running transfer stop at its next wait.
    void cancel();

signals:
    void updateProgress(float progress);
    void transferCompleted();
    void transferFailed(const QString &reason);

protected:
    void run() override;

private:
    bool _openPort(QSerialPort &port);
    bool _sendBlocks(QSerialPort &port, QFile &file);
    bool _endTransmission(QSerialPort &port);
    std::optional<char> _exchange(QSerialPort &port, const QByteArray &packet);
    std::optional<CheckMode> _waitForStartByte(QSerialPort &port);
    std::optional<char> _readByte(QSerialPort &port, int timeoutMs);
    bool _readBlockData(QFile &file, QByteArray &data);
    float _progress(quint32 blocksAcknowledged, qint64 fileSize) const;
    void _fail(const QString &reason);
    void _failUnlessCancelled(const QString &reason);

    QString _portName;
    QString _portLocation;
    QString _filePath;
    bool _pkcsPadding = false;
    bool _failed = false;
    quint32 _baudRate = 0;
    int _startTimeoutMs = 60000;
    std::atomic<bool> _cancelled{false};
};
