// SCSI generic device access: opening nodes, the driver's ioctls, and SCSI
// commands through the generic driver's write/read packet interface.
#pragma once

#include <cstddef>
#include <cstdint>

// Requests on an open device node.
enum scsi_ioctl_request : unsigned long {
    SG_EMULATED_HOST = 0x2203,
    SG_GET_RESERVED_SIZE = 0x2272,
    SG_GET_SCSI_ID = 0x2276,
    SG_GET_VERSION_NUM = 0x2282,
    SCSI_IOCTL_GET_IDLUN = 0x5382,
    SCSI_IOCTL_PROBE_HOST = 0x5385,
    SCSI_IOCTL_GET_BUS_NUMBER = 0x5386,
};

// What SG_GET_SCSI_ID fills in.
struct sg_scsi_id {
    int32_t host_no;
    int32_t channel;
    int32_t scsi_id;
    int32_t lun;
    int32_t scsi_type;
    int16_t h_cmd_per_lun;
    int16_t d_queue_depth;
    int32_t unused[2];
};

// What SCSI_IOCTL_GET_IDLUN fills in. In dev_id the target id is bits 0-7,
// the LUN bits 8-15, the channel bits 16-23.
struct scsi_idlun {
    uint32_t dev_id;
    uint32_t host_unique_id;
};

// The packet header that precedes every command and reply: pack_len,
// reply_len, pack_id and result (little-endian 32-bit), a status word, and
// 16 bytes of sense data.
constexpr size_t sg_header_size = 36;
constexpr size_t sg_status_offset = 16;
constexpr size_t sg_sense_offset = 20;
constexpr size_t sg_sense_size = 16;

// The status word: bit 0 twelve_byte, bits 1-5 the target status (shifted
// right by one), bits 6-13 host status, bits 14-21 driver status, bits
// 22-31 other flags.
struct sg_reply_status {
    int target_status;
    int host_status;
    int driver_status;
    int other_flags;
};
sg_reply_status decode_reply_status(const unsigned char* header);

// Opens name with access_mode plus non-blocking (so an absent medium or a
// busy tape cannot stall the open), then turns blocking back on for the
// commands. Returns the descriptor or -1. ENOENT, ENXIO and ENODEV mean "no
// such device" and are silent; other failures go to the debug log.
int open_device(const char* name, int access_mode);

// Sends one command descriptor block and reads the reply. On a good reply
// (sg_result_ok) copies data_length bytes into data and returns 0; otherwise
// returns -1 and leaves data as it was. The reply header and data are traced
// in the debug log.
int sg_command(int fd, const unsigned char* command, size_t command_length, unsigned char* data,
               size_t data_length);

// 0 when the reply header reports success, or a recovered error (sense key
// 1) with a check condition, a terminated command or sense data; else -1.
int sg_result_ok(const unsigned char* header);
