#include "dfu_util.h"

#include "dfu.h"
#include "quirks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int match_vendor = -1;
int match_product = -1;
int match_vendor_dfu = -1;
int match_product_dfu = -1;
int match_config_index = -1;
int match_iface_index = -1;
int match_iface_alt_index = -1;
int match_devnum = -1;
const char *match_iface_alt_name = nullptr;
const char *match_serial = nullptr;
const char *match_serial_dfu = nullptr;
int verbose = 0;

namespace
{

constexpr uint8_t USB_DT_DFU = 0x21;
constexpr int DFU_FUNC_DESC_SIZE = 9;
constexpr unsigned int DESCRIPTOR_TIMEOUT_MS = 1000;
constexpr int STRING_BUFFER_SIZE = 255;
constexpr const char *UNKNOWN_NAME = "UNKNOWN";
constexpr int EX_SOFTWARE = 70;

// Copies the first descriptor of the given type out of a descriptor list; returns its length, or
// -1 when there is none.
int find_descriptor(const unsigned char *list, int list_len, uint8_t type, unsigned char *out,
                    int out_size)
{
    int p = 0;
    while (p + 1 < list_len) {
        const int desclen = list[p];
        if (desclen == 0) {
            fprintf(stderr, "Invalid descriptor list\n");
            return -1;
        }
        if (list[p + 1] == type) {
            const int len = std::min({desclen, out_size, list_len - p});
            memcpy(out, list + p, size_t(len));
            return len;
        }
        p += desclen;
    }
    return -1;
}

usb_dfu_func_descriptor decode_func_descriptor(const unsigned char *raw)
{
    usb_dfu_func_descriptor d;
    d.bLength = raw[0];
    d.bDescriptorType = raw[1];
    d.bmAttributes = raw[2];
    d.wDetachTimeOut = uint16_t(raw[3] | raw[4] << 8);
    d.wTransferSize = uint16_t(raw[5] | raw[6] << 8);
    d.bcdDFUVersion = uint16_t(raw[7] | raw[8] << 8);
    return d;
}

bool is_dfu_class(const libusb_interface_descriptor &alt)
{
    return alt.bInterfaceClass == 0xfe && alt.bInterfaceSubClass == 0x01;
}

// Looks for the functional descriptor in the configuration, then in its DFU interfaces, and as a
// last resort asks the device itself. Returns the length found, or -1 for a device without any
// DFU interface.
int read_func_descriptor(libusb_device *dev, const libusb_config_descriptor *cfg,
                         unsigned char *raw)
{
    int ret = find_descriptor(cfg->extra, cfg->extra_length, USB_DT_DFU, raw, DFU_FUNC_DESC_SIZE);
    if (ret > -1)
        return ret;
    bool has_dfu = false;
    for (int i = 0; i < cfg->bNumInterfaces; i++) {
        const libusb_interface &intf = cfg->interface[i];
        for (int a = 0; a < intf.num_altsetting; a++) {
            const libusb_interface_descriptor &alt = intf.altsetting[a];
            if (!is_dfu_class(alt))
                continue;
            has_dfu = true;
            ret = find_descriptor(alt.extra, alt.extra_length, USB_DT_DFU, raw, DFU_FUNC_DESC_SIZE);
            if (ret > -1)
                return ret;
        }
    }
    if (!has_dfu)
        return -1;
    libusb_device_handle *handle = nullptr;
    if (libusb_open(dev, &handle) == 0) {
        ret = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                      USB_DT_DFU << 8, 0, raw, DFU_FUNC_DESC_SIZE,
                                      DESCRIPTOR_TIMEOUT_MS);
        libusb_close(handle);
        if (ret > -1)
            return ret;
    }
    fprintf(stderr, "Device has DFU interface, but has no DFU functional descriptor\n");
    memset(raw, 0, DFU_FUNC_DESC_SIZE);
    return 7;
}

usb_dfu_func_descriptor func_descriptor_from(const unsigned char *raw, int len)
{
    usb_dfu_func_descriptor d = decode_func_descriptor(raw);
    if (len == 7) {
        fprintf(stderr, "Deducing device DFU version from functional descriptor length\n");
        d.bcdDFUVersion = 0x0100;
    } else if (len < 9) {
        fprintf(stderr, "Error obtaining DFU functional descriptor\n");
        fprintf(stderr, "Please report this as a bug!\n");
        fprintf(stderr, "Warning: Assuming DFU version 1.0\n");
        d.bcdDFUVersion = 0x0100;
        fprintf(stderr, "Warning: Transfer size can not be detected\n");
        d.wTransferSize = 0;
    }
    return d;
}

// Reads string descriptor `index` in the device's first language. Returns the number of bytes
// placed in `out` (the UTF-16LE characters folded to single bytes, or the raw bytes when `raw`),
// or a negative value on failure.
int get_string_descr(libusb_device_handle *handle, uint8_t index, std::string &out, bool raw)
{
    unsigned char buf[STRING_BUFFER_SIZE];
    int ret = libusb_get_string_descriptor(handle, 0, 0, buf, sizeof(buf));
    if (ret < 0) {
        fprintf(stderr, "Failed to retrieve language identifiers\n");
        return ret;
    }
    if (ret < 4 || buf[1] != LIBUSB_DT_STRING) {
        fprintf(stderr, "Broken LANGID string descriptor\n");
        return -1;
    }
    const uint16_t langid = uint16_t(buf[2] | buf[3] << 8);
    ret = libusb_get_string_descriptor(handle, index, langid, buf, sizeof(buf));
    if (ret < 0) {
        fprintf(stderr, "Failed to retrieve string descriptor %d\n", index);
        return ret;
    }
    if (ret < 2 || buf[0] < 2) {
        fprintf(stderr, "String descriptor %d too short\n", index);
        return -1;
    }
    if (buf[1] != LIBUSB_DT_STRING) {
        fprintf(stderr, "Malformed string descriptor %d, type = 0x%02x\n", index, buf[1]);
        return -1;
    }
    int length = buf[0];
    if (length > ret) {
        fprintf(stderr, "Patching string descriptor %d length (was %d, received %d)\n", index,
                length, ret);
        length = ret;
    }
    out.clear();
    if (raw) {
        out.assign(reinterpret_cast<const char *>(buf + 2), size_t(length - 2));
        return int(out.size());
    }
    for (int si = 2; si + 1 < length; si += 2)
        out.push_back(buf[si + 1] != 0 ? '?' : char(buf[si]));
    return int(out.size());
}

std::string string_or_unknown(libusb_device_handle *handle, uint8_t index, bool raw)
{
    std::string text;
    if (index == 0 || get_string_descr(handle, index, text, raw) < 0)
        return UNKNOWN_NAME;
    return text;
}

bool is_dfu_mode(const libusb_interface_descriptor &alt, const libusb_device_descriptor &desc,
                 const libusb_config_descriptor *cfg, uint16_t dfu_version)
{
    const uint8_t protocol = alt.bInterfaceProtocol;
    return protocol == 2 || (protocol == 0 && dfu_version == 0x011a) ||
           (desc.idVendor == 0x1fc9 && desc.idProduct == 0x000c && protocol == 1) ||
           (desc.idVendor == 0x0b0e && protocol == 0 && cfg->bNumInterfaces == 1);
}

bool passes_id_filters(bool dfu_mode, const libusb_device_descriptor &desc,
                       const libusb_config_descriptor *cfg, const libusb_interface_descriptor &alt,
                       uint8_t devnum)
{
    if (match_config_index > -1 && match_config_index != cfg->bConfigurationValue)
        return false;
    if (match_iface_index > -1 && match_iface_index != alt.bInterfaceNumber)
        return false;
    if (dfu_mode) {
        if (match_iface_alt_index > -1 && match_iface_alt_index != alt.bAlternateSetting)
            return false;
        if (match_vendor_dfu > -1 && match_vendor_dfu != desc.idVendor)
            return false;
        if (match_product_dfu > -1 && match_product_dfu != desc.idProduct)
            return false;
    } else {
        if (match_vendor > -1 && match_vendor != desc.idVendor)
            return false;
        if (match_product > -1 && match_product != desc.idProduct)
            return false;
    }
    return match_devnum == -1 || match_devnum == devnum;
}

bool passes_name_filters(bool dfu_mode, const dfu_interface &rec)
{
    const char *serial_filter = dfu_mode ? match_serial_dfu : match_serial;
    if (serial_filter && rec.serial_name != serial_filter)
        return false;
    return !dfu_mode || !match_iface_alt_name || rec.alt_name == match_iface_alt_name;
}

void append_record(dfu_interface *rec)
{
    dfu_interface **tail = &dfu_root;
    while (*tail)
        tail = &(*tail)->next;
    *tail = rec;
}

void probe_configuration(libusb_device *dev, const libusb_device_descriptor &desc,
                         const libusb_config_descriptor *cfg)
{
    unsigned char raw[DFU_FUNC_DESC_SIZE] = {};
    const int len = read_func_descriptor(dev, cfg, raw);
    if (len < 0)
        return;
    const usb_dfu_func_descriptor func_dfu = func_descriptor_from(raw, len);
    const uint8_t devnum = libusb_get_device_address(dev);

    for (int i = 0; i < cfg->bNumInterfaces; i++) {
        const libusb_interface &intf = cfg->interface[i];
        for (int a = 0; a < intf.num_altsetting; a++) {
            const libusb_interface_descriptor &alt = intf.altsetting[a];
            if (!is_dfu_class(alt))
                continue;
            const uint16_t quirks = get_quirks(desc.idVendor, desc.idProduct, desc.bcdDevice);
            const bool dfu_mode = is_dfu_mode(alt, desc, cfg, func_dfu.bcdDFUVersion);
            if (!passes_id_filters(dfu_mode, desc, cfg, alt, devnum))
                continue;

            libusb_device_handle *handle = nullptr;
            const int ret = libusb_open(dev, &handle);
            if (ret != 0) {
                fprintf(stderr, "Cannot open DFU device %04x:%04x found on devnum %i (%s)\n",
                        desc.idVendor, desc.idProduct, devnum, libusb_error_name(ret));
                break;
            }
            auto *rec = new dfu_interface;
            rec->alt_name = string_or_unknown(handle, alt.iInterface, false);
            rec->serial_name =
                string_or_unknown(handle, desc.iSerialNumber, quirks & QUIRK_UTF8_SERIAL);
            libusb_close(handle);
            if (!passes_name_filters(dfu_mode, *rec)) {
                delete rec;
                continue;
            }
            rec->func_dfu = func_dfu;
            if (quirks & QUIRK_FORCE_DFU11)
                rec->func_dfu.bcdDFUVersion = 0x0110;
            rec->quirks = quirks;
            rec->busnum = libusb_get_bus_number(dev);
            rec->devnum = devnum;
            rec->vendor = desc.idVendor;
            rec->product = desc.idProduct;
            rec->bcdDevice = desc.bcdDevice;
            rec->configuration = cfg->bConfigurationValue;
            rec->interface = alt.bInterfaceNumber;
            rec->altsetting = alt.bAlternateSetting;
            rec->flags = DFU_IFF_ALT | (dfu_mode ? DFU_IFF_DFU : 0);
            rec->bMaxPacketSize0 = desc.bMaxPacketSize0;
            rec->dev = libusb_ref_device(dev);
            append_record(rec);
        }
    }
}

void probe_device(libusb_device *dev)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != 0)
        return;
    for (int c = 0; c < desc.bNumConfigurations; c++) {
        libusb_config_descriptor *cfg = nullptr;
        if (libusb_get_config_descriptor(dev, uint8_t(c), &cfg) != 0)
            continue;
        probe_configuration(dev, desc, cfg);
        libusb_free_config_descriptor(cfg);
    }
}

} // namespace

void probe_devices(libusb_context *ctx)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0)
        return;
    for (ssize_t i = 0; i < count; i++)
        probe_device(list[i]);
    libusb_free_device_list(list, 1);
}

void disconnect_devices()
{
    dfu_interface *rec = dfu_root;
    while (rec) {
        dfu_interface *next = rec->next;
        libusb_unref_device(rec->dev);
        delete rec;
        rec = next;
    }
    dfu_root = nullptr;
}

void *dfu_malloc(size_t size)
{
    void *ptr = malloc(size);
    if (!ptr) {
        fprintf(stderr, "Cannot allocate memory of size %d bytes\n", int(size));
        exit(EX_SOFTWARE);
    }
    return ptr;
}

void milli_sleep(unsigned int ms)
{
    if (ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
