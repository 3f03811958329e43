#pragma once
// Finding DFU interfaces on the bus, and the helpers the rest of the core shares.

#include <libusb.h>

#include <cstddef>
#include <cstdint>

// Match criteria for probe_devices(); -1 or nullptr accepts anything.
extern int match_vendor;
extern int match_product;
extern int match_vendor_dfu;
extern int match_product_dfu;
extern int match_config_index;
extern int match_iface_index;
extern int match_iface_alt_index;
extern int match_devnum;
extern const char *match_iface_alt_name;
extern const char *match_serial;
extern const char *match_serial_dfu;
extern int verbose;

// Appends every matching DFU interface of the context's devices to dfu_root.
void probe_devices(libusb_context *ctx);
// Releases every record of dfu_root and empties the list.
void disconnect_devices();

// Allocation that ends the process when memory is exhausted.
void *dfu_malloc(size_t size);

void milli_sleep(unsigned int ms);
