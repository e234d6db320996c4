#include "svcproc/sp_access.h"

#include <dlfcn.h>

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
    void* library = dlopen(library_name.c_str(), RTLD_NOW);
    if (!library) {
        debug_printf("%s: not loaded\n", library_name.c_str());
        return;
    }
    auto open_driver = reinterpret_cast<sp_open_driver_fn>(dlsym(library, "OpenSPDriver"));
    auto close_driver = reinterpret_cast<sp_close_driver_fn>(dlsym(library, "CloseSPDriver"));
    auto data_io = reinterpret_cast<sp_data_io_fn>(dlsym(library, "SystemDataIO"));
    if (!open_driver || !close_driver || !data_io) {
        debug_printf("%s: entry point missing, unloaded\n", library_name.c_str());
        dlclose(library);
        return;
    }
    connection.library = library;
    connection.open_driver = open_driver;
    connection.close_driver = close_driver;
    connection.data_io = data_io;
}

bool sp_open(sp_connection& connection, int argument) {
    if (connection.open) return true;
    if (connection.library) {
        int result = connection.open_driver(&connection.driver_handle, argument, 0);
        debug_printf("OpenSPDriver: rc = %d\n", result);
        connection.open = result == 0;
        return connection.open;
    }
    if (!sp_port_permission()) {
        debug_printf("service processor ports: no permission\n");
        return false;
    }
    connection.open = connection.port_mode = sp_port_probe();
    debug_printf("service processor ports: %s\n", connection.open ? "present" : "absent");
    return connection.open;
}

void sp_close(sp_connection& connection) {
    if (connection.library && connection.open) {
        connection.close_driver(connection.driver_handle, 0);
        connection.open = false;
    }
}

int sp_transact(sp_connection& connection, sp_request* block) {
    if (!connection.open) return sp_not_open;
    if (!block) return sp_no_block;
    int result = connection.port_mode ? sp_port_exchange(*block)
                                      : connection.data_io(connection.driver_handle, block, 0);
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
