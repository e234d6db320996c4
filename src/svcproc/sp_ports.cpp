#include "svcproc/sp_ports.h"

#include <sys/io.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace {

// Status register bits.
constexpr uint8_t byte_waiting = 0x80;  // a received byte is in the data port
constexpr uint8_t status_bit6 = 0x40;    // only the probe looks at it
constexpr uint8_t ready_for_byte = 0x20;

// Framing bytes.
constexpr uint8_t frame_end = 0xC0;
constexpr uint8_t frame_escape = 0xDB;
constexpr uint8_t escaped_end = 0xDC;
constexpr uint8_t escaped_escape = 0xDE;

constexpr uint8_t probe_answer = 0xFD;
constexpr unsigned probe_pause_us = 50000;
constexpr int guard_seconds = 30;

// A wait or receive that failed (time-out or bad escape).
constexpr int port_failure = 0xFFFF;
constexpr int exchange_failure = 1;

const uint8_t frame_start[4] = {0x16, 0x02, 0x00, 0x03};
// Bytes of noise searched for the reply's start before giving up, so that a
// device sending endlessly cannot hold the run.
constexpr size_t start_search_limit = 4 * sp_block_size;

// The real ports.
bool real_permission() { return ioperm(sp_data_port, 2, 1) == 0; }
uint8_t real_read(uint16_t port) { return inb(port); }
void real_write(uint16_t port, uint8_t value) { outb(value, port); }
void real_sleep(unsigned microseconds) { usleep(microseconds); }

const sp_port_access real_ports = {real_permission, real_read, real_write, real_sleep};
const sp_port_access* ports = &real_ports;

// The real guard: a one-shot timer of process virtual time whose signal sets
// the time-out flag.
volatile std::sig_atomic_t timed_out = 0;
struct sigaction saved_action;

void on_guard_signal(int) { timed_out = 1; }

void set_virtual_timer(int seconds) {
    itimerval timer{};
    timer.it_value.tv_sec = seconds;
    setitimer(ITIMER_VIRTUAL, &timer, nullptr);
}

void real_arm() {
    timed_out = 0;
    struct sigaction action {};
    action.sa_handler = on_guard_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGVTALRM, &action, &saved_action);
    set_virtual_timer(guard_seconds);
}

bool real_expired() { return timed_out != 0; }

void real_disarm() {
    set_virtual_timer(0);
    sigaction(SIGVTALRM, &saved_action, nullptr);
    timed_out = 0;
}

const sp_guard_clock real_guard = {real_arm, real_expired, real_disarm};
const sp_guard_clock* guard = &real_guard;

uint8_t read_status() { return ports->read(sp_status_port); }

// Polls the status register until one of the bits in mask is set; false when
// the guard expired first.
bool wait_for(uint8_t mask) {
    guard->arm();
    bool ready;
    while (!(ready = (read_status() & mask) != 0) && !guard->expired()) {
    }
    guard->disarm();
    return ready;
}

bool write_when_ready(uint8_t value) {
    if (!wait_for(ready_for_byte)) return false;
    ports->write(sp_data_port, value);
    return true;
}

bool send_byte(uint8_t value) {
    if (value == frame_end) return write_when_ready(frame_escape) && write_when_ready(escaped_end);
    if (value == frame_escape) return write_when_ready(frame_escape) && write_when_ready(escaped_escape);
    return write_when_ready(value);
}

int read_when_waiting() {
    if (!wait_for(byte_waiting)) return port_failure;
    return ports->read(sp_data_port);
}

// One received data byte, or port_failure.
int receive_byte() {
    int value = read_when_waiting();
    if (value != frame_escape) return value;
    int escaped = read_when_waiting();
    if (escaped == escaped_end) return frame_end;
    if (escaped == escaped_escape) return frame_escape;
    return port_failure;
}

// Reads and discards whatever the device still holds; false on time-out.
bool drain() {
    guard->arm();
    while ((read_status() & byte_waiting) && !guard->expired()) ports->read(sp_data_port);
    bool drained = !guard->expired();
    guard->disarm();
    return drained;
}

// The Internet checksum of an even number of bytes taken as little-endian
// 16-bit words.
uint16_t frame_checksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] | bytes[i + 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// The request as an unescaped frame: start, length, block header, key and
// data, a pad byte for an odd length, checksum. Empty when the request's
// lengths do not fit the block.
std::vector<uint8_t> build_frame(const sp_request& block) {
    size_t body = size_t{block.key_length} + block.data_size();
    if (body > sizeof block.payload) return {};
    size_t n = body + sp_header_size;
    std::vector<uint8_t> frame(frame_start, frame_start + 4);
    frame.reserve(12 + body + 3);
    frame.push_back(static_cast<uint8_t>(n >> 8));
    frame.push_back(static_cast<uint8_t>(n));
    frame.push_back(block.command);
    frame.push_back(block.key_length);
    frame.push_back(block.data_length[0]);
    frame.push_back(block.data_length[1]);
    frame.push_back(0);
    frame.push_back(0);
    frame.insert(frame.end(), block.payload, block.payload + body);
    if (n % 2) frame.push_back(0);
    uint16_t checksum = frame_checksum(frame.data() + 2, frame.size() - 2);
    frame.push_back(static_cast<uint8_t>(checksum));
    frame.push_back(static_cast<uint8_t>(checksum >> 8));
    return frame;
}

bool send_frame(const std::vector<uint8_t>& frame) {
    for (uint8_t byte : frame)
        if (!send_byte(byte)) return false;
    return write_when_ready(frame_end);
}

// Receives until the four start bytes have come in order; a wrong byte
// restarts the search with the byte after it.
bool find_reply_start() {
    size_t matched = 0;
    for (size_t seen = 0; seen < start_search_limit; ++seen) {
        int value = receive_byte();
        if (value == port_failure) return false;
        matched = value == frame_start[matched] ? matched + 1 : 0;
        if (matched == sizeof frame_start) return true;
    }
    return false;
}

// Receives count bytes into to (or discards them when to is null).
bool receive_bytes(uint8_t* to, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int value = receive_byte();
        if (value == port_failure) return false;
        if (to) to[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// The reply after its start bytes: length, block header, key and data, pad,
// checksum and end (not verified). The status is stored last.
bool receive_reply(sp_request& block) {
    uint8_t length[2];
    if (!receive_bytes(length, 2)) return false;
    size_t m = size_t{length[0]} << 8 | length[1];
    uint8_t status_pair[2];
    if (!receive_bytes(&block.command, 1) || !receive_bytes(&block.key_length, 1) ||
        !receive_bytes(block.data_length, 2) || !receive_bytes(status_pair, 2))
        return false;
    if (m < sp_header_size || m - sp_header_size > sizeof block.payload) return false;
    if (!receive_bytes(block.payload, m - sp_header_size)) return false;
    if (!receive_bytes(nullptr, (m % 2) + 3)) return false;
    block.status = status_pair[0];
    return true;
}

}  // namespace

void set_sp_port_access(const sp_port_access* access) { ports = access ? access : &real_ports; }

void set_sp_guard_clock(const sp_guard_clock* clock) { guard = clock ? clock : &real_guard; }

bool sp_port_permission() { return ports->request_permission(); }

bool sp_port_probe() {
    ports->read(sp_data_port);
    if (read_status() & (byte_waiting | status_bit6)) return false;
    ports->write(sp_data_port, frame_end);
    ports->sleep_us(probe_pause_us);
    if (!(read_status() & byte_waiting)) return false;
    if (ports->read(sp_data_port) != probe_answer) return false;
    return !(read_status() & byte_waiting);
}

int sp_port_exchange(sp_request& block) {
    block.status = 6;
    if (!drain()) return exchange_failure;
    std::vector<uint8_t> frame = build_frame(block);
    if (frame.empty() || !send_frame(frame)) return exchange_failure;
    if (!find_reply_start() || !receive_reply(block)) return exchange_failure;
    return 0;
}
