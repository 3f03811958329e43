#pragma once
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

// Redirects file descriptor 2 into a temporary file until text() or destruction.
class StderrCapture
{
public:
    StderrCapture()
    {
        _file.open();
        fflush(stderr);
        _saved = dup(STDERR_FILENO);
        dup2(_file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    QByteArray text()
    {
        restore();
        _file.seek(0);
        return _file.readAll();
    }

private:
    void restore()
    {
        if (_saved < 0)
            return;
        fflush(stderr);
        dup2(_saved, STDERR_FILENO);
        close(_saved);
        _saved = -1;
    }

    QTemporaryFile _file;
    int _saved = -1;
};

} // namespace dfutest
