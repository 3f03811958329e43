#include "dfuwrapper.h"

#include "dfu.h"
#include "dfu_file.h"
#include "dfu_load.h"
#include "dfu_util.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <libusb.h>

namespace
{

constexpr qint64 MiB = 1048576;
constexpr qint64 STATUS_LINE_INTERVAL = 10 * MiB;
constexpr int DEFAULT_TRANSFER_SIZE = 1024;
constexpr unsigned int STREAM_REQUEST_TIMEOUT_MS = 300000;
constexpr uint16_t DETACH_TIMEOUT_MS = 1000;
constexpr unsigned long SEARCH_RETRY_DELAY_MS = 1000;
constexpr int STATUS_READ_RETRIES = 3;
constexpr unsigned long STATUS_RETRY_DELAY_MS = 100;
constexpr unsigned int MIN_BLOCK_POLL_MS = 1;
constexpr unsigned int MIN_MANIFEST_POLL_MS = 100;

QString hex4(int id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

QString usbErrorName(int code)
{
    return QString::fromLatin1(libusb_error_name(code));
}

// After a detaching download, most failures just mean the board left DFU mode to run the stage it
// was sent; these cannot come from that and still count.
bool failsEvenAfterDetach(int result)
{
    switch (result) {
    case LIBUSB_ERROR_INVALID_PARAM:
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_OVERFLOW:
    case LIBUSB_ERROR_NO_MEM:
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return true;
    default:
        return false;
    }
}

} // namespace

DfuWrapper::DfuWrapper(QObject *parent) : QObject(parent)
{
    connect(
        this, &DfuWrapper::statusMessage, this,
        [](const QString &message) { qDebug() << "DFU:" << message; }, Qt::DirectConnection);
}

DfuWrapper::~DfuWrapper()
{
    cleanup();
}

bool DfuWrapper::initialize()
{
    if (_initialized)
        return true;
    const int ret = libusb_init(&_context);
    if (ret < 0) {
        _context = nullptr;
        setError(tr("Failed to initialize libusb: %1").arg(usbErrorName(ret)));
        return false;
    }
    _initialized = true;
    return true;
}

bool DfuWrapper::findDevice(int vendorId, int productId, const QString &altName, int retries)
{
    if (!_initialized) {
        setError(tr("DFU not initialized"));
        return false;
    }
    match_vendor = vendorId;
    match_product = productId;
    _altName = altName.toUtf8();
    match_iface_alt_name = _altName.isEmpty() ? nullptr : _altName.constData();

    for (int i = 0; i < retries; i++) {
        if (_cancelled) {
            setError(tr("Device search cancelled by user"));
            return false;
        }
        if (i > 0) {
            qDebug() << "Retry" << i << "searching for DFU device...";
            QThread::msleep(SEARCH_RETRY_DELAY_MS);
        }
        _closeDevice();
        disconnect_devices();
        probe_devices(_context);
        if (dfu_root)
            break;
    }
    if (!dfu_root) {
        setError(tr("No DFU device found (VID:0x%1 PID:0x%2 alt:%3) after %4 retries")
                     .arg(hex4(vendorId), hex4(productId), altName, QString::number(retries)));
        return false;
    }
    _closeDevice();
    _interface = dfu_root;
    const int ret = libusb_open(_interface->dev, &_interface->dev_handle);
    if (ret != 0) {
        _interface->dev_handle = nullptr;
        setError(tr("Failed to open DFU device: %1").arg(usbErrorName(ret)));
        return false;
    }
    emit statusMessage(
        tr("Found DFU device: %1:%2 alt:%3").arg(hex4(vendorId), hex4(productId), altName));
    return true;
}

bool DfuWrapper::claimInterface()
{
    if (!_hasOpenDevice()) {
        setError(tr("No DFU device"));
        return false;
    }
    libusb_device_handle *handle = _interface->dev_handle;
    const int intf = _interface->interface;
    int ret = libusb_claim_interface(handle, intf);
    if (ret < 0) {
        setError(tr("Cannot claim interface: %1").arg(usbErrorName(ret)));
        return false;
    }
    ret = libusb_set_interface_alt_setting(handle, intf, _interface->altsetting);
    if (ret < 0) {
        setError(tr("Cannot set alternate interface: %1").arg(usbErrorName(ret)));
        _releaseInterface();
        return false;
    }
    dfu_status status;
    ret = dfu_get_status(_interface, &status);
    if (ret >= 0 && status.bState == DFU_STATE_dfuERROR) {
        dfu_clear_status(handle, uint16_t(intf));
        ret = dfu_get_status(_interface, &status);
    }
    if (ret < 0) {
        setError(tr("Error getting DFU status: %1").arg(usbErrorName(ret)));
        _releaseInterface();
        return false;
    }
    // An earlier run that stopped half-way leaves the device inside a transfer.
    if (status.bState == DFU_STATE_dfuDNLOAD_IDLE || status.bState == DFU_STATE_dfuUPLOAD_IDLE)
        dfu_abort(handle, uint16_t(intf));
    return true;
}

bool DfuWrapper::downloadFile(const QString &path, bool detach)
{
    if (!_hasOpenDevice()) {
        setError(tr("No DFU device"));
        return false;
    }
    if (!claimInterface())
        return false;
    dfu_file_data file(QFile::encodeName(path).toStdString());
    dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
    if (!file.firmware) {
        setError(tr("Failed to load file: %1").arg(path));
        _releaseInterface();
        return false;
    }
    emit statusMessage(tr("Downloading %1...").arg(path));
    const int ret = dfuload_do_dnload(_interface, getTransferSize(), &file);
    _releaseInterface();
    if (ret < 0) {
        if (!detach || failsEvenAfterDetach(ret)) {
            setError(tr("Download failed: %1").arg(usbErrorName(ret)));
            return false;
        }
        qDebug() << "DFU: device left DFU mode after the download:" << usbErrorName(ret);
    }
    if (detach) {
        libusb_device_handle *handle = _interface->dev_handle;
        dfu_detach(handle, _interface->interface, DETACH_TIMEOUT_MS);
        libusb_reset_device(handle);
        _closeDevice();
    }
    return true;
}

bool DfuWrapper::beginStream(qint64 totalBytes)
{
    if (!_hasOpenDevice()) {
        setError(tr("No DFU device"));
        return false;
    }
    if (totalBytes <= 0) {
        setError(tr("Image size is not known, cannot transfer"));
        return false;
    }
    if (!claimInterface())
        return false;
    _blockSize = getTransferSize();
    _declaredTotal = totalBytes;
    _sent = 0;
    _staleRestartDone = false;
    _blockNumber = 0;
    _pendingBlock.clear();
    _pendingBlock.reserve(_blockSize);
    _streaming = true;
    // A single block may take long while the eMMC erases.
    dfu_set_timeout(STREAM_REQUEST_TIMEOUT_MS);
    emit statusMessage(
        tr("Streaming %1 MB to device (this may take several minutes)...").arg(totalBytes / MiB));
    return true;
}

bool DfuWrapper::streamChunk(const char *data, qint64 length)
{
    if (!_streaming) {
        setError(tr("Transfer has not been started"));
        return false;
    }
    if (_sent + _pendingBlock.size() + length > _declaredTotal) {
        setError(tr("Transfer overran the declared image size of %1 bytes").arg(_declaredTotal));
        return false;
    }
    qint64 offset = 0;
    if (!_pendingBlock.isEmpty()) {
        offset = qMin<qint64>(_blockSize - _pendingBlock.size(), length);
        _pendingBlock.append(data, offset);
        if (_pendingBlock.size() < _blockSize)
            return true;
        if (!_sendOneBlock(_pendingBlock.constData(), _blockSize))
            return false;
        _pendingBlock.clear();
    }
    for (; length - offset >= _blockSize; offset += _blockSize) {
        if (!_sendOneBlock(data + offset, _blockSize))
            return false;
    }
    _pendingBlock.append(data + offset, length - offset);
    return true;
}

bool DfuWrapper::finishStream()
{
    if (!_streaming) {
        setError(tr("Transfer has not been started"));
        return false;
    }
    _streaming = false;
    const bool ok = _endStream();
    dfu_set_timeout(DFU_DEFAULT_TIMEOUT_MS);
    _releaseInterface();
    return ok;
}

bool DfuWrapper::downloadFileStreaming(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(tr("Failed to open file: %1").arg(path));
        return false;
    }
    const qint64 size = file.size();
    if (size == 0) {
        setError(tr("Image file is empty, cannot transfer"));
        return false;
    }
    if (!beginStream(size))
        return false;
    QByteArray buffer(_blockSize, Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        const qint64 n = file.read(buffer.data(), qMin<qint64>(_blockSize, size - done));
        if (n <= 0) {
            setError(tr("File read error during streaming"));
            _abandonStream();
            return false;
        }
        if (!streamChunk(buffer.constData(), n)) {
            _abandonStream();
            return false;
        }
        done += n;
    }
    return finishStream();
}

int DfuWrapper::getTransferSize() const
{
    if (!_interface)
        return 0;
    const int size = _interface->func_dfu.wTransferSize;
    return size ? size : DEFAULT_TRANSFER_SIZE;
}

void DfuWrapper::cancel()
{
    _cancelled = true;
}

bool DfuWrapper::isCancelled() const
{
    return _cancelled;
}

void DfuWrapper::cleanup()
{
    if (_streaming)
        _abandonStream();
    _closeDevice();
    disconnect_devices();
    if (_context)
        libusb_exit(_context);
    _context = nullptr;
    _initialized = false;
}

QString DfuWrapper::lastError() const
{
    return _lastError;
}

void DfuWrapper::setError(const QString &message)
{
    _lastError = message;
    emit statusMessage(QStringLiteral("error: %1").arg(message));
}

bool DfuWrapper::isDevicePresent(int vendorId, int productId)
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) < 0)
        return false;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    bool found = false;
    for (ssize_t i = 0; i < count && !found; i++) {
        libusb_device_descriptor desc;
        found = libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == vendorId &&
                desc.idProduct == productId;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

bool DfuWrapper::_hasOpenDevice() const
{
    return _interface && _interface->dev_handle;
}

void DfuWrapper::_closeDevice()
{
    if (_hasOpenDevice()) {
        libusb_close(_interface->dev_handle);
        _interface->dev_handle = nullptr;
    }
    _interface = nullptr;
}

void DfuWrapper::_releaseInterface()
{
    libusb_release_interface(_interface->dev_handle, _interface->interface);
}

bool DfuWrapper::_sendOneBlock(const char *data, int length)
{
    for (;;) {
        if (_cancelled) {
            setError(tr("Transfer cancelled by user"));
            return false;
        }
        const int ret =
            dfu_download(_interface->dev_handle, _interface->interface, uint16_t(length),
                         _blockNumber++, reinterpret_cast<const unsigned char *>(data));
        if (ret < 0) {
            setError(tr("Download error: %1").arg(usbErrorName(ret)));
            return false;
        }
        dfu_status status;
        if (!_waitForDeviceIdle(&status))
            return false;
        if (status.bStatus == DFU_STATUS_OK)
            break;
        // An error on the very first block means the device still holds the state of an
        // interrupted earlier transfer; one fresh start clears it.
        if (_sent != 0 || _staleRestartDone) {
            setError(tr("DFU device error: state=%1 status=%2")
                         .arg(int(status.bState))
                         .arg(int(status.bStatus)));
            return false;
        }
        _staleRestartDone = true;
        dfu_clear_status(_interface->dev_handle, _interface->interface);
        emit statusMessage(
            tr("Device had a stale DFU session, restarting transfer from the beginning..."));
        _blockNumber = 0;
    }
    _reportBlockSent(length);
    return true;
}

void DfuWrapper::_reportBlockSent(int length)
{
    const qint64 before = _sent;
    _sent += length;
    const bool complete = _sent == _declaredTotal;
    if (_sent / MiB != before / MiB || complete)
        emit streamProgress(_sent, _declaredTotal);
    if (_sent % STATUS_LINE_INTERVAL < _blockSize || complete)
        emit statusMessage(
            tr("Transferred %1 / %2 MB...").arg(_sent / MiB).arg(_declaredTotal / MiB));
}

bool DfuWrapper::_waitForDeviceIdle(dfu_status *status)
{
    QElapsedTimer busy;
    busy.start();
    for (;;) {
        int ret;
        for (int failures = 0; (ret = dfu_get_status(_interface, status)) < 0;) {
            if (ret == LIBUSB_ERROR_NO_DEVICE || ++failures > STATUS_READ_RETRIES) {
                setError(tr("Status poll error: %1").arg(usbErrorName(ret)));
                return false;
            }
            QThread::msleep(STATUS_RETRY_DELAY_MS);
        }
        if (status->bState == DFU_STATE_dfuDNLOAD_IDLE || status->bState == DFU_STATE_dfuERROR)
            return true;
        if (!_pollDelay(*status, MIN_BLOCK_POLL_MS, busy))
            return false;
    }
}

bool DfuWrapper::_waitForManifest()
{
    QElapsedTimer busy;
    busy.start();
    for (;;) {
        dfu_status status;
        if (dfu_get_status(_interface, &status) < 0) {
            setError(tr("Device disconnected unexpectedly during manifest phase"));
            return false;
        }
        switch (status.bState) {
        case DFU_STATE_dfuIDLE:
            return true;
        case DFU_STATE_dfuMANIFEST_WAIT_RESET:
            libusb_reset_device(_interface->dev_handle);
            return true;
        case DFU_STATE_dfuERROR:
            setError(tr("DFU error in manifest phase: status=%1").arg(int(status.bStatus)));
            return false;
        default:
            if (!_pollDelay(status, MIN_MANIFEST_POLL_MS, busy))
                return false;
        }
    }
}

// Waits the poll time-out the device asked for, unless the job was cancelled or the device has
// been busy for longer than any real write takes.
bool DfuWrapper::_pollDelay(const dfu_status &status, unsigned int minimumMs,
                            const QElapsedTimer &busy)
{
    if (_cancelled) {
        setError(tr("Transfer cancelled by user"));
        return false;
    }
    if (busy.elapsed() > qint64(dfu_busy_limit())) {
        const char *state = dfu_state_to_string(status.bState);
        setError(tr("Device stayed in state %1 for more than %2 seconds")
                     .arg(QString::fromLatin1(state ? state : "?"))
                     .arg(dfu_busy_limit() / 1000));
        return false;
    }
    QThread::msleep(qMax(status.bwPollTimeout, minimumMs));
    return true;
}

bool DfuWrapper::_endStream()
{
    if (!_pendingBlock.isEmpty()) {
        if (!_sendOneBlock(_pendingBlock.constData(), int(_pendingBlock.size())))
            return false;
        _pendingBlock.clear();
    }
    if (_sent != _declaredTotal) {
        setError(tr("Transfer incomplete: sent %1 of %2 bytes").arg(_sent).arg(_declaredTotal));
        return false;
    }
    const int ret =
        dfu_download(_interface->dev_handle, _interface->interface, 0, _blockNumber, nullptr);
    if (ret < 0) {
        setError(tr("Download error: %1").arg(usbErrorName(ret)));
        return false;
    }
    emit statusMessage(tr("Waiting for device to complete writing..."));
    if (!_waitForManifest())
        return false;
    // U-Boot leaves its DFU loop on DETACH and goes on with its own boot script.
    emit statusMessage(tr("Triggering eMMC boot partition write..."));
    dfu_detach(_interface->dev_handle, _interface->interface, DETACH_TIMEOUT_MS);
    return true;
}

void DfuWrapper::_abandonStream()
{
    _streaming = false;
    dfu_set_timeout(DFU_DEFAULT_TIMEOUT_MS);
    _releaseInterface();
}
