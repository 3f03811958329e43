#include "dfu_load.h"

#include "dfu_util.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

constexpr unsigned int MANIFEST_POLL_MS = 1000;
constexpr int PROGRESS_BAR_WIDTH = 25;

using Clock = std::chrono::steady_clock;

class ProgressBar
{
public:
    ProgressBar(const char *name, unsigned long long total) : _name(name), _total(total) {}

    void update(unsigned long long done)
    {
        const unsigned long long percent = _total ? done * 100 / _total : 100;
        const int marks = int(percent / 4);
        const time_t now = time(nullptr);
        if (marks == _marks && now == _drawnAt)
            return;
        _marks = marks;
        _drawnAt = now;
        char bar[PROGRESS_BAR_WIDTH + 1];
        memset(bar, ' ', PROGRESS_BAR_WIDTH);
        memset(bar, '=', size_t(marks));
        bar[PROGRESS_BAR_WIDTH] = '\0';
        printf("\r%s\t[%s] %3llu%% %12llu bytes", _name, bar, percent, done);
        if (percent == 100)
            printf("\n%s done.\n", _name);
        fflush(stdout);
    }

private:
    const char *_name;
    unsigned long long _total;
    int _marks = -1;
    time_t _drawnAt = 0;
};

const char *state_name(int state)
{
    const char *name = dfu_state_to_string(state);
    return name ? name : "?";
}

void print_status(const dfu_status &st)
{
    printf("DFU state(%u) = %s, status(%u) = %s\n", st.bState, state_name(st.bState), st.bStatus,
           dfu_status_to_string(st.bStatus));
}

bool busy_too_long(Clock::time_point since, const dfu_status &st)
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    if (elapsed.count() <= dfu_busy_limit())
        return false;
    fprintf(stderr, "Device stayed in state %s for more than %u ms\n", state_name(st.bState),
            dfu_busy_limit());
    return true;
}

// Polls until the device has taken the last block: dfuDNLOAD-IDLE, or dfuERROR.
int wait_block_taken(dfu_interface *dif, dfu_status *st)
{
    const Clock::time_point start = Clock::now();
    for (;;) {
        const int ret = dfu_get_status(dif, st);
        if (ret < 0) {
            fprintf(stderr, "Error during download get_status (%s)\n", libusb_error_name(ret));
            return ret;
        }
        if (st->bState == DFU_STATE_dfuDNLOAD_IDLE || st->bState == DFU_STATE_dfuERROR)
            return 0;
        if (busy_too_long(start, *st))
            return LIBUSB_ERROR_BUSY;
        milli_sleep(st->bwPollTimeout);
    }
}

int send_blocks(dfu_interface *dif, int xfer_size, const uint8_t *data, int64_t length,
                uint16_t *transaction)
{
    ProgressBar bar("Download", (unsigned long long)length);
    bar.update(0);
    int64_t sent = 0;
    while (sent < length) {
        const int chunk = int(std::min<int64_t>(xfer_size, length - sent));
        int ret = dfu_download(dif->dev_handle, dif->interface, uint16_t(chunk), (*transaction)++,
                               data + sent);
        if (ret < 0) {
            fprintf(stderr, "Error during download (%s)\n", libusb_error_name(ret));
            return ret;
        }
        dfu_status st;
        ret = wait_block_taken(dif, &st);
        if (ret < 0)
            return ret;
        if (st.bStatus != DFU_STATUS_OK) {
            printf(" failed!\n");
            print_status(st);
            return -1;
        }
        sent += chunk;
        bar.update((unsigned long long)sent);
    }
    return 0;
}

int reset_after_manifest(dfu_interface *dif)
{
    printf("Resetting USB to switch back to runtime mode\n");
    const int ret = libusb_reset_device(dif->dev_handle);
    if (ret < 0 && ret != LIBUSB_ERROR_NOT_FOUND) {
        fprintf(stderr, "error resetting after download (%s)\n", libusb_error_name(ret));
        return ret;
    }
    return 0;
}

int manifest(dfu_interface *dif)
{
    const Clock::time_point start = Clock::now();
    for (;;) {
        dfu_status st;
        const int ret = dfu_get_status(dif, &st);
        if (ret < 0) {
            fprintf(stderr, "unable to read DFU status after completion (%s)\n",
                    libusb_error_name(ret));
            return ret;
        }
        print_status(st);
        milli_sleep(st.bwPollTimeout);
        switch (st.bState) {
        case DFU_STATE_dfuMANIFEST_SYNC:
        case DFU_STATE_dfuMANIFEST:
            if (busy_too_long(start, st))
                return LIBUSB_ERROR_BUSY;
            milli_sleep(MANIFEST_POLL_MS);
            continue;
        case DFU_STATE_dfuMANIFEST_WAIT_RESET:
            return reset_after_manifest(dif);
        default:
            // A device that fails manifestation (say, its verification) must not read as done.
            return st.bStatus == DFU_STATUS_OK ? 0 : -1;
        }
    }
}

} // namespace

int dfuload_do_dnload(dfu_interface *dif, int xfer_size, const dfu_file_data *file)
{
    printf("Copying data from PC to DFU device\n");
    const uint8_t *payload = file->firmware + file->size.prefix;
    const int64_t length = file->total_size - file->size.prefix - file->size.suffix;
    uint16_t transaction = 0;
    int ret = send_blocks(dif, xfer_size, payload, length, &transaction);
    if (ret < 0)
        return ret;
    ret = dfu_download(dif->dev_handle, dif->interface, 0, transaction, nullptr);
    if (ret < 0) {
        fprintf(stderr, "Error sending completion packet (%s)\n", libusb_error_name(ret));
        return ret;
    }
    ret = manifest(dif);
    if (ret >= 0)
        printf("Done!\n");
    return ret;
}
