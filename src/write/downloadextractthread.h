#pragma once

#include "downloadthread.h"

#include <QByteArray>
#include <archive.h>
#include <QFuture>
#include <condition_variable>
#include <deque>
#include <mutex>

class _extractThreadClass;

// Decompresses and unpacks while downloading: received blocks go through a bounded queue to
// the archive reader on a second thread, whose output goes to the device in 1 MiB blocks.
class DownloadExtractThread : public DownloadThread
{
    Q_OBJECT
public:
    DownloadExtractThread(const QByteArray &url, const QByteArray &localfilename = QByteArray(),
                          const QByteArray &expectedHash = QByteArray(),
                          QObject *parent = nullptr);
    ~DownloadExtractThread() override;

    void cancelDownload() override;
    bool isImage() override;
    virtual void extractImageRun();
    void waitForExtractThread();

    static constexpr size_t MAX_QUEUE_SIZE = 64;

protected:
    virtual ssize_t _on_read(struct archive *a, const void **buff);
    virtual int _on_close(struct archive *a);
    // Only a source that can seek (a local file) gets a seek callback: 7-Zip needs one, and
    // zip then reads its central directory instead of streaming.
    virtual bool _canSeek() const;
    virtual la_int64_t _on_seek(struct archive *a, la_int64_t offset, int whence);

    void _onDownloadSuccess() override;
    void _onDownloadError(const QString &msg) override;
    size_t _writeData(const char *buf, size_t len) override;

    void _cancelExtract();
    void _pushQueue(const char *data, size_t len);
    QByteArray _popQueue();

    static ssize_t _archive_read(struct archive *a, void *client_data, const void **buff);
    static int _archive_close(struct archive *a, void *client_data);
    static la_int64_t _archive_seek(struct archive *a, void *client_data, la_int64_t offset,
                                    int whence);

    char *_abuf[2];
    size_t _abufsize;
    _extractThreadClass *_extractThread;
    std::deque<QByteArray> _queue;
    std::mutex _queueMutex;
    std::condition_variable _cv;
    bool _ethreadStarted = false;
    bool _isImage = true;
    AcceleratedCryptographicHash _inputHash;
    int _activeBuf = 0;
    bool _writeThreadStarted = false;
    QFuture<size_t> _writeFuture;
    QByteArray _currentBlock;

private:
    bool _takePendingWriteResult();
};
