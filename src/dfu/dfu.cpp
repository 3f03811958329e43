#include "dfu.h"

#include "quirks.h"

unsigned int dfu_timeout = DFU_DEFAULT_TIMEOUT_MS;
dfu_interface *dfu_root = nullptr;

namespace
{

unsigned int busy_limit_ms = DFU_DEFAULT_BUSY_LIMIT_MS;

enum dfu_request : uint8_t {
    DFU_DETACH = 0,
    DFU_DNLOAD = 1,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_ABORT = 6,
};

constexpr uint8_t CLASS_INTERFACE_OUT =
    LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint8_t CLASS_INTERFACE_IN =
    LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint32_t FIXED_POLL_TIMEOUT_MS = 5;

int class_out(libusb_device_handle *device, uint8_t request, uint16_t value, uint16_t interface)
{
    return libusb_control_transfer(device, CLASS_INTERFACE_OUT, request, value, interface, nullptr,
                                   0, dfu_timeout);
}

const char *const state_names[] = {
    "appIDLE",        "appDETACH",        "dfuIDLE",     "dfuDNLOAD-SYNC",         "dfuDNBUSY",
    "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE",
    "dfuERROR",
};

const char *const status_texts[] = {
    "No error condition is present",
    "File is not targeted for use by this device",
    "File is for this device but fails some vendor-specific test",
    "Device is unable to write memory",
    "Memory erase function failed",
    "Memory erase check failed",
    "Program memory function failed",
    "Programmed memory failed verification",
    "Cannot program memory due to received address that is out of range",
    "Received DFU_DNLOAD with wLength = 0, but device does not think that it has all data yet",
    "Device's firmware is corrupt. It cannot return to run-time (non-DFU) operations",
    "iString indicates a vendor specific error",
    "Device detected unexpected USB reset signalling",
    "Device detected unexpected power on reset",
    "Something went wrong, but the device does not know what it was",
    "Device stalled an unexpected request",
};

} // namespace

void dfu_set_timeout(unsigned int timeout_ms)
{
    dfu_timeout = timeout_ms;
}

unsigned int dfu_busy_limit()
{
    return busy_limit_ms;
}

void dfu_set_busy_limit(unsigned int limit_ms)
{
    busy_limit_ms = limit_ms;
}

int dfu_detach(libusb_device_handle *device, uint16_t interface, uint16_t timeout_ms)
{
    return class_out(device, DFU_DETACH, timeout_ms, interface);
}

int dfu_download(libusb_device_handle *device, uint16_t interface, uint16_t length,
                 uint16_t transaction, const unsigned char *data)
{
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    return libusb_control_transfer(device, CLASS_INTERFACE_OUT, DFU_DNLOAD, transaction, interface,
                                   const_cast<unsigned char *>(data), length, dfu_timeout);
}

int dfu_get_status(dfu_interface *dif, dfu_status *status)
{
    // A failed request must read as an error the device cannot name.
    *status = dfu_status();
    unsigned char reply[6] = {};
    const int ret = libusb_control_transfer(dif->dev_handle, CLASS_INTERFACE_IN, DFU_GETSTATUS, 0,
                                            dif->interface, reply, sizeof(reply), dfu_timeout);
    if (ret == sizeof(reply)) {
        status->bStatus = reply[0];
        status->bwPollTimeout =
            uint32_t(reply[1]) | uint32_t(reply[2]) << 8 | uint32_t(reply[3]) << 16;
        status->bState = reply[4];
        if (dif->quirks & QUIRK_POLLTIMEOUT)
            status->bwPollTimeout = FIXED_POLL_TIMEOUT_MS;
    }
    return ret;
}

int dfu_clear_status(libusb_device_handle *device, uint16_t interface)
{
    return class_out(device, DFU_CLRSTATUS, 0, interface);
}

int dfu_abort(libusb_device_handle *device, uint16_t interface)
{
    return class_out(device, DFU_ABORT, 0, interface);
}

const char *dfu_state_to_string(int state)
{
    if (state < 0 || state >= int(sizeof(state_names) / sizeof(state_names[0])))
        return nullptr;
    return state_names[state];
}

const char *dfu_status_to_string(int status)
{
    if (status < 0 || status >= int(sizeof(status_texts) / sizeof(status_texts[0])))
        return "INVALID";
    return status_texts[status];
}
