#pragma once
// Loading a firmware file into memory, with its optional DFU 1.1 suffix.

#include <cstdint>
#include <string>

enum suffix_req { NO_SUFFIX, NEEDS_SUFFIX, MAYBE_SUFFIX };
// The files this program sends never carry a vendor prefix: whatever their first bytes look like,
// they are sent whole.
enum prefix_req { NO_PREFIX };

struct dfu_file_data {
    dfu_file_data() = default;
    explicit dfu_file_data(std::string path) : name(std::move(path)) {}
    ~dfu_file_data();
    dfu_file_data(const dfu_file_data &) = delete;
    dfu_file_data &operator=(const dfu_file_data &) = delete;

    std::string name;
    // The whole file; nullptr when it could not be loaded.
    uint8_t *firmware = nullptr;
    int64_t total_size = 0;
    struct {
        int prefix = 0;
        int suffix = 0;
    } size;
    uint16_t bcdDFU = 0;
    uint16_t idVendor = 0xffff;
    uint16_t idProduct = 0xffff;
    uint16_t bcdDevice = 0xffff;
    uint32_t dwCRC = 0;
};

constexpr int DFU_SUFFIX_LENGTH = 16;

// Reads file->name. On failure (unreadable file, unusable suffix) the record has no firmware.
void dfu_load_file(dfu_file_data *file, suffix_req check_suffix, prefix_req check_prefix);

// CRC-32 as the DFU suffix defines dwCRC: reflected IEEE polynomial, all-ones start, no final
// inversion.
uint32_t dfu_file_crc(uint32_t crc, const uint8_t *data, int64_t length);
