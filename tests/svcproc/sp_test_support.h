// Simulated service processors for the tests: the stand-in driver library
// (loaded by path) and a device behind the two ports that speaks the framing.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "svcproc/sp_access.h"
#include "svcproc/sp_ports.h"

using bytes = std::vector<uint8_t>;

// The stand-in library's controls, looked up in the same loaded copy that
// the child process of sp_init inherits.
struct fake_library {
    explicit fake_library(const char* path = FAKE_SVCP_LIBRARY) {
        handle = dlopen(path, RTLD_NOW);
        if (!handle) return;
        reset = reinterpret_cast<void (*)(int)>(dlsym(handle, "fake_sp_reset"));
        add_reply = reinterpret_cast<void (*)(const char*, int, int, const unsigned char*, int)>(
            dlsym(handle, "fake_sp_add"));
        requests = reinterpret_cast<const char* (*)()>(dlsym(handle, "fake_sp_requests"));
        open_argument = reinterpret_cast<int (*)()>(dlsym(handle, "fake_sp_open_argument"));
        close_calls = reinterpret_cast<int (*)()>(dlsym(handle, "fake_sp_close_calls"));
        repeat_last = reinterpret_cast<void (*)(int)>(dlsym(handle, "fake_sp_repeat_last"));
        misbehave = reinterpret_cast<void (*)(const char*, int)>(dlsym(handle, "fake_sp_misbehave"));
        reset(0);
        set_sp_library_name(path);
    }
    ~fake_library() {
        set_sp_library_name(nullptr);
        if (handle) dlclose(handle);
    }
    fake_library(const fake_library&) = delete;
    fake_library& operator=(const fake_library&) = delete;

    void add(const std::string& key, const bytes& data, int status = 0, int result = 0) {
        add_reply(key.c_str(), result, status, data.data(), static_cast<int>(data.size()));
    }
    void add_text(const std::string& key, const std::string& text) {
        add(key, bytes(text.begin(), text.end()));
    }

    void* handle = nullptr;
    void (*reset)(int open_result) = nullptr;
    void (*add_reply)(const char*, int, int, const unsigned char*, int) = nullptr;
    const char* (*requests)() = nullptr;
    int (*open_argument)() = nullptr;
    int (*close_calls)() = nullptr;
    void (*repeat_last)(int repeat) = nullptr;
    // entry point name; 1 abort, 2 crash, 3 hang, 4 exit, 0 behave
    void (*misbehave)(const char* entry, int how) = nullptr;
};

// A device on ports 0xE8/0xE9. It answers the probe's end byte with 0xFD,
// records every byte written after that, and when a request's end byte
// arrives queues the next prepared reply (raw, already framed). Reads of the
// status port are counted, so tests can see a guard expire.
struct port_device {
    bool permission = true;
    uint8_t idle_status = 0x20;  // ready for a byte, nothing waiting
    uint8_t probe_answer = 0xFD;
    bool probed = false;
    int permission_requests = 0;
    bytes written;
    std::deque<uint8_t> waiting;
    std::deque<bytes> replies;

    uint8_t status() const { return waiting.empty() ? idle_status : static_cast<uint8_t>(idle_status | 0x80); }
    uint8_t read_data() {
        if (waiting.empty()) return 0xFF;
        uint8_t value = waiting.front();
        waiting.pop_front();
        return value;
    }
    void write_data(uint8_t value) {
        if (!probed) {
            probed = true;
            if (value == 0xC0) waiting.push_back(probe_answer);
            return;
        }
        written.push_back(value);
        if (value == 0xC0 && !replies.empty()) {
            waiting.insert(waiting.end(), replies.front().begin(), replies.front().end());
            replies.pop_front();
        }
    }
};

inline port_device* device = nullptr;
inline int guard_polls = 0, guard_arms = 0, guard_disarms = 0;

// A guard that expires after a few hundred polls instead of 30 seconds.
inline const sp_guard_clock quick_guard = {
    [] {
        guard_polls = 0;
        ++guard_arms;
    },
    [] { return ++guard_polls > 300; },
    [] { ++guard_disarms; },
};

inline const sp_port_access simulated_ports = {
    [] {
        ++device->permission_requests;
        return device->permission;
    },
    [](uint16_t port) { return port == sp_status_port ? device->status() : device->read_data(); },
    [](uint16_t port, uint8_t value) {
        if (port == sp_data_port) device->write_data(value);
    },
    [](unsigned) {},
};

// Installs the device and the quick guard for one test.
class with_port_device {
public:
    explicit with_port_device(port_device& simulated) {
        device = &simulated;
        guard_arms = guard_disarms = 0;
        set_sp_port_access(&simulated_ports);
        set_sp_guard_clock(&quick_guard);
    }
    ~with_port_device() {
        set_sp_port_access(nullptr);
        set_sp_guard_clock(nullptr);
        device = nullptr;
    }
    with_port_device(const with_port_device&) = delete;
    with_port_device& operator=(const with_port_device&) = delete;
};

// Escapes a frame's bytes as the device sends them.
inline bytes escaped(const bytes& frame) {
    bytes out;
    for (uint8_t byte : frame) {
        if (byte == 0xC0) {
            out.insert(out.end(), {0xDB, 0xDC});
        } else if (byte == 0xDB) {
            out.insert(out.end(), {0xDB, 0xDE});
        } else {
            out.push_back(byte);
        }
    }
    return out;
}

// A reply frame, escaped and ended, with an unchecked checksum of zero.
inline bytes reply_frame(uint8_t command, const bytes& key, uint8_t status, const bytes& data) {
    size_t m = key.size() + data.size() + 6;
    bytes frame = {0x16, 0x02, 0x00, 0x03, static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m), command,
                   static_cast<uint8_t>(key.size()), static_cast<uint8_t>(data.size()),
                   static_cast<uint8_t>(data.size() >> 8), status, 0};
    frame.insert(frame.end(), key.begin(), key.end());
    frame.insert(frame.end(), data.begin(), data.end());
    if (m % 2) frame.push_back(0);
    frame.insert(frame.end(), {0, 0});
    bytes out = escaped(frame);
    out.push_back(0xC0);
    return out;
}
