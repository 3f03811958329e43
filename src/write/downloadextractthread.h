#pragma once

#include "downloadthread.h"

#include <QByteArray>
#include <QFuture>
#include <archive.h>
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
                          const QByteArray &expectedHash = QByteArray(), QObject *parent = nullptr);
    ~DownloadExtractThread() override;

    void cancelDownload() override;
    bool isImage() override;
    virtual void extractImageRun();
    // Extracts the files of a zip archive onto the FAT file system of the freshly formatted
    // destination drive; the expected hash is that of the archive itself.
    virtual void extractMultiFileRun();
    virtual void enableMultipleFileExtraction();
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

    // Hands the rest of the input to the download digest after the archive reader stopped
    // short of it (a zip's central directory is never read when streaming).
    void _drainInput(struct archive *a);

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
    bool _inputEnded = false;

private:
    bool _takePendingWriteResult();
    QString _findMountedFileSystem();
    bool _mountPartition(QString &mountDir);
    static bool _isMountPoint(const QString &dir);
    void _extractFiles(struct archive *a, struct archive *disk, QStringList &files,
                       QStringList &dirs);
    void _checkArchiveHash();
    void _deleteExtractedFiles(QStringList files, QStringList dirs);
    void _unmountJobMount(const QString &mountDir);
};
