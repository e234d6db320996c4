// Route netlink transport: one socket and one receive buffer per dump. The
// first request for messages sends the dump request; replies are handed out
// one message at a time, read in place from the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr int32_t netlink_buffer_size = 8192;
constexpr int32_t netlink_header_size = 16;

// Dump requests and the message types they are answered with.
constexpr uint16_t request_links = 18;      // RTM_GETLINK
constexpr uint16_t request_addresses = 22;  // RTM_GETADDR
constexpr uint16_t request_routes = 26;     // RTM_GETROUTE
constexpr uint16_t reply_link = 16;         // RTM_NEWLINK
constexpr uint16_t reply_address = 20;      // RTM_NEWADDR
constexpr uint16_t reply_route = 24;        // RTM_NEWROUTE

struct NetlinkBuffer {
    int32_t socket = -1;          // negative when not open
    unsigned char* buffer = nullptr;
    int32_t size = 0;             // of buffer
    uint32_t sequence = 0;        // of the last request; 0 before the first
    int32_t received = 0;         // bytes in buffer from the last receive
    int32_t position = 0;         // read position of the next message
};

// The fixed part of every message.
struct netlink_header {
    uint32_t length;
    uint16_t type;
    uint16_t flags;
    uint32_t sequence;
    uint32_t port;
};

// A buffer with an open socket, or null when either cannot be made.
NetlinkBuffer* netlink_open();
// Closes the socket and frees the buffer; null is ignored.
void netlink_close(NetlinkBuffer* nlb);
// Sends the dump request for type and family; 0 or the negative send status.
int netlink_send_message(NetlinkBuffer* nlb, uint16_t type, uint8_t family);
// Receives one datagram from the kernel; 0, the negative receive status, or
// -1 at end of file. Datagrams from any other sender are dropped.
int netlink_receive(NetlinkBuffer* nlb);
// Makes a whole message available at the read position, sending the request
// first and receiving as needed; 0, or the failing status. A message that is
// shorter than its header or runs past the datagram ends the dump with -1.
int netlink_next_message(NetlinkBuffer* nlb, uint16_t request_type, uint8_t family);
// Moves the read position past the message at it (length brought up to a
// multiple of 4, as messages are laid out).
void netlink_advance(NetlinkBuffer* nlb, uint32_t length);
// The header of the message at the read position.
netlink_header message_header(const NetlinkBuffer* nlb);
// Writes a message header to the debug log.
void trace_message_header(const netlink_header& header);
// 0 for the expected type, 1 for the end of the dump, -1 for an error reply
// or any other type. message holds a whole message, as handed out above.
int check_message_type(const unsigned char* message, uint16_t expected);

// The socket operations; each failure gives -1 with errno set.
struct netlink_socket_ops {
    int (*open)();
    ssize_t (*send)(int socket, const void* request, size_t length);
    // Receives one datagram and the port id of its sender.
    ssize_t (*receive)(int socket, void* buffer, size_t size, uint32_t* sender_port);
    int (*close)(int socket);
};

// Replaces the socket operations; null restores the kernel's socket. Tests only.
void set_netlink_socket(const netlink_socket_ops* ops);
