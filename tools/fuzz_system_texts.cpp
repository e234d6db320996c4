// libFuzzer target: the texts the native readers take from /proc and /sys
// (mount tables, kernel log records, socket tables, SCSI serial number
// pages) must be parsed without crashing or reaching outside their buffers,
// whatever bytes they hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "system/block_devices.h"
#include "system/file_systems.h"
#include "system/kernel_state.h"
#include "system/sockets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
            parse_mountinfo(text, 64);
            break;
        case 1: {
            kernel_record record;
            parse_kmsg_record(text, record);
            break;
        }
        case 2: {
            std::vector<listening_socket> sockets;
            parse_socket_table(text, data[0] & 8 ? "tcp" : "udp", data[0] & 16 ? AF_INET6 : AF_INET, sockets, 64);
            break;
        }
        case 3:
            vpd_serial(text);
            current_scheduler(text);
            break;
        default:
            unescape_mount_field(text);
            break;
    }
    return 0;
}
