#pragma once
// One complete blocking DFU download of a loaded file into one alternate setting.

#include "dfu.h"
#include "dfu_file.h"

// Sends the file without its suffix in pieces of xfer_size bytes, ends the download and runs the
// manifestation phase. Returns a negative value on failure: a libusb error, -1 when the device
// reported an error status, LIBUSB_ERROR_BUSY when it stayed busy beyond dfu_busy_limit().
int dfuload_do_dnload(dfu_interface *dif, int xfer_size, const dfu_file_data *file);
