// A stand-in for the service processor's driver library, for the tests: it
// answers requests from a table of keys that the test fills through the
// fake_sp_* functions, and records the requests it was given.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct reply {
    std::string key;
    int result;  // nonzero: the call fails with it
    int status;
    std::string data;
};

std::vector<reply> replies;
std::string requests;  // one line per request: command, key and data in hex
int open_result = 0;
int open_argument = -1;
int open_calls = 0, close_calls = 0;
bool repeat_last = false;  // lists past their end give their last entry again
const uint32_t handle_value = 0x5EC0DE;

void append_hex(std::string& to, const uint8_t* bytes, size_t count) {
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        to += hex;
    }
}

// The position of the next list entry to give for a key.
std::vector<std::pair<std::string, size_t>> list_positions;

size_t& list_position(const std::string& key) {
    for (auto& position : list_positions)
        if (position.first == key) return position.second;
    list_positions.push_back({key, 0});
    return list_positions.back().second;
}

}  // namespace

extern "C" {

void fake_sp_reset(int result_of_open) {
    replies.clear();
    requests.clear();
    list_positions.clear();
    open_result = result_of_open;
    open_argument = -1;
    open_calls = close_calls = 0;
    repeat_last = false;
}

void fake_sp_repeat_last(int repeat) { repeat_last = repeat != 0; }

// Adds the reply to key; several replies to one key form a list, read with
// command 2 (first entry) and 3 (next entry).
void fake_sp_add(const char* key, int result, int status, const unsigned char* data, int length) {
    replies.push_back({key, result, status, std::string(reinterpret_cast<const char*>(data), length)});
}

const char* fake_sp_requests() { return requests.c_str(); }
int fake_sp_open_argument() { return open_argument; }
int fake_sp_open_calls() { return open_calls; }
int fake_sp_close_calls() { return close_calls; }

int OpenSPDriver(uint32_t* handle, int argument, int) {
    ++open_calls;
    open_argument = argument;
    if (open_result == 0) *handle = handle_value;
    return open_result;
}

#ifndef FAKE_SVCP_WITHOUT_CLOSE
int CloseSPDriver(uint32_t handle, int) {
    if (handle == handle_value) ++close_calls;
    return 0;
}
#endif

// Unknown keys and lists past their end answer with status 2 and no data.
int SystemDataIO(uint32_t handle, void* block_address, int) {
    if (handle != handle_value) return 9;
    auto* block = static_cast<uint8_t*>(block_address);
    uint8_t command = block[0], key_length = block[1];
    size_t data_length = block[2] | block[3] << 8;
    std::string key(reinterpret_cast<const char*>(block + 6), key_length);
    append_hex(requests, block, 1);
    requests += " ";
    append_hex(requests, block + 6, key_length);
    requests += " ";
    append_hex(requests, block + 6 + key_length, data_length);
    requests += "\n";

    size_t& position = list_position(key);
    if (command == 2) position = 0;
    size_t index = 0;
    const reply* found = nullptr;
    const reply* last = nullptr;
    for (const reply& candidate : replies) {
        if (candidate.key != key) continue;
        last = &candidate;
        if (index++ == position) {
            found = &candidate;
            break;
        }
    }
    if (!found && repeat_last) found = last;
    ++position;
    if (found && found->result != 0) return found->result;
    block[4] = found ? static_cast<uint8_t>(found->status) : 2;
    size_t length = found ? found->data.size() : 0;
    block[2] = static_cast<uint8_t>(length);
    block[3] = static_cast<uint8_t>(length >> 8);
    if (length) std::memcpy(block + 6 + key_length, found->data.data(), length);
    return 0;
}

}  // extern "C"
