#include "dfu_file.h"

#include "dfu_util.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

void warn_future_suffix()
{
    fprintf(stderr, "Warning: a valid DFU suffix will be required in a future release\n");
}

bool read_whole_file(dfu_file_data *file)
{
    const int fd = open(file->name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "Could not open file %s for reading\n", file->name.c_str());
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "Could not get size of file %s\n", file->name.c_str());
        close(fd);
        return false;
    }
    file->total_size = st.st_size;
    // One spare byte so that an empty file still gets a buffer of its own.
    file->firmware = static_cast<uint8_t *>(dfu_malloc(size_t(st.st_size) + 1));
    int64_t done = 0;
    while (done < file->total_size) {
        const ssize_t n = read(fd, file->firmware + done, size_t(file->total_size - done));
        if (n <= 0) {
            fprintf(stderr, "Could not read %s\n", file->name.c_str());
            break;
        }
        done += n;
    }
    close(fd);
    if (done != file->total_size) {
        free(file->firmware);
        file->firmware = nullptr;
        return false;
    }
    return true;
}

uint16_t le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void drop_firmware(dfu_file_data *file)
{
    free(file->firmware);
    file->firmware = nullptr;
}

// Why the last 16 bytes are not a suffix, or nullptr when they are one.
const char *suffix_fault(const dfu_file_data *file, uint32_t crc)
{
    const uint8_t *suffix = file->firmware + file->total_size - DFU_SUFFIX_LENGTH;
    if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D')
        return "Invalid DFU suffix signature";
    if (crc != le32(suffix + 12))
        return "DFU suffix CRC does not match";
    return nullptr;
}

bool take_suffix(dfu_file_data *file, uint32_t crc)
{
    const uint8_t *suffix = file->firmware + file->total_size - DFU_SUFFIX_LENGTH;
    const int length = suffix[11];
    if (length < DFU_SUFFIX_LENGTH) {
        fprintf(stderr, "Unsupported DFU suffix length %d\n", length);
        return false;
    }
    if (length > file->total_size) {
        fprintf(stderr, "Invalid DFU suffix length %d\n", length);
        return false;
    }
    file->dwCRC = crc;
    file->size.suffix = length;
    file->bcdDFU = le16(suffix + 6);
    file->idVendor = le16(suffix + 4);
    file->idProduct = le16(suffix + 2);
    file->bcdDevice = le16(suffix + 0);
    return true;
}

// Returns false when the suffix is unusable and the file must not be sent.
bool parse_suffix(dfu_file_data *file, suffix_req check_suffix)
{
    if (file->total_size < DFU_SUFFIX_LENGTH) {
        fprintf(stderr, "File too short for DFU suffix\n");
    } else {
        const uint32_t crc = dfu_file_crc(0xffffffffu, file->firmware, file->total_size - 4);
        const char *fault = suffix_fault(file, crc);
        if (!fault)
            return take_suffix(file, crc);
        fprintf(stderr, "Warning: %s\n", fault);
    }
    if (check_suffix == NEEDS_SUFFIX) {
        fprintf(stderr, "Valid DFU suffix needed\n");
        return false;
    }
    warn_future_suffix();
    return true;
}

} // namespace

uint32_t dfu_file_crc(uint32_t crc, const uint8_t *data, int64_t length)
{
    static const std::array<uint32_t, 256> table = make_crc_table();
    for (int64_t i = 0; i < length; i++)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

dfu_file_data::~dfu_file_data()
{
    free(firmware);
}

void dfu_load_file(dfu_file_data *file, suffix_req check_suffix,
                   [[maybe_unused]] prefix_req check_prefix)
{
    drop_firmware(file);
    file->total_size = 0;
    file->size.prefix = 0;
    file->size.suffix = 0;
    if (!read_whole_file(file))
        return;
    if (check_suffix != NO_SUFFIX && !parse_suffix(file, check_suffix)) {
        drop_firmware(file);
        return;
    }
}
