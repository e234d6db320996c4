// The service processor's byte interface at I/O ports 0xE8 (data) and 0xE9
// (status), and the framed packet protocol spoken over it.
#pragma once

#include <cstdint>

#include "svcproc/sp_access.h"

constexpr uint16_t sp_data_port = 0xE8;
constexpr uint16_t sp_status_port = 0xE9;

// The platform behind the ports: permission for both ports, byte input and
// output, and a sleep.
struct sp_port_access {
    bool (*request_permission)();
    uint8_t (*read)(uint16_t port);
    void (*write)(uint16_t port, uint8_t value);
    void (*sleep_us)(unsigned microseconds);
};

// The guard around every wait on the status register: armed before the
// wait, polled during it, disarmed after it. The real one is a one-shot
// timer of 30 seconds of the process's user CPU time.
struct sp_guard_clock {
    void (*arm)();
    bool (*expired)();
    void (*disarm)();
};

// Replace the ports or the guard (null restores the real ones). Tests only.
void set_sp_port_access(const sp_port_access* access);
void set_sp_guard_clock(const sp_guard_clock* guard);

// Asks for access to ports 0xE8 and 0xE9; true when granted.
bool sp_port_permission();
// True when a service processor answers the probe on the ports.
bool sp_port_probe();
// Sends the request framed and reads the framed reply into the block: 0 on
// success, 1 on any failure (a time-out, a bad escape, a malformed reply).
int sp_port_exchange(sp_request& block);
