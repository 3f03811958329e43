#pragma once
// A simulated USB bus behind the libusb-1.0 API. The DFU code under test calls libusb_* as usual;
// this library answers those calls from scriptable DFU 1.1 devices that tests put on the bus.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace simusb
{

// DFU 1.1 states and status codes as the device reports them.
enum State : uint8_t {
    appIDLE = 0,
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuMANIFEST_WAIT_RESET = 8,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum Status : uint8_t {
    OK = 0,
    errWRITE = 3,
    errVERIFY = 7,
    errADDRESS = 8,
    errUNKNOWN = 14,
    errSTALLEDPKT = 15,
};

// Where the device keeps its DFU functional descriptor.
enum class FuncPlace { Configuration, Interface, DeviceOnly, Missing };

enum class ManifestEnd { Idle, WaitReset };

// What a device looks like on the bus. Defaults: an AM62x boot ROM in DFU mode.
struct DeviceSpec {
    uint16_t vendor = 0x0451;
    uint16_t product = 0x6165;
    uint16_t bcdDevice = 0x0100;
    std::string serial = "AM62X0001"; // empty: no serial-number string
    std::vector<std::string> alts{"bootloader"};
    uint8_t protocol = 2; // 2: DFU mode, 1: run-time mode
    uint16_t transferSize = 512;
    uint16_t dfuVersion = 0x0110;
    uint8_t funcLength = 9; // bytes of the functional descriptor the device presents
    FuncPlace funcPlace = FuncPlace::Configuration;
    bool leadingOtherInterface = false; // a vendor interface 0 before the DFU interface
    bool rawConfigExtra = false;        // use configExtra verbatim as the configuration's extra
    std::vector<uint8_t> configExtra;
    // String descriptors by index that replace the generated ones (index 0: language list), and
    // indices whose request fails with the given libusb error.
    std::map<uint8_t, std::vector<uint8_t>> rawStrings;
    std::map<uint8_t, int> stringErrors;
    int openError = 0;
};

// One control transfer as the device saw it.
struct Request {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    unsigned int timeout;
    std::string alt; // name of the alternate setting selected on the handle
    int result;
};

// Per-device behaviour; tests change these before or between operations.
struct Knobs {
    uint32_t pollTimeoutMs = 0;
    int busyPolls = 0;     // GETSTATUS replies in dfuDNBUSY after each block
    int manifestPolls = 0; // GETSTATUS replies in dfuMANIFEST after the closing download
    ManifestEnd manifestEnd = ManifestEnd::Idle;
    uint8_t manifestError = OK; // status reported (in dfuERROR) at the end of manifestation
    int stuckState = -1;        // dfuDNBUSY or dfuMANIFEST: never leaves it
    std::map<int, uint8_t> errorOnBlock; // data DNLOAD ordinal (since attach) -> status
    int failStatusReads = 0;             // the next n GETSTATUS fail with failStatusError
    int failStatusError = -1;            // LIBUSB_ERROR_IO
    int failDnloadAt = -1;    // this data DNLOAD ordinal (since attach) fails with dnloadError
    int dnloadError = -9;     // LIBUSB_ERROR_PIPE
    int zeroLengthError = 0;  // the closing zero-length DNLOAD fails with this libusb error
    int resetError = 0;       // libusb_reset_device fails with this error
    int openError = 0;        // libusb_open fails with this error ...
    int opensBeforeError = 0; // ... after this many successful opens
    int claimError = 0;
    int altError = 0;
    int vanishAfterBlocks = -1; // leaves the bus after this many data blocks were taken
    bool vanishOnZeroLength = false;
    bool vanishOnDetach = false;
    bool vanishOnReset = false;
    int vanishedError = -4;                  // LIBUSB_ERROR_NO_DEVICE, what requests get afterwards
    std::vector<std::string> altsAfterReset; // re-enumerate with these alternate settings
    std::string sinkPath; // when set, received data goes into this file instead of memory
};

class Device;
using DevicePtr = std::shared_ptr<Device>;

// Puts a device on the bus (at the end of the device list) and returns it.
DevicePtr attach(const DeviceSpec &spec, uint8_t initialState = dfuIDLE,
                 uint8_t initialStatus = OK);
// Removes every device and forgets everything; call between tests.
void resetBus();
// Live libusb objects, so tests can check that everything was released.
int openContexts();
int openHandles();
int claimedInterfaces();
int deviceReferences();
// Number of libusb_get_device_list calls since resetBus().
int enumerations();

class Device
{
public:
    Knobs knobs;

    bool present() const;
    uint8_t state() const;
    uint8_t address() const;
    std::vector<std::string> alts() const;
    std::vector<Request> requests() const;
    // DNLOAD requests with data, as (block number, length), and the closing zero-length ones.
    std::vector<std::pair<uint16_t, uint16_t>> dnloads() const;
    int zeroLengthDnloads() const;
    int count(uint8_t bRequest) const;
    // Data of the last download session into the named alternate setting.
    std::vector<uint8_t> received(const std::string &alt) const;
    uint64_t receivedBytes(const std::string &alt) const;
    // Requests that a real DFU 1.1 device would have refused (wrong state, block number,
    // oversized block, a status poll before the poll time-out ran out).
    std::vector<std::string> protocolErrors() const;
    int resets() const;
    void clearLog();

    struct Impl;
    std::unique_ptr<Impl> d;
    Device();
    ~Device();
};

} // namespace simusb
