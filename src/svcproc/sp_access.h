// Access to the service processor: requests naming one of its objects, sent
// through its driver library or, without the library, through its two I/O
// ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "svcproc/sp_library.h"

// The request block. The caller owns all 16384 bytes; the reply is written
// into the same block and never beyond it. Multi-byte fields are
// little-endian.
constexpr size_t sp_block_size = 16384;
constexpr size_t sp_header_size = 6;

struct sp_request {
    uint8_t command;         // sp_read_object or sp_read_next
    uint8_t key_length;      // K
    uint8_t data_length[2];  // D
    uint8_t status;          // set by the reply: sp_status_ok, sp_status_no_object, other = failure
    uint8_t reserved;
    uint8_t payload[sp_block_size - sp_header_size];  // K key bytes, then D data bytes

    uint16_t data_size() const { return static_cast<uint16_t>(data_length[0] | data_length[1] << 8); }
    void set_data_size(uint16_t size) {
        data_length[0] = static_cast<uint8_t>(size);
        data_length[1] = static_cast<uint8_t>(size >> 8);
    }
    // Byte i of the reply data, which follows the reply's key; 0 past the block.
    uint8_t reply_byte(size_t i) const;
    // Up to length reply data bytes from offset as a text, ending early at a
    // zero byte or at the end of the block.
    std::string reply_text(size_t offset, size_t length) const;
};
static_assert(sizeof(sp_request) == sp_block_size);

constexpr uint8_t sp_read_object = 2;  // an object, or the first entry of a list
constexpr uint8_t sp_read_next = 3;    // the next entry of a list
constexpr uint8_t sp_status_ok = 0;
constexpr uint8_t sp_status_no_object = 2;  // also ends numbered series

// Transaction results besides 0 (success) and the transport's own codes.
constexpr int sp_not_open = 1;
constexpr int sp_no_block = 2;

// Zeroes the whole block and fills in a request: the command, the key (a
// text of nonzero bytes, at most 255) and data_length bytes of data.
void sp_build_request(sp_request& block, uint8_t command, const char* key, const uint8_t* data = nullptr,
                      uint16_t data_length = 0);

struct sp_connection {
    bool open = false;
    bool port_mode = false;  // the transport is the port protocol, not the library
    // The child process that holds the loaded driver library, or none.
    std::unique_ptr<sp_library_child> library;
    uint32_t driver_handle = 0;  // as the library's open call set it
};

// Resets the connection and loads the driver library (in its child);
// without the library or one of its three entry points, the ports are tried
// at open. A library that fails at any step (its process dies or hangs) is
// dropped for the ports, with a debug line.
void sp_init(sp_connection& connection);
// Opens the library's driver, or the ports when there is no library. True
// when a transport is open.
bool sp_open(sp_connection& connection, int argument);
// Closes the library's driver; nothing to do for the ports.
void sp_close(sp_connection& connection);
// Sends the request and fills the block with the reply: 0 on success,
// sp_not_open, sp_no_block, or the transport's nonzero failure code.
int sp_transact(sp_connection& connection, sp_request* block);

// Queries of one value by key. The reply's status byte is not examined by
// the first two.
bool sp_get_byte(sp_connection& connection, const char* key, uint8_t* value);
// The first max_length reply bytes, up to a zero byte; empty on failure.
bool sp_get_text(sp_connection& connection, const char* key, std::string& text, size_t max_length);
// "MM/DD/YY hh:mm:ss" from a successful seven-byte reply.
bool sp_get_datetime(sp_connection& connection, const char* key, std::string& text);

// Replaces the driver library's name ("libsvcp.so"); null restores it.
// Tests only.
void set_sp_library_name(const char* name);
