#include "localfileextractthread.h"

#include <QDebug>
#include <QUrl>
#include <archive.h>
#include <cstdio>
#include <cstdlib>

namespace
{
constexpr qint64 INPUT_BUFFER_SIZE = 128 * 1024;
}

LocalFileExtractThread::LocalFileExtractThread(const QByteArray &url, const QByteArray &dst,
                                               const QByteArray &expectedHash, QObject *parent)
    : DownloadExtractThread(url, dst, expectedHash, parent)
{
    void *p = nullptr;
    if (posix_memalign(&p, 4096, INPUT_BUFFER_SIZE) != 0)
        throw std::bad_alloc();
    _inputBuf = static_cast<char *>(p);
}

LocalFileExtractThread::~LocalFileExtractThread()
{
    _cancelRequested = true;
    wait();
    std::free(_inputBuf);
}

void LocalFileExtractThread::run()
{
    if (isImage() && !_openAndPrepareDevice())
        return;

    emit preparationStatusUpdate(tr("opening image file"));
    _jobTimer.start();
    _inputfile.setFileName(QUrl(QString::fromLatin1(_url)).toLocalFile());
    if (!_inputfile.open(QIODevice::ReadOnly)) {
        qDebug() << "Error opening" << _inputfile.fileName() << ":" << _inputfile.errorString();
        _onDownloadError(tr("Error opening image file"));
        _closeFiles();
        return;
    }
    _lastDlTotal = _inputfile.size();

    if (isImage())
        extractImageRun();
    else
        extractMultiFileRun();

    if (_cancelRequested)
        _closeFiles();
}

ssize_t LocalFileExtractThread::_on_read(struct archive *, const void **buff)
{
    if (_cancelRequested)
        return -1;
    *buff = _inputBuf;
    qint64 got = _inputfile.read(_inputBuf, INPUT_BUFFER_SIZE);
    if (got > 0) {
        // Format detection may seek around and read parts twice: progress is how far into
        // the file reading has come.
        if (_inputfile.pos() > _lastDlNow)
            _lastDlNow = _inputfile.pos();
        if (!isImage())
            _inputHash.addData(_inputBuf, static_cast<int>(got));
    }
    return got;
}

int LocalFileExtractThread::_on_close(struct archive *)
{
    _inputfile.close();
    return 0;
}

// In multi-file mode every byte must pass the download digest once, in order: no seeking.
bool LocalFileExtractThread::_canSeek() const
{
    return _isImage;
}

la_int64_t LocalFileExtractThread::_on_seek(struct archive *, la_int64_t offset, int whence)
{
    qint64 target = offset;
    if (whence == SEEK_CUR)
        target += _inputfile.pos();
    else if (whence == SEEK_END)
        target += _inputfile.size();
    if (_cancelRequested || !_inputfile.seek(target))
        return ARCHIVE_FATAL;
    return target;
}
