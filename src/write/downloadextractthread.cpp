#include "downloadextractthread.h"

#include <QDebug>
#include <QtConcurrent/QtConcurrentRun>
#include <archive.h>
#include <archive_entry.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {
constexpr size_t BLOCK_SIZE = 1024 * 1024;
constexpr size_t SECTOR_SIZE = 512;
// Queue waits are sliced so that a stuck peer can never hold a thread for ever; the cancel
// path always leaves a marker in the queue, so a slice ends on the next check.
constexpr auto QUEUE_WAIT_SLICE = std::chrono::milliseconds(500);

char *allocAlignedBlock(size_t size)
{
    void *p = nullptr;
    if (posix_memalign(&p, 4096, size) != 0)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}
} // namespace

// Runs the extraction loop of its owner on a thread of its own.
class _extractThreadClass : public QThread
{
public:
    explicit _extractThreadClass(DownloadExtractThread *parent)
        : QThread(parent), _owner(parent)
    {
    }

protected:
    void run() override
    {
        if (_owner->isImage())
            _owner->extractImageRun();
    }

private:
    DownloadExtractThread *_owner;
};

DownloadExtractThread::DownloadExtractThread(const QByteArray &url,
                                             const QByteArray &localfilename,
                                             const QByteArray &expectedHash, QObject *parent)
    : DownloadThread(url, localfilename, expectedHash, false, parent), _abufsize(BLOCK_SIZE),
      _inputHash(QCryptographicHash::Sha256)
{
    _extractThread = new _extractThreadClass(this);
    _abuf[0] = allocAlignedBlock(_abufsize);
    _abuf[1] = allocAlignedBlock(_abufsize);
}

DownloadExtractThread::~DownloadExtractThread()
{
    _cancelRequested = true;
    _cancelExtract();
    if (!_extractThread->wait(10000)) {
        _extractThread->terminate();
        _extractThread->wait(1000);
    }
    // The job thread may still be reading into the buffers: stop it before freeing them.
    wait();
    std::free(_abuf[0]);
    std::free(_abuf[1]);
}

void DownloadExtractThread::cancelDownload()
{
    DownloadThread::cancelDownload();
    _cancelExtract();
}

bool DownloadExtractThread::isImage() { return _isImage; }

void DownloadExtractThread::waitForExtractThread()
{
    if (_ethreadStarted)
        _extractThread->wait();
}

void DownloadExtractThread::_onDownloadSuccess() { _pushQueue("", 0); }

void DownloadExtractThread::_onDownloadError(const QString &msg)
{
    DownloadThread::_onDownloadError(msg);
    _cancelExtract();
}

size_t DownloadExtractThread::_writeData(const char *buf, size_t len)
{
    if (_cancelRequested)
        return 0;
    _writeCache(buf, len);
    if (!_ethreadStarted) {
        _extractThread->start(priority());
        _ethreadStarted = true;
        QThread::msleep(100);
    }
    if (!_isImage)
        _inputHash.addData(buf, static_cast<int>(len));
    _pushQueue(buf, len);
    return len;
}

void DownloadExtractThread::_pushQueue(const char *data, size_t len)
{
    std::unique_lock<std::mutex> lock(_queueMutex);
    while (_queue.size() >= MAX_QUEUE_SIZE) {
        if (_cancelRequested)
            return;
        _cv.wait_for(lock, QUEUE_WAIT_SLICE);
    }
    _queue.emplace_back(data, static_cast<qsizetype>(len));
    const bool wasEmpty = _queue.size() == 1;
    lock.unlock();
    if (wasEmpty)
        _cv.notify_one();
}

QByteArray DownloadExtractThread::_popQueue()
{
    std::unique_lock<std::mutex> lock(_queueMutex);
    while (_queue.empty())
        _cv.wait_for(lock, QUEUE_WAIT_SLICE);
    QByteArray block = std::move(_queue.front());
    _queue.pop_front();
    const bool wasFull = _queue.size() == MAX_QUEUE_SIZE - 1;
    lock.unlock();
    if (wasFull)
        _cv.notify_one();
    return block;
}

void DownloadExtractThread::_cancelExtract()
{
    {
        std::lock_guard<std::mutex> lock(_queueMutex);
        _queue.clear();
        _queue.emplace_back();
    }
    _cv.notify_all();
}

ssize_t DownloadExtractThread::_on_read(struct archive *, const void **buff)
{
    _currentBlock = _popQueue();
    *buff = _currentBlock.constData();
    return _currentBlock.size();
}

int DownloadExtractThread::_on_close(struct archive *) { return 0; }

bool DownloadExtractThread::_canSeek() const { return false; }

la_int64_t DownloadExtractThread::_on_seek(struct archive *, la_int64_t, int)
{
    return ARCHIVE_FATAL;
}

la_int64_t DownloadExtractThread::_archive_seek(struct archive *a, void *client_data,
                                                la_int64_t offset, int whence)
{
    return static_cast<DownloadExtractThread *>(client_data)->_on_seek(a, offset, whence);
}

ssize_t DownloadExtractThread::_archive_read(struct archive *a, void *client_data,
                                             const void **buff)
{
    return static_cast<DownloadExtractThread *>(client_data)->_on_read(a, buff);
}

int DownloadExtractThread::_archive_close(struct archive *a, void *client_data)
{
    return static_cast<DownloadExtractThread *>(client_data)->_on_close(a);
}

// Waits for the block write in flight, if any; false when it failed (already reported).
bool DownloadExtractThread::_takePendingWriteResult()
{
    if (!_writeThreadStarted)
        return true;
    _writeThreadStarted = false;
    if (_writeFuture.result() != 0)
        return true;
    if (!_cancelRequested)
        _onWriteError();
    return false;
}

void DownloadExtractThread::extractImageRun()
{
    struct archive *a = archive_read_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_raw(a);
    archive_read_support_format_zip(a);
    archive_read_support_format_7zip(a);
    if (_canSeek())
        archive_read_set_seek_callback(a, &DownloadExtractThread::_archive_seek);
    archive_read_open(a, this, nullptr, &DownloadExtractThread::_archive_read,
                      &DownloadExtractThread::_archive_close);

    try {
        struct archive_entry *entry;
        int r = archive_read_next_header(a, &entry);
        if (r < ARCHIVE_OK) {
            const char *text = archive_error_string(a);
            qDebug() << (text ? text : "archive header error");
            if (r < ARCHIVE_WARN)
                throw std::runtime_error(text ? text : "archive header error");
        }

        for (;;) {
            char *buf = _abuf[_activeBuf];
            ssize_t size = archive_read_data(a, buf, _abufsize);
            if (size < 0) {
                const char *text = archive_error_string(a);
                throw std::runtime_error(text ? text : "archive data error");
            }
            if (size == 0)
                break;

            size_t len = static_cast<size_t>(size);
            if (len % SECTOR_SIZE) {
                size_t padded = (len + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
                qDebug() << "Image is NOT a valid disk image, as its length is not a multiple of "
                            "the sector size of 512 bytes long";
                qDebug() << "Last write() would be" << len << "bytes, but padding to" << padded
                         << "bytes";
                std::memset(buf + len, 0, padded - len);
                len = padded;
            }

            if (!_takePendingWriteResult()) {
                archive_read_free(a);
                return;
            }
            _writeFuture = QtConcurrent::run(
                [this, buf, len]() { return _writeFile(buf, len); });
            _writeThreadStarted = true;
            _activeBuf = _activeBuf ? 0 : 1;
        }

        if (!_takePendingWriteResult()) {
            archive_read_free(a);
            return;
        }
        if (!_cancelRequested)
            _writeComplete();
    } catch (const std::exception &e) {
        // A write in flight still uses one of the buffers: let it finish first.
        if (_writeThreadStarted) {
            _writeFuture.waitForFinished();
            _writeThreadStarted = false;
        }
        if (!_cancelRequested) {
            DownloadThread::cancelDownload();
            emit error(tr("Error extracting archive: %1").arg(QString::fromUtf8(e.what())));
        }
    }
    archive_read_free(a);
}
