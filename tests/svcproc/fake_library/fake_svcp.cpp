// A stand-in for the service processor's driver library, for the tests: it
// answers requests from a table of keys that the test fills through the
// fake_sp_* functions, and records the requests it was given. The program
// calls the library in a child process: what the library records lives in
// shared memory made at load, so the test process, which loads the same
// copy first, sees it. It can also misbehave as closed libraries do: abort,
// crash, hang or exit in an entry point, or (built with
// FAKE_SVCP_ABORT_ON_LOAD) abort while it is being loaded.
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
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

// What the calls leave behind, shared with the process that loaded the
// library before the program's child was forked.
struct records {
    int open_argument;
    int open_calls, close_calls;
    size_t request_length;
    char requests[1 << 20];  // one line per request: command, key and data in hex
};

records* make_records() {
    void* shared = mmap(nullptr, sizeof(records), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) std::abort();
    return static_cast<records*>(shared);
}

records* const recorded = make_records();

std::vector<reply> replies;
int open_result = 0;
bool repeat_last = false;  // lists past their end give their last entry again
const uint32_t handle_value = 0x5EC0DE;

// Misbehaviour in one entry point.
enum { behave = 0, do_abort, do_crash, do_hang, do_exit };
struct misbehaviour {
    char entry[16];
    int how;
} misbehaving{"", behave};

void maybe_misbehave(const char* entry) {
    if (std::strcmp(misbehaving.entry, entry) != 0) return;
    switch (misbehaving.how) {
    case do_abort: std::abort();
    case do_crash: std::raise(SIGSEGV); break;
    case do_hang:
        for (;;) pause();
    case do_exit: std::exit(3);
    }
}

void append_text(const char* text, size_t count) {
    size_t room = sizeof recorded->requests - 1 - recorded->request_length;
    if (count > room) count = room;
    std::memcpy(recorded->requests + recorded->request_length, text, count);
    recorded->request_length += count;
    recorded->requests[recorded->request_length] = 0;
}

void append_hex(const uint8_t* bytes, size_t count) {
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        append_text(hex, 2);
    }
}

#ifdef FAKE_SVCP_ABORT_ON_LOAD
// As a statically linked program's loader does with a library built for
// another C library.
[[maybe_unused]] const int refuse_to_load = (std::abort(), 0);
#endif

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
    list_positions.clear();
    open_result = result_of_open;
    recorded->open_argument = -1;
    recorded->open_calls = recorded->close_calls = 0;
    recorded->request_length = 0;
    recorded->requests[0] = 0;
    repeat_last = false;
    misbehaving = {"", behave};
}

// entry: "OpenSPDriver", "SystemDataIO" or "CloseSPDriver"; how: 1 abort,
// 2 crash, 3 hang, 4 exit (0 behaves again).
void fake_sp_misbehave(const char* entry, int how) {
    std::snprintf(misbehaving.entry, sizeof misbehaving.entry, "%s", entry);
    misbehaving.how = how;
}

void fake_sp_repeat_last(int repeat) { repeat_last = repeat != 0; }

// Adds the reply to key; several replies to one key form a list, read with
// command 2 (first entry) and 3 (next entry).
void fake_sp_add(const char* key, int result, int status, const unsigned char* data, int length) {
    replies.push_back({key, result, status, std::string(reinterpret_cast<const char*>(data), length)});
}

const char* fake_sp_requests() { return recorded->requests; }
int fake_sp_open_argument() { return recorded->open_argument; }
int fake_sp_open_calls() { return recorded->open_calls; }
int fake_sp_close_calls() { return recorded->close_calls; }

int OpenSPDriver(uint32_t* handle, int argument, int) {
    maybe_misbehave("OpenSPDriver");
    ++recorded->open_calls;
    recorded->open_argument = argument;
    if (open_result == 0) *handle = handle_value;
    return open_result;
}

#ifndef FAKE_SVCP_WITHOUT_CLOSE
int CloseSPDriver(uint32_t handle, int) {
    maybe_misbehave("CloseSPDriver");
    if (handle == handle_value) ++recorded->close_calls;
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
    append_hex(block, 1);
    append_text(" ", 1);
    append_hex(block + 6, key_length);
    append_text(" ", 1);
    append_hex(block + 6 + key_length, data_length);
    append_text("\n", 1);
    maybe_misbehave("SystemDataIO");

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
