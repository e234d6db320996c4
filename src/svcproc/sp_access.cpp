#include "svcproc/sp_access.h"

#include <cstdio>
#include <cstring>

#include "base/run_context.h"
#include "svcproc/sp_ports.h"

namespace {

const char* const default_library_name = "libsvcp.so";
std::string library_name = default_library_name;

constexpr size_t datetime_length = 7;

// The key as hexadecimal bytes, for the debug log (replies are never logged:
// some hold passwords).
std::string key_in_hex(const sp_request& block) {
    std::string hex;
    char byte[4];
    for (size_t i = 0; i < block.key_length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", block.payload[i]);
        hex += byte;
    }
    return hex;
}

// Sends a command-2 request for key with no data; the transport's result.
int query(sp_connection& connection, const char* key, sp_request& block) {
    sp_build_request(block, sp_read_object, key);
    return sp_transact(connection, &block);
}

}  // namespace

uint8_t sp_request::reply_byte(size_t i) const {
    size_t at = size_t{key_length} + i;
    return at < sizeof payload ? payload[at] : 0;
}

std::string sp_request::reply_text(size_t offset, size_t length) const {
    size_t start = size_t{key_length} + offset;
    if (start >= sizeof payload) return "";
    size_t available = sizeof payload - start;
    const uint8_t* from = payload + start;
    size_t count = 0;
    while (count < length && count < available && from[count] != 0) ++count;
    return std::string(reinterpret_cast<const char*>(from), count);
}

void sp_build_request(sp_request& block, uint8_t command, const char* key, const uint8_t* data,
                      uint16_t data_length) {
    std::memset(&block, 0, sizeof block);
    size_t key_length = std::strlen(key);
    if (key_length > 255) key_length = 255;
    if (data_length > sizeof block.payload - key_length) data_length = 0;
    block.command = command;
    block.key_length = static_cast<uint8_t>(key_length);
    block.set_data_size(data_length);
    std::memcpy(block.payload, key, key_length);
    if (data && data_length) std::memcpy(block.payload + key_length, data, data_length);
}

void sp_init(sp_connection& connection) {
    connection = sp_connection{};
    auto library = std::make_unique<sp_library_child>();
    switch (library->start(library_name.c_str(), sp_library_deadline())) {
    case sp_library_state::loaded: connection.library = std::move(library); break;
    case sp_library_state::absent: debug_printf("%s: not loaded\n", library_name.c_str()); break;
    case sp_library_state::incomplete:
        debug_printf("%s: entry point missing, unloaded\n", library_name.c_str());
        break;
    case sp_library_state::failed:
        debug_printf("%s: could not be loaded, the ports are tried\n", library_name.c_str());
        break;
    }
}

namespace {

bool open_ports(sp_connection& connection) {
    if (!sp_port_permission()) {
        debug_printf("service processor ports: no permission\n");
        return false;
    }
    connection.open = connection.port_mode = sp_port_probe();
    debug_printf("service processor ports: %s\n", connection.open ? "present" : "absent");
    return connection.open;
}

// The library's process failed: the connection goes on through the ports.
bool fall_back_to_ports(sp_connection& connection) {
    debug_printf("%s: dropped, the ports are tried\n", library_name.c_str());
    connection.library.reset();
    connection.open = false;
    return open_ports(connection);
}

}  // namespace

bool sp_open(sp_connection& connection, int argument) {
    if (connection.open) return true;
    if (connection.library) {
        int result = 0;
        if (!connection.library->open_driver(argument, &result, &connection.driver_handle))
            return fall_back_to_ports(connection);
        debug_printf("OpenSPDriver: rc = %d\n", result);
        connection.open = result == 0;
        return connection.open;
    }
    return open_ports(connection);
}

void sp_close(sp_connection& connection) {
    if (connection.library && connection.open) {
        int ignored = 0;
        connection.library->close_driver(&ignored);
        connection.open = false;
    }
    connection.library.reset();
}

int sp_transact(sp_connection& connection, sp_request* block) {
    if (!connection.open) return sp_not_open;
    if (!block) return sp_no_block;
    int result = 0;
    if (connection.port_mode) {
        result = sp_port_exchange(*block);
    } else if (!connection.library->data_io(*block, &result)) {
        // The block is as it was: the request goes out again on the ports.
        result = fall_back_to_ports(connection) ? sp_port_exchange(*block) : sp_not_open;
    }
    debug_printf("sp_transact %s: rc = %d, status %d\n", key_in_hex(*block).c_str(), result, block->status);
    return result;
}

bool sp_get_byte(sp_connection& connection, const char* key, uint8_t* value) {
    sp_request block;
    bool ok = query(connection, key, block) == 0;
    *value = ok ? block.reply_byte(0) : 0;
    return ok;
}

bool sp_get_text(sp_connection& connection, const char* key, std::string& text, size_t max_length) {
    sp_request block;
    bool ok = query(connection, key, block) == 0;
    text = ok ? block.reply_text(0, max_length) : "";
    return ok;
}

bool sp_get_datetime(sp_connection& connection, const char* key, std::string& text) {
    sp_request block;
    if (query(connection, key, block) != 0 || block.status != sp_status_ok ||
        block.data_size() != datetime_length)
        return false;
    // Year, month, day, an unshown byte, hour, minute, second.
    char formatted[48];
    std::snprintf(formatted, sizeof formatted, "%02u/%02u/%02u %02u:%02u:%02u", block.reply_byte(1),
                  block.reply_byte(2), block.reply_byte(0), block.reply_byte(4), block.reply_byte(5),
                  block.reply_byte(6));
    text = formatted;
    return true;
}

void set_sp_library_name(const char* name) { library_name = name ? name : default_library_name; }
