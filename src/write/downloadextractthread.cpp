#include "downloadextractthread.h"

#include "linuxdrivelist.h"
#include "mountutils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace
{
constexpr size_t BLOCK_SIZE = 1024 * 1024;
constexpr size_t SECTOR_SIZE = 512;
// Queue waits are sliced so that a stuck peer can never hold a thread for ever; the cancel
// path always leaves a marker in the queue, so a slice ends on the next check.
constexpr auto QUEUE_WAIT_SLICE = std::chrono::milliseconds(500);
constexpr int MOUNT_SEARCH_ROUNDS = 3;
constexpr int MOUNT_CHECKS = 3;
constexpr int MOUNT_TOOL_TIMEOUT_MS = 60000;
// Restore times, never overwrite, refuse symbolic links, ".." and absolute paths in entry names.
constexpr int MULTI_FILE_EXTRACT_FLAGS =
    ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_NO_OVERWRITE | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
    ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

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
    explicit _extractThreadClass(DownloadExtractThread *parent) : QThread(parent), _owner(parent) {}

protected:
    void run() override
    {
        if (_owner->isImage())
            _owner->extractImageRun();
        else
            _owner->extractMultiFileRun();
    }

private:
    DownloadExtractThread *_owner;
};

DownloadExtractThread::DownloadExtractThread(const QByteArray &url, const QByteArray &localfilename,
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

bool DownloadExtractThread::isImage()
{
    return _isImage;
}

void DownloadExtractThread::enableMultipleFileExtraction()
{
    _isImage = false;
}

void DownloadExtractThread::waitForExtractThread()
{
    if (_ethreadStarted)
        _extractThread->wait();
}

void DownloadExtractThread::_onDownloadSuccess()
{
    _pushQueue("", 0);
}

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
    _inputEnded = _currentBlock.isEmpty();
    *buff = _currentBlock.constData();
    return _currentBlock.size();
}

int DownloadExtractThread::_on_close(struct archive *)
{
    return 0;
}

bool DownloadExtractThread::_canSeek() const
{
    return false;
}

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
            _writeFuture = QtConcurrent::run([this, buf, len]() { return _writeFile(buf, len); });
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

void DownloadExtractThread::_drainInput(struct archive *a)
{
    const void *buff = nullptr;
    while (!_inputEnded && _on_read(a, &buff) > 0) {
    }
}

/* ---- multi-file mode ---- */

QString DownloadExtractThread::_findMountedFileSystem()
{
    const std::string device = _targetName.toLower().toStdString();
    QString found;
    for (int round = 0; round < MOUNT_SEARCH_ROUNDS; ++round) {
        QThread::sleep(1);
        for (const Drivelist::DeviceDescriptor &d : Drivelist::ListStorageDevices()) {
            std::string name = d.device;
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            if (name == device && d.mountpoints.size() == 1)
                found = QString::fromStdString(d.mountpoints.front());
        }
    }
    return found;
}

bool DownloadExtractThread::_mountPartition(QString &mountDir)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/q5-orl-imager-mount-XXXXXX"));
    if (!dir.isValid())
        return false;
    dir.setAutoRemove(false);
    mountDir = dir.path();

    const bool endsInDigit = !_targetName.isEmpty() && std::isdigit(uchar(_targetName.back()));
    const QString partition = QString::fromUtf8(_targetName) + (endsInDigit ? "p1" : "1");
    QProcess mount;
    mount.setProcessChannelMode(QProcess::MergedChannels);
    mount.start(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("vfat"), partition, mountDir});
    const bool finished = mount.waitForFinished(MOUNT_TOOL_TIMEOUT_MS);
    if (!finished && mount.state() != QProcess::NotRunning) {
        mount.kill();
        mount.waitForFinished(MOUNT_TOOL_TIMEOUT_MS);
    }
    if (!finished || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
        qDebug() << "mount" << partition << "failed:" << mount.readAll();
        QDir().rmdir(mountDir);
        return false;
    }
    return true;
}

bool DownloadExtractThread::_isMountPoint(const QString &dir)
{
    struct stat self, parent;
    const QByteArray path = QFile::encodeName(dir);
    return ::stat(path.constData(), &self) == 0 &&
           ::stat((path + "/..").constData(), &parent) == 0 && self.st_dev != parent.st_dev;
}

void DownloadExtractThread::_unmountJobMount(const QString &mountDir)
{
    QProcess umount;
    umount.setProcessChannelMode(QProcess::MergedChannels);
    umount.start(QStringLiteral("umount"), {mountDir});
    if (!umount.waitForFinished(MOUNT_TOOL_TIMEOUT_MS) && umount.state() != QProcess::NotRunning) {
        umount.kill();
        umount.waitForFinished(MOUNT_TOOL_TIMEOUT_MS);
    }
    if (umount.exitStatus() != QProcess::NormalExit || umount.exitCode() != 0)
        qDebug() << "umount" << mountDir << "failed:" << umount.readAll();
    // Never recursive: should the unmount have failed, the card's files must stay.
    QDir().rmdir(mountDir);
}

void DownloadExtractThread::extractMultiFileRun()
{
    QString mountDir = _findMountedFileSystem();
    bool mountedByJob = false;
    if (mountDir.isEmpty()) {
        if (!_mountPartition(mountDir)) {
            emit error(tr("Error mounting FAT32 partition"));
            return;
        }
        mountedByJob = true;
    }

    bool mounted = false;
    for (int check = 0; check < MOUNT_CHECKS && !mounted; ++check) {
        mounted = _isMountPoint(mountDir);
        if (!mounted)
            QThread::sleep(1);
    }
    if (!mounted) {
        if (mountedByJob)
            QDir().rmdir(mountDir);
        emit error(tr("Operating system did not mount FAT32 partition"));
        return;
    }

    const QString previousDir = QDir::currentPath();
    if (!QDir::setCurrent(mountDir)) {
        if (mountedByJob)
            _unmountJobMount(mountDir);
        DownloadThread::cancelDownload();
        emit error(tr("Error changing to directory '%1'").arg(mountDir));
        return;
    }

    struct archive *a = archive_read_new();
    struct archive *disk = archive_write_disk_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_all(a);
    archive_write_disk_set_options(disk, MULTI_FILE_EXTRACT_FLAGS |
                                             (::geteuid() == 0 ? ARCHIVE_EXTRACT_OWNER : 0));
    if (_canSeek())
        archive_read_set_seek_callback(a, &DownloadExtractThread::_archive_seek);
    archive_read_open(a, this, nullptr, &DownloadExtractThread::_archive_read,
                      &DownloadExtractThread::_archive_close);

    QStringList files, dirs;
    QString failure;
    try {
        _extractFiles(a, disk, files, dirs);
        _drainInput(a);
        _checkArchiveHash();
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
        if (_cacheFile.isOpen())
            _cacheFile.remove();
        _deleteExtractedFiles(files, dirs);
    }

    archive_read_free(a);
    archive_write_free(disk);
    QDir::setCurrent(previousDir);
    if (mountedByJob)
        _unmountJobMount(mountDir);
    eject_disk(_targetName.constData());

    // Reported only now: until the file system is unmounted the card must not be taken out.
    if (!failure.isEmpty()) {
        if (!_cancelRequested) {
            DownloadThread::cancelDownload();
            emit error(tr("Error extracting archive: %1").arg(failure));
        }
    } else if (!_noSuccessSignal) {
        emit success();
    }
}

namespace
{
void throwIfFatal(int result, struct archive *a, const char *fallback)
{
    if (result >= ARCHIVE_OK)
        return;
    const char *text = archive_error_string(a);
    qDebug() << (text ? text : fallback);
    if (result < ARCHIVE_WARN)
        throw std::runtime_error(text ? text : fallback);
}
} // namespace

void DownloadExtractThread::_extractFiles(struct archive *a, struct archive *disk,
                                          QStringList &files, QStringList &dirs)
{
    for (;;) {
        struct archive_entry *entry;
        int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF)
            return;
        throwIfFatal(r, a, "archive header error");

        if (archive_write_header(disk, entry) < ARCHIVE_OK) {
            const char *text = archive_error_string(disk);
            qDebug() << "Not extracted:" << archive_entry_pathname(entry) << ":"
                     << (text ? text : "");
        } else {
            // Every entry that was created is recorded, empty ones too, so that a failed job
            // leaves nothing of the archive behind.
            const QString path = QString::fromUtf8(archive_entry_pathname(entry));
            (archive_entry_filetype(entry) == AE_IFDIR ? dirs : files).append(path);
            if (archive_entry_size(entry) > 0) {
                const void *buff;
                size_t size;
                la_int64_t offset;
                while ((r = archive_read_data_block(a, &buff, &size, &offset)) != ARCHIVE_EOF) {
                    throwIfFatal(r, a, "archive data error");
                    throwIfFatal(int(archive_write_data_block(disk, buff, size, offset)), disk,
                                 "write error");
                    _writtenBytes += qint64(size);
                }
            }
        }
        throwIfFatal(archive_write_finish_entry(disk), disk, "write error");
    }
}

void DownloadExtractThread::_checkArchiveHash()
{
    const QByteArray computed = _inputHash.result().toHex();
    qDebug() << "Hash of compressed multi-file zip:" << computed;
    if (!_expectedHash.isEmpty() && _expectedHash != computed) {
        qDebug() << "Mismatch with expected hash:" << _expectedHash;
        throw std::runtime_error("Download corrupt. SHA256 does not match");
    }
    if (_cacheActive && _expectedHash == computed) {
        _cacheFile.close();
        emit cacheFileUpdated(computed);
    }
}

void DownloadExtractThread::_deleteExtractedFiles(QStringList files, QStringList dirs)
{
    qDebug() << "Deleting extracted files";
    for (const QString &file : files) {
        QFile::remove(file);
        const QString parent = QFileInfo(file).path();
        if (parent != QLatin1String(".") && !dirs.contains(parent))
            dirs.append(parent);
    }
    for (auto it = dirs.crbegin(); it != dirs.crend(); ++it)
        QDir().rmdir(*it);
    qDebug() << "Files:" << files;
    qDebug() << "Directories:" << dirs;
}
