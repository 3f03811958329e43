#pragma once

#include "downloadextractthread.h"

#include <QFile>

// Writes an image from a local file: the archive reader pulls the file's bytes directly on
// the job thread; no download and no queue.
class LocalFileExtractThread : public DownloadExtractThread
{
    Q_OBJECT
public:
    LocalFileExtractThread(const QByteArray &url, const QByteArray &dst = QByteArray(),
                           const QByteArray &expectedHash = QByteArray(),
                           QObject *parent = nullptr);
    ~LocalFileExtractThread() override;

protected:
    void run() override;
    ssize_t _on_read(struct archive *a, const void **buff) override;
    int _on_close(struct archive *a) override;
    bool _canSeek() const override;
    la_int64_t _on_seek(struct archive *a, la_int64_t offset, int whence) override;

    QFile _inputfile;
    char *_inputBuf;
};
