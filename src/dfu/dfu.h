#pragma once
// USB DFU 1.1 class requests, status decoding and the process-wide state of the protocol core.
// Not thread-safe: one thread at a time runs one search or one transfer.

#include <libusb.h>

#include <cstdint>
#include <string>

enum dfu_state {
    DFU_STATE_appIDLE = 0,
    DFU_STATE_appDETACH = 1,
    DFU_STATE_dfuIDLE = 2,
    DFU_STATE_dfuDNLOAD_SYNC = 3,
    DFU_STATE_dfuDNBUSY = 4,
    DFU_STATE_dfuDNLOAD_IDLE = 5,
    DFU_STATE_dfuMANIFEST_SYNC = 6,
    DFU_STATE_dfuMANIFEST = 7,
    DFU_STATE_dfuMANIFEST_WAIT_RESET = 8,
    DFU_STATE_dfuUPLOAD_IDLE = 9,
    DFU_STATE_dfuERROR = 10,
};

enum dfu_status_code {
    DFU_STATUS_OK = 0,
    DFU_STATUS_errUNKNOWN = 14,
};

enum dfu_interface_flags {
    DFU_IFF_DFU = 0x01, // the interface is in DFU mode, not run-time mode
    DFU_IFF_ALT = 0x02, // an alternate setting must be selected
};

// The DFU functional descriptor, decoded from its little-endian wire form.
struct usb_dfu_func_descriptor {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bmAttributes = 0;
    uint16_t wDetachTimeOut = 0;
    uint16_t wTransferSize = 0;
    uint16_t bcdDFUVersion = 0;
};

struct dfu_interface {
    usb_dfu_func_descriptor func_dfu;
    uint16_t quirks = 0;
    uint16_t busnum = 0;
    uint16_t devnum = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t bcdDevice = 0;
    uint8_t configuration = 0;
    uint8_t interface = 0;
    uint8_t altsetting = 0;
    uint8_t flags = 0;
    uint8_t bMaxPacketSize0 = 0;
    std::string alt_name;
    std::string serial_name;
    libusb_device *dev = nullptr;
    libusb_device_handle *dev_handle = nullptr;
    dfu_interface *next = nullptr;
};

struct dfu_status {
    uint8_t bStatus = DFU_STATUS_errUNKNOWN;
    uint32_t bwPollTimeout = 0;
    uint8_t bState = DFU_STATE_dfuERROR;
};

constexpr unsigned int DFU_DEFAULT_TIMEOUT_MS = 5000;

// Time-out of every class request, in milliseconds.
extern unsigned int dfu_timeout;
// Interfaces found by the last probe, in discovery order.
extern dfu_interface *dfu_root;

void dfu_set_timeout(unsigned int timeout_ms);

// Upper bound on how long a device may stay busy (dfuDNBUSY, dfuMANIFEST) before the status loops
// give up: far beyond a slow eMMC erase, so only a wedged device reaches it.
constexpr unsigned int DFU_DEFAULT_BUSY_LIMIT_MS = 30 * 60 * 1000;
unsigned int dfu_busy_limit();
void dfu_set_busy_limit(unsigned int limit_ms);

int dfu_detach(libusb_device_handle *device, uint16_t interface, uint16_t timeout_ms);
int dfu_download(libusb_device_handle *device, uint16_t interface, uint16_t length,
                 uint16_t transaction, const unsigned char *data);
int dfu_get_status(dfu_interface *dif, dfu_status *status);
int dfu_clear_status(libusb_device_handle *device, uint16_t interface);
int dfu_abort(libusb_device_handle *device, uint16_t interface);

// Names of states and status codes; nullptr for a state without a name.
const char *dfu_state_to_string(int state);
const char *dfu_status_to_string(int status);
