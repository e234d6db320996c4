#include "scsi/sg_io.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/hex_dump.h"
#include "base/run_context.h"
#include "scsi/scsi_device_access.h"

namespace {

constexpr int check_condition = 0x01;      // status byte 0x02, shifted right by one
constexpr int command_terminated = 0x11;   // status byte 0x22, shifted right by one
constexpr int driver_sense = 0x08;         // the driver holds sense data
constexpr unsigned char recovered_error = 0x01;

uint32_t little_endian_32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put_little_endian_32(unsigned char* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

int32_t header_field(const unsigned char* header, size_t offset) {
    return static_cast<int32_t>(little_endian_32(header + offset));
}

void trace_header(const unsigned char* header) {
    sg_reply_status status = decode_reply_status(header);
    debug_printf("SCSI command:\n\tpack_len: %d\n\treply_len: %d\n\tpack_id: %d\n\tresult: %d\n"
                 "\ttarget_status: %d\n\thost_status: %d\n\tdriver_status: %d\n\tother: %d\n",
                 header_field(header, 0), header_field(header, 4), header_field(header, 8),
                 header_field(header, 12), status.target_status, status.host_status,
                 status.driver_status, status.other_flags);
}

// One read of the whole reply; a signal before anything arrived is retried.
ssize_t read_reply(int fd, unsigned char* buffer, size_t length) {
    ssize_t got;
    do {
        got = scsi_devices().read(fd, buffer, length);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Traces one write or read of a packet; true when all of it went through.
bool transfer_complete(const char* what, ssize_t done, int wanted) {
    debug_printf("%s, rc = %d\n", what, static_cast<int>(done));
    if (done < 0) {
        debug_printf("%s failed: %s\n", what, std::strerror(errno));
        return false;
    }
    if (done < wanted) {
        debug_printf("short %s (%d of %d bytes)\n", what, static_cast<int>(done), wanted);
        return false;
    }
    return true;
}

}  // namespace

sg_reply_status decode_reply_status(const unsigned char* header) {
    uint32_t word = little_endian_32(header + sg_status_offset);
    return {static_cast<int>(word >> 1 & 0x1f), static_cast<int>(word >> 6 & 0xff),
            static_cast<int>(word >> 14 & 0xff), static_cast<int>(word >> 22 & 0x3ff)};
}

int open_device(const char* name, int access_mode) {
    scsi_device_access& devices = scsi_devices();
    int fd = devices.open(name, access_mode | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENXIO && errno != ENODEV)
            debug_printf("%s: %s\n", name, std::strerror(errno));
        return -1;
    }
    int flags = devices.fcntl(fd, F_GETFL, 0);
    if (flags < 0 || devices.fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        debug_printf("%s: %s\n", name, std::strerror(errno));
        devices.close(fd);
        return -1;
    }
    return fd;
}

int sg_result_ok(const unsigned char* header) {
    sg_reply_status status = decode_reply_status(header);
    if (status.target_status == 0 && status.host_status == 0 && status.driver_status == 0) return 0;
    bool sense_reported = status.target_status == check_condition ||
                          status.target_status == command_terminated ||
                          status.driver_status == driver_sense;
    if (sense_reported && header[sg_sense_offset + 2] == recovered_error) return 0;
    return -1;
}

int sg_command(int fd, const unsigned char* command, size_t command_length, unsigned char* data,
               size_t data_length) {
    size_t payload = command_length > data_length ? command_length : data_length;
    std::vector<unsigned char> packet(sg_header_size + payload, 0);
    put_little_endian_32(packet.data() + 4, static_cast<uint32_t>(sg_header_size + data_length));
    std::memcpy(packet.data() + sg_header_size, command, command_length);

    int sent_length = static_cast<int>(sg_header_size + command_length);
    ssize_t sent = scsi_devices().write(fd, packet.data(), static_cast<size_t>(sent_length));
    if (!transfer_complete("write", sent, sent_length)) return -1;

    std::fill(packet.begin(), packet.end(), 0);
    int expected = static_cast<int>(sg_header_size + data_length);
    ssize_t got = read_reply(fd, packet.data(), static_cast<size_t>(expected));
    if (!transfer_complete("read", got, expected)) return -1;

    trace_header(packet.data());
    hex_dump(debug_output(), packet.data() + sg_header_size, data_length);
    if (sg_result_ok(packet.data()) != 0) return -1;
    std::memcpy(data, packet.data() + sg_header_size, data_length);
    return 0;
}
