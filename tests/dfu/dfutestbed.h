#pragma once

#include <QByteArray>
#include <QSignalSpy>
#include <QStringList>
#include <cstdint>
#include <vector>
// Test bed for the DFU code: an empty simulated bus and the core's process-wide state back at
// their defaults for the length of one test, and a capture of what the core prints on stderr.

#include "dfu.h"
#include "dfu_util.h"
#include "simusb.h"

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

namespace dfutest
{

inline void resetCoreState()
{
    disconnect_devices();
    dfu_set_timeout(DFU_DEFAULT_TIMEOUT_MS);
    dfu_set_busy_limit(DFU_DEFAULT_BUSY_LIMIT_MS);
    match_vendor = match_product = match_vendor_dfu = match_product_dfu = -1;
    match_config_index = match_iface_index = match_iface_alt_index = match_devnum = -1;
    match_iface_alt_name = match_serial = match_serial_dfu = nullptr;
}

class SimBus
{
public:
    SimBus()
    {
        simusb::resetBus();
        resetCoreState();
    }
    ~SimBus()
    {
        resetCoreState();
        simusb::resetBus();
    }
    SimBus(const SimBus &) = delete;
    SimBus &operator=(const SimBus &) = delete;
};

// Redirects standard error (or output) into a temporary file until text() or destruction.
class OutputCapture
{
public:
    explicit OutputCapture(int fd = STDERR_FILENO) : _fd(fd)
    {
        _file.open();
        flush();
        _saved = dup(_fd);
        dup2(_file.handle(), _fd);
    }
    ~OutputCapture() { restore(); }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    QByteArray text()
    {
        restore();
        // The output went to the descriptor directly, past QFile's buffering: read it the same way.
        QByteArray text;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(_file.handle(), buf, sizeof(buf), at)) > 0; at += n)
            text.append(buf, int(n));
        return text;
    }

private:
    void restore()
    {
        if (_saved < 0)
            return;
        flush();
        dup2(_saved, _fd);
        close(_saved);
        _saved = -1;
    }

    void flush() { fflush(_fd == STDOUT_FILENO ? stdout : stderr); }

    int _fd;
    QTemporaryFile _file;
    int _saved = -1;
};

// The bytes a simulated device received, as a QByteArray for comparisons.
inline QByteArray bytes(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

// The first argument of every emission of a message signal.
inline QStringList messages(const QSignalSpy &spy)
{
    QStringList list;
    for (const QList<QVariant> &args : spy)
        list << args.at(0).toString();
    return list;
}

} // namespace dfutest
