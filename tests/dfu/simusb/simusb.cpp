// The simulated bus: the libusb-1.0 entry points the DFU code calls, answered by Device objects
// that follow the DFU 1.1 state machine.

#include "simusb.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace simusb
{

namespace
{

std::recursive_mutex busMutex;
std::vector<DevicePtr> bus;
int liveContexts = 0;
int liveHandles = 0;
int liveClaims = 0;
int liveDeviceRefs = 0;
int listCalls = 0;
uint8_t nextAddress = 1;

constexpr uint8_t DFU_DETACH = 0, DFU_DNLOAD = 1, DFU_GETSTATUS = 3, DFU_CLRSTATUS = 4,
                  DFU_ABORT = 6;
constexpr uint8_t SERIAL_INDEX = 1, FIRST_ALT_INDEX = 2;

} // namespace

struct Device::Impl {
    DeviceSpec spec;
    uint8_t address = 0;
    unsigned generation = 0;
    bool present = true;
    uint8_t state = dfuIDLE;
    uint8_t status = OK;
    uint16_t expectedBlock = 0;
    uint8_t pendingError = OK;
    int busyLeft = 0;
    int manifestLeft = 0;
    int dataBlocks = 0; // data DNLOADs received since attach
    int blocksTaken = 0;
    bool vanishAfterReply = false;
    Clock::time_point earliestPoll{};
    std::vector<Request> log;
    std::vector<std::string> errors;
    std::map<std::string, std::vector<uint8_t>> received;
    std::map<std::string, uint64_t> receivedBytes;
    int sinkFd = -1;
    int resets = 0;

    ~Impl()
    {
        if (sinkFd >= 0)
            close(sinkFd);
    }

    uint8_t dfuInterface() const { return spec.leadingOtherInterface ? 1 : 0; }

    void protocolError(const std::string &what)
    {
        errors.push_back(what);
        state = dfuERROR;
        status = errSTALLEDPKT;
    }

    void startSession(const std::string &alt, const Knobs &k)
    {
        expectedBlock = 0;
        received[alt].clear();
        receivedBytes[alt] = 0;
        if (sinkFd >= 0)
            close(sinkFd);
        sinkFd = -1;
        if (!k.sinkPath.empty())
            sinkFd = open(k.sinkPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }

    void keep(const std::string &alt, const unsigned char *data, uint16_t len)
    {
        receivedBytes[alt] += len;
        if (sinkFd >= 0) {
            if (write(sinkFd, data, len) != len)
                errors.push_back("sink write failed");
        } else {
            received[alt].insert(received[alt].end(), data, data + len);
        }
    }

    int dnload(const Knobs &k, const std::string &alt, uint16_t block, const unsigned char *data,
               uint16_t len)
    {
        if (len == 0) {
            if (k.zeroLengthError)
                return k.zeroLengthError;
            if (state != dfuDNLOAD_IDLE) {
                protocolError("zero-length DNLOAD in state " + std::to_string(state));
                return LIBUSB_ERROR_PIPE;
            }
            state = dfuMANIFEST_SYNC;
            manifestLeft = k.manifestPolls;
            vanishAfterReply = k.vanishOnZeroLength;
            return 0;
        }
        if (dataBlocks == k.failDnloadAt) {
            dataBlocks++;
            return k.dnloadError;
        }
        if (state == dfuIDLE)
            startSession(alt, k);
        else if (state != dfuDNLOAD_IDLE) {
            protocolError("DNLOAD in state " + std::to_string(state));
            return LIBUSB_ERROR_PIPE;
        }
        if (len > spec.transferSize && spec.transferSize != 0) {
            protocolError("DNLOAD of " + std::to_string(len) + " bytes exceeds wTransferSize");
            return LIBUSB_ERROR_PIPE;
        }
        const int ordinal = dataBlocks++;
        pendingError = OK;
        if (block != expectedBlock) {
            errors.push_back("block " + std::to_string(block) + " where " +
                             std::to_string(expectedBlock) + " was due");
            pendingError = errADDRESS;
        }
        const auto injected = k.errorOnBlock.find(ordinal);
        if (injected != k.errorOnBlock.end())
            pendingError = injected->second;
        if (pendingError == OK) {
            keep(alt, data, len);
            expectedBlock = uint16_t(block + 1);
            blocksTaken++;
            if (k.vanishAfterBlocks >= 0 && blocksTaken >= k.vanishAfterBlocks)
                vanishAfterReply = true;
        }
        state = dfuDNLOAD_SYNC;
        busyLeft = k.busyPolls;
        return len;
    }

    void reply(unsigned char *out, uint8_t replyState, uint8_t replyStatus, uint32_t poll)
    {
        out[0] = replyStatus;
        out[1] = uint8_t(poll);
        out[2] = uint8_t(poll >> 8);
        out[3] = uint8_t(poll >> 16);
        out[4] = replyState;
        out[5] = 0;
    }

    void busyReply(unsigned char *out, uint8_t busyState, uint32_t poll)
    {
        state = busyState;
        earliestPoll = Clock::now() + std::chrono::milliseconds(poll);
        reply(out, busyState, OK, poll);
    }

    int getStatus(Knobs &k, unsigned char *out, uint16_t len)
    {
        if (len < 6)
            return LIBUSB_ERROR_OVERFLOW;
        if (k.failStatusReads > 0) {
            k.failStatusReads--;
            return k.failStatusError;
        }
        if ((state == dfuDNBUSY || state == dfuMANIFEST) && Clock::now() < earliestPoll)
            errors.push_back("GETSTATUS before the poll time-out ran out");
        const uint32_t poll = k.pollTimeoutMs;
        switch (state) {
        case dfuDNLOAD_SYNC:
        case dfuDNBUSY:
            if (pendingError != OK) {
                state = dfuERROR;
                status = pendingError;
                pendingError = OK;
            } else if (k.stuckState == dfuDNBUSY || busyLeft > 0) {
                busyLeft--;
                busyReply(out, dfuDNBUSY, poll);
                return 6;
            } else {
                state = dfuDNLOAD_IDLE;
            }
            break;
        case dfuMANIFEST_SYNC:
        case dfuMANIFEST:
            if (k.stuckState == dfuMANIFEST || manifestLeft > 0) {
                manifestLeft--;
                busyReply(out, dfuMANIFEST, poll);
                return 6;
            }
            if (k.manifestError != OK) {
                state = dfuERROR;
                status = k.manifestError;
            } else {
                state = k.manifestEnd == ManifestEnd::WaitReset ? dfuMANIFEST_WAIT_RESET : dfuIDLE;
            }
            break;
        case dfuMANIFEST_WAIT_RESET:
            return LIBUSB_ERROR_PIPE; // waits for the reset and answers nothing
        default:
            break;
        }
        reply(out, state, status, poll);
        return 6;
    }

    int classRequest(Knobs &k, const std::string &alt, uint8_t request, uint16_t value,
                     unsigned char *data, uint16_t len)
    {
        switch (request) {
        case DFU_DNLOAD:
            return dnload(k, alt, value, data, len);
        case DFU_GETSTATUS:
            return getStatus(k, data, len);
        case DFU_CLRSTATUS:
            if (state != dfuERROR) {
                protocolError("CLRSTATUS outside dfuERROR");
                return LIBUSB_ERROR_PIPE;
            }
            state = dfuIDLE;
            status = OK;
            return 0;
        case DFU_ABORT:
            if (state != dfuIDLE && state != dfuDNLOAD_IDLE && state != dfuDNLOAD_SYNC &&
                state != dfuMANIFEST_SYNC && state != dfuUPLOAD_IDLE) {
                protocolError("ABORT in state " + std::to_string(state));
                return LIBUSB_ERROR_PIPE;
            }
            state = dfuIDLE;
            return 0;
        case DFU_DETACH:
            vanishAfterReply = k.vanishOnDetach;
            return 0;
        default:
            protocolError("unknown class request " + std::to_string(request));
            return LIBUSB_ERROR_PIPE;
        }
    }

    std::vector<uint8_t> funcDescriptor() const
    {
        std::vector<uint8_t> d{9,
                               0x21,
                               0x0d,
                               0xe8,
                               0x03,
                               uint8_t(spec.transferSize),
                               uint8_t(spec.transferSize >> 8),
                               uint8_t(spec.dfuVersion),
                               uint8_t(spec.dfuVersion >> 8)};
        d.resize(std::min<size_t>(spec.funcLength, d.size()));
        if (!d.empty())
            d[0] = spec.funcLength;
        return d;
    }

    std::vector<uint8_t> stringDescriptor(uint8_t index) const
    {
        const auto raw = spec.rawStrings.find(index);
        if (raw != spec.rawStrings.end())
            return raw->second;
        if (index == 0)
            return {4, 3, 0x09, 0x04};
        std::string text;
        if (index == SERIAL_INDEX)
            text = spec.serial;
        else if (index >= FIRST_ALT_INDEX && size_t(index - FIRST_ALT_INDEX) < spec.alts.size())
            text = spec.alts[index - FIRST_ALT_INDEX];
        else
            return {};
        std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 3};
        for (char c : text) {
            d.push_back(uint8_t(c));
            d.push_back(0);
        }
        return d;
    }

    int getDescriptor(uint16_t value, unsigned char *out, uint16_t len)
    {
        std::vector<uint8_t> d;
        if ((value >> 8) == LIBUSB_DT_STRING) {
            const uint8_t index = uint8_t(value);
            const auto err = spec.stringErrors.find(index);
            if (err != spec.stringErrors.end())
                return err->second;
            d = stringDescriptor(index);
            if (d.empty())
                return LIBUSB_ERROR_PIPE;
        } else if ((value >> 8) == 0x21 && spec.funcPlace != FuncPlace::Missing) {
            d = funcDescriptor();
        } else {
            return LIBUSB_ERROR_PIPE;
        }
        const size_t n = std::min<size_t>(len, d.size());
        memcpy(out, d.data(), n);
        return int(n);
    }

    void reenumerate(const std::vector<std::string> &alts)
    {
        if (!alts.empty())
            spec.alts = alts;
        generation++;
        address = nextAddress++;
        state = dfuIDLE;
        status = OK;
    }
};

Device::Device() : d(new Impl) {}
Device::~Device() = default;

} // namespace simusb

using namespace simusb;

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    DevicePtr device;
    unsigned generation;
    int refs = 1;
};

struct libusb_device_handle {
    DevicePtr device;
    unsigned generation;
    std::set<int> claimed;
    int selectedAlt = -1;
};

namespace
{

using Lock = std::lock_guard<std::recursive_mutex>;

bool reachable(const DevicePtr &device, unsigned generation)
{
    return device->d->present && device->d->generation == generation;
}

void vanish(Device::Impl &d)
{
    d.present = false;
    d.vanishAfterReply = false;
    bus.erase(std::remove_if(bus.begin(), bus.end(),
                             [&](const DevicePtr &p) { return p->d.get() == &d; }),
              bus.end());
}

std::string selectedAltName(const libusb_device_handle *h)
{
    const auto &alts = h->device->d->spec.alts;
    if (h->selectedAlt < 0 || size_t(h->selectedAlt) >= alts.size())
        return std::string();
    return alts[size_t(h->selectedAlt)];
}

std::vector<uint8_t> configExtra(const DeviceSpec &spec, const std::vector<uint8_t> &func)
{
    if (spec.rawConfigExtra)
        return spec.configExtra;
    return spec.funcPlace == FuncPlace::Configuration ? func : std::vector<uint8_t>();
}

unsigned char *copyBytes(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return nullptr;
    auto *p = new unsigned char[bytes.size()];
    memcpy(p, bytes.data(), bytes.size());
    return p;
}

libusb_interface_descriptor makeAlt(uint8_t number, uint8_t alt, uint8_t cls, uint8_t sub,
                                    uint8_t protocol, uint8_t iInterface)
{
    libusb_interface_descriptor a{};
    a.bLength = LIBUSB_DT_INTERFACE_SIZE;
    a.bDescriptorType = LIBUSB_DT_INTERFACE;
    a.bInterfaceNumber = number;
    a.bAlternateSetting = alt;
    a.bInterfaceClass = cls;
    a.bInterfaceSubClass = sub;
    a.bInterfaceProtocol = protocol;
    a.iInterface = iInterface;
    return a;
}

} // namespace

namespace simusb
{

DevicePtr attach(const DeviceSpec &spec, uint8_t initialState, uint8_t initialStatus)
{
    Lock lock(busMutex);
    auto device = std::make_shared<Device>();
    device->d->spec = spec;
    device->d->address = nextAddress++;
    device->d->state = initialState;
    device->d->status = initialStatus;
    bus.push_back(device);
    return device;
}

void resetBus()
{
    Lock lock(busMutex);
    for (auto &device : bus)
        device->d->present = false;
    bus.clear();
    listCalls = 0;
}

int openContexts()
{
    return liveContexts;
}
int openHandles()
{
    return liveHandles;
}
int claimedInterfaces()
{
    return liveClaims;
}
int enumerations()
{
    Lock lock(busMutex);
    return listCalls;
}

int deviceReferences()
{
    return liveDeviceRefs;
}

bool Device::present() const
{
    Lock lock(busMutex);
    return d->present;
}

uint8_t Device::state() const
{
    Lock lock(busMutex);
    return d->state;
}

uint8_t Device::address() const
{
    return d->address;
}

std::vector<std::string> Device::alts() const
{
    Lock lock(busMutex);
    return d->spec.alts;
}

std::vector<Request> Device::requests() const
{
    Lock lock(busMutex);
    return d->log;
}

std::vector<std::pair<uint16_t, uint16_t>> Device::dnloads() const
{
    Lock lock(busMutex);
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const Request &r : d->log)
        if (r.bmRequestType == 0x21 && r.bRequest == DFU_DNLOAD && r.wLength > 0)
            out.emplace_back(r.wValue, r.wLength);
    return out;
}

int Device::zeroLengthDnloads() const
{
    Lock lock(busMutex);
    return int(std::count_if(d->log.begin(), d->log.end(), [](const Request &r) {
        return r.bmRequestType == 0x21 && r.bRequest == DFU_DNLOAD && r.wLength == 0;
    }));
}

int Device::count(uint8_t bRequest) const
{
    Lock lock(busMutex);
    return int(std::count_if(d->log.begin(), d->log.end(), [&](const Request &r) {
        return (r.bmRequestType & 0x60) == 0x20 && r.bRequest == bRequest;
    }));
}

std::vector<uint8_t> Device::received(const std::string &alt) const
{
    Lock lock(busMutex);
    const auto it = d->received.find(alt);
    return it == d->received.end() ? std::vector<uint8_t>() : it->second;
}

uint64_t Device::receivedBytes(const std::string &alt) const
{
    Lock lock(busMutex);
    const auto it = d->receivedBytes.find(alt);
    return it == d->receivedBytes.end() ? 0 : it->second;
}

std::vector<std::string> Device::protocolErrors() const
{
    Lock lock(busMutex);
    return d->errors;
}

int Device::resets() const
{
    Lock lock(busMutex);
    return d->resets;
}

void Device::clearLog()
{
    Lock lock(busMutex);
    d->log.clear();
    d->errors.clear();
}

} // namespace simusb

// ---- the libusb-1.0 API subset ----

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    Lock lock(busMutex);
    *ctx = new libusb_context;
    liveContexts++;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    Lock lock(busMutex);
    if (!ctx)
        return;
    delete ctx;
    liveContexts--;
}

const char *LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    Lock lock(busMutex);
    listCalls++;
    auto **out = new libusb_device *[bus.size() + 1];
    for (size_t i = 0; i < bus.size(); i++) {
        out[i] = new libusb_device{bus[i], bus[i]->d->generation};
        liveDeviceRefs++;
    }
    out[bus.size()] = nullptr;
    *list = out;
    return ssize_t(bus.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (!list)
        return;
    if (unref_devices)
        for (libusb_device **p = list; *p; p++)
            libusb_unref_device(*p);
    delete[] list;
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    Lock lock(busMutex);
    dev->refs++;
    liveDeviceRefs++;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev)
{
    Lock lock(busMutex);
    if (!dev)
        return;
    liveDeviceRefs--;
    if (--dev->refs == 0)
        delete dev;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    Lock lock(busMutex);
    const DeviceSpec &spec = dev->device->d->spec;
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = spec.vendor;
    desc->idProduct = spec.product;
    desc->bcdDevice = spec.bcdDevice;
    desc->iSerialNumber = spec.serial.empty() ? 0 : SERIAL_INDEX;
    desc->bNumConfigurations = 1;
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             libusb_config_descriptor **config)
{
    Lock lock(busMutex);
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const Device::Impl &d = *dev->device->d;
    const DeviceSpec &spec = d.spec;
    const std::vector<uint8_t> func = d.funcDescriptor();
    const int interfaces = spec.leadingOtherInterface ? 2 : 1;

    auto *cfg = new libusb_config_descriptor{};
    cfg->bLength = LIBUSB_DT_CONFIG_SIZE;
    cfg->bDescriptorType = LIBUSB_DT_CONFIG;
    cfg->bNumInterfaces = uint8_t(interfaces);
    cfg->bConfigurationValue = 1;
    const std::vector<uint8_t> extra = configExtra(spec, func);
    cfg->extra = copyBytes(extra);
    cfg->extra_length = int(extra.size());

    auto *intfs = new libusb_interface[interfaces];
    if (spec.leadingOtherInterface) {
        auto *other = new libusb_interface_descriptor[1];
        other[0] = makeAlt(0, 0, 0xff, 0, 0, 0);
        intfs[0].altsetting = other;
        intfs[0].num_altsetting = 1;
    }
    auto *alts = new libusb_interface_descriptor[spec.alts.size()];
    for (size_t i = 0; i < spec.alts.size(); i++) {
        alts[i] = makeAlt(d.dfuInterface(), uint8_t(i), 0xfe, 0x01, spec.protocol,
                          uint8_t(FIRST_ALT_INDEX + i));
        if (spec.funcPlace == FuncPlace::Interface) {
            alts[i].extra = copyBytes(func);
            alts[i].extra_length = int(func.size());
        }
    }
    intfs[interfaces - 1].altsetting = alts;
    intfs[interfaces - 1].num_altsetting = int(spec.alts.size());
    cfg->interface = intfs;
    *config = cfg;
    return 0;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor *config)
{
    if (!config)
        return;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface &intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting; a++)
            delete[] intf.altsetting[a].extra;
        delete[] intf.altsetting;
    }
    delete[] config->interface;
    delete[] config->extra;
    delete config;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev)
{
    Lock lock(busMutex);
    return dev->device->d->address;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    Lock lock(busMutex);
    if (!reachable(dev->device, dev->generation))
        return LIBUSB_ERROR_NO_DEVICE;
    if (dev->device->d->spec.openError)
        return dev->device->d->spec.openError;
    Knobs &k = dev->device->knobs;
    if (k.openError && k.opensBeforeError-- <= 0)
        return k.openError;
    *handle = new libusb_device_handle{dev->device, dev->generation, {}, -1};
    liveHandles++;
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    Lock lock(busMutex);
    if (!handle)
        return;
    liveClaims -= int(handle->claimed.size());
    delete handle;
    liveHandles--;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interface_number)
{
    Lock lock(busMutex);
    if (!reachable(handle->device, handle->generation))
        return LIBUSB_ERROR_NO_DEVICE;
    if (handle->device->knobs.claimError)
        return handle->device->knobs.claimError;
    if (handle->claimed.insert(interface_number).second)
        liveClaims++;
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interface_number)
{
    Lock lock(busMutex);
    if (handle->claimed.erase(interface_number) == 0)
        return LIBUSB_ERROR_NOT_FOUND;
    liveClaims--;
    return reachable(handle->device, handle->generation) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *handle, int interface_number,
                                                 int alternate_setting)
{
    Lock lock(busMutex);
    if (!reachable(handle->device, handle->generation))
        return LIBUSB_ERROR_NO_DEVICE;
    if (handle->device->knobs.altError)
        return handle->device->knobs.altError;
    if (!handle->claimed.count(interface_number) ||
        size_t(alternate_setting) >= handle->device->d->spec.alts.size())
        return LIBUSB_ERROR_NOT_FOUND;
    handle->selectedAlt = alternate_setting;
    return 0;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *handle)
{
    Lock lock(busMutex);
    Device &device = *handle->device;
    Device::Impl &d = *device.d;
    if (!reachable(handle->device, handle->generation))
        return LIBUSB_ERROR_NOT_FOUND;
    d.resets++;
    if (device.knobs.resetError)
        return device.knobs.resetError;
    if (device.knobs.vanishOnReset) {
        vanish(d);
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (!device.knobs.altsAfterReset.empty()) {
        d.reenumerate(device.knobs.altsAfterReset);
        return LIBUSB_ERROR_NOT_FOUND;
    }
    d.state = dfuIDLE;
    d.status = OK;
    return 0;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char *data, uint16_t wLength, unsigned int timeout)
{
    Lock lock(busMutex);
    Device &device = *handle->device;
    Device::Impl &d = *device.d;
    int result;
    if (!reachable(handle->device, handle->generation)) {
        result = d.present ? LIBUSB_ERROR_NO_DEVICE : device.knobs.vanishedError;
    } else if (request_type == LIBUSB_ENDPOINT_IN && bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR) {
        result = d.getDescriptor(wValue, data, wLength);
    } else if ((request_type & 0x7f) == 0x21) {
        if (wIndex != d.dfuInterface()) {
            d.errors.push_back("class request to interface " + std::to_string(wIndex));
            result = LIBUSB_ERROR_PIPE;
        } else {
            result = d.classRequest(device.knobs, selectedAltName(handle), bRequest, wValue, data,
                                    wLength);
        }
    } else {
        result = LIBUSB_ERROR_PIPE;
    }
    d.log.push_back(Request{request_type, bRequest, wValue, wIndex, wLength, timeout,
                            selectedAltName(handle), result});
    if (d.vanishAfterReply)
        vanish(d);
    return result;
}
