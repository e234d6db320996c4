// Canned route netlink replies: builders for messages and attributes, and a
// socket that answers each dump request with the datagrams a test gave for it.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "network/link_details.h"
#include "network/netlink.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif
#include "probes/probe_fixture.h"

using bytes = std::string;

inline bytes le16(uint16_t value) { return bytes{char(value & 0xff), char(value >> 8)}; }
inline bytes le32(uint32_t value) { return le16(uint16_t(value & 0xffff)) + le16(uint16_t(value >> 16)); }

// One attribute, padded to a multiple of 4.
inline bytes attribute(uint16_t type, const bytes& payload) {
    bytes out = le16(uint16_t(4 + payload.size())) + le16(type) + payload;
    out.resize((out.size() + 3) & ~size_t{3}, '\0');
    return out;
}

// One message with its length filled in.
inline bytes message(uint16_t type, const bytes& body, uint32_t sequence = 1) {
    return le32(uint32_t(16 + body.size())) + le16(type) + le16(2) + le32(sequence) + le32(0) + body;
}

inline bytes done_message() { return message(3, le32(0)); }
inline bytes error_message(int32_t code) { return message(2, le32(uint32_t(code)) + bytes(16, '\0')); }

// Message bodies: link (family, hardware type, index, flags), address
// (family, prefix length, index) and route (family, destination prefix
// length, scope, type); the other fields are zero.
inline bytes link_body(uint16_t hardware_type, int32_t index, uint32_t flags) {
    return bytes{2, 0} + le16(hardware_type) + le32(uint32_t(index)) + le32(flags) + le32(0);
}
inline bytes address_body(uint8_t prefix_length, uint32_t index, uint8_t family = 2) {
    return bytes{char(family), char(prefix_length), 0, 0} + le32(index);
}
inline bytes route_body(uint8_t destination_length, uint8_t scope, uint8_t type, uint8_t family = 2) {
    return bytes{char(family), char(destination_length), 0, 0, (char)254, 2, char(scope), char(type)} + le32(0);
}
inline bytes ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return bytes{char(a), char(b), char(c), char(d)}; }
// fe80::n, or fd00::n with site set.
inline bytes ipv6(uint8_t n, bool site = false) {
    bytes address(16, '\0');
    address[0] = char(site ? 0xfd : 0xfe);
    address[1] = char(site ? 0x00 : 0x80);
    address[15] = char(n);
    return address;
}
inline bytes text(const char* value) { return bytes(value, std::strlen(value) + 1); }

struct datagram {
    bytes data;
    uint32_t sender = 0;  // port id: 0 is the kernel
};

// The fake socket's script and what it saw. One instance, reached by the
// plain functions the transport calls.
struct fake_netlink {
    // By request type and family (byte 16 of the request).
    std::map<std::pair<uint16_t, uint8_t>, std::vector<datagram>> replies;
    std::deque<datagram> pending;
    std::vector<bytes> requests;
    int opens = 0;
    int closes = 0;
    int receives = 0;
    int open_error = 0;     // errno for a failing socket()
    int send_error = 0;     // errno for a failing sendto()
    int receive_error = 0;  // errno for a failing recvmsg()

    static fake_netlink& instance() {
        static fake_netlink fake;
        return fake;
    }
    static int open() {
        fake_netlink& f = instance();
        ++f.opens;
        if (f.open_error) return errno = f.open_error, -1;
        return 42;
    }
    static ssize_t send(int, const void* request, size_t length) {
        fake_netlink& f = instance();
        if (f.send_error) return errno = f.send_error, -1;
        bytes sent(static_cast<const char*>(request), length);
        f.requests.push_back(sent);
        uint16_t type = uint16_t(uint8_t(sent[4]) | uint8_t(sent[5]) << 8);
        uint8_t family = length > 16 ? uint8_t(sent[16]) : 0;
        auto found = f.replies.find({type, family});
        f.pending.clear();
        if (found != f.replies.end()) f.pending.assign(found->second.begin(), found->second.end());
        return ssize_t(length);
    }
    // An empty script ends in end of file. Under AddressSanitizer the part
    // of the buffer past the datagram is poisoned: reading it is an error.
    static ssize_t receive(int, void* buffer, size_t size, uint32_t* sender) {
        ASAN_UNPOISON_MEMORY_REGION(buffer, size);
        fake_netlink& f = instance();
        ++f.receives;
        if (f.receive_error) return errno = f.receive_error, -1;
        if (f.pending.empty()) return 0;
        datagram next = f.pending.front();
        f.pending.pop_front();
        size_t count = std::min(size, next.data.size());
        std::memcpy(buffer, next.data.data(), count);
        ASAN_POISON_MEMORY_REGION(static_cast<char*>(buffer) + count, size - count);
        *sender = next.sender;
        return ssize_t(count);
    }
    static int close(int) {
        ++instance().closes;
        return 0;
    }
};

// Driver and firmware by interface name, for the driver-info request.
inline std::map<std::string, driver_info>& fake_drivers() {
    static std::map<std::string, driver_info> drivers;
    return drivers;
}
inline bool fake_driver_info(const char* interface, driver_info& info) {
    auto found = fake_drivers().find(interface);
    if (found == fake_drivers().end()) return false;
    info = found->second;
    return true;
}

class NetlinkTest : public ProbeTest {
protected:
    // The interface folders are looked for under net/ of the test's folder,
    // empty unless a test writes them.
    void SetUp() override {
        ProbeTest::SetUp();
        fake() = fake_netlink{};
        set_netlink_socket(&ops_);
        fake_drivers().clear();
        set_driver_info_source(fake_driver_info);
        set_net_sysfs_directory((folder_.path() + "/net/").c_str());
    }
    void TearDown() override {
        set_netlink_socket(nullptr);
        set_driver_info_source(nullptr);
        set_net_sysfs_directory(nullptr);
        ProbeTest::TearDown();
    }
    static fake_netlink& fake() { return fake_netlink::instance(); }
    // The datagrams that answer one request type for one family; a request
    // without replies gets end of file.
    static void reply(uint16_t request, std::vector<bytes> datagrams, uint8_t family = 2) {
        for (bytes& data : datagrams) fake().replies[{request, family}].push_back({data, 0});
    }

private:
    const netlink_socket_ops ops_{fake_netlink::open, fake_netlink::send, fake_netlink::receive,
                                  fake_netlink::close};
};
