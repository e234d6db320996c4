#include "network/netlink.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/hex_dump.h"
#include "base/run_context.h"

namespace {

constexpr uint16_t message_error = NLMSG_ERROR;
constexpr uint16_t message_done = NLMSG_DONE;
constexpr uint16_t dump_request_flags = NLM_F_REQUEST | NLM_F_ROOT | NLM_F_ATOMIC;  // 0x0501
constexpr uint32_t request_length = 20;  // header and a 4-byte rtgenmsg

int open_kernel_socket() { return socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE); }

sockaddr_nl kernel_address() {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    return address;
}

ssize_t send_to_kernel(int socket, const void* request, size_t length) {
    sockaddr_nl address = kernel_address();
    return sendto(socket, request, length, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

ssize_t receive_datagram(int socket, void* buffer, size_t size, uint32_t* sender_port) {
    sockaddr_nl sender{};
    iovec part{buffer, size};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t count;
    do {
        count = recvmsg(socket, &message, 0);
    } while (count < 0 && errno == EINTR);
    *sender_port = sender.nl_pid;
    return count;
}

const netlink_socket_ops kernel_socket = {open_kernel_socket, send_to_kernel, receive_datagram, close};
const netlink_socket_ops* socket_ops = &kernel_socket;

void put_u16(unsigned char* at, uint16_t value) { std::memcpy(at, &value, sizeof value); }
void put_u32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

void trace_system_error(const char* operation) { debug_printf("%s: %s\n", operation, std::strerror(errno)); }

}  // namespace

void set_netlink_socket(const netlink_socket_ops* ops) { socket_ops = ops ? ops : &kernel_socket; }

NetlinkBuffer* netlink_open() {
    NetlinkBuffer* nlb = new (std::nothrow) NetlinkBuffer;
    debug_printf("nlb @ %p\n", static_cast<void*>(nlb));
    if (!nlb) return nullptr;
    nlb->buffer = new (std::nothrow) unsigned char[netlink_buffer_size]();
    if (nlb->buffer) nlb->size = netlink_buffer_size;
    debug_printf("nlb->buffer @ %p\n", static_cast<void*>(nlb->buffer));
    nlb->socket = socket_ops->open();
    if (nlb->socket < 0) trace_system_error("socket");
    debug_printf("socket = %d\n", nlb->socket < 0 ? -1 : nlb->socket);
    if (!nlb->buffer || nlb->socket < 0) {
        netlink_close(nlb);
        return nullptr;
    }
    return nlb;
}

void netlink_close(NetlinkBuffer* nlb) {
    if (!nlb) return;
    delete[] nlb->buffer;
    if (nlb->socket >= 0 && socket_ops->close(nlb->socket) < 0) trace_system_error("close");
    delete nlb;
}

int netlink_send_message(NetlinkBuffer* nlb, uint16_t type, uint8_t family) {
    debug_printf("netlink_send_message, type 0x%02x, family %d\n", type, family);
    nlb->received = 0;
    nlb->position = 0;
    unsigned char request[request_length] = {};
    put_u32(request, request_length);
    put_u16(request + 4, type);
    put_u16(request + 6, dump_request_flags);
    put_u32(request + 8, ++nlb->sequence);
    request[16] = family;
    ssize_t rc = socket_ops->send(nlb->socket, request, sizeof request);
    if (rc < 0) {
        trace_system_error("sendto");
        return static_cast<int>(rc);
    }
    debug_printf("sendto, rc = %d\n", static_cast<int>(rc));
    nlb->received = 0;
    nlb->position = 0;
    return 0;
}

int netlink_receive(NetlinkBuffer* nlb) {
    for (;;) {
        uint32_t sender = 0;
        ssize_t rc = socket_ops->receive(nlb->socket, nlb->buffer, static_cast<size_t>(nlb->size), &sender);
        if (rc < 0) {
            trace_system_error("recvmsg");
            return static_cast<int>(rc);
        }
        if (rc == 0) {
            debug_printf("EOF on socket %d\n", nlb->socket);
            return -1;
        }
        if (sender != 0) {
            // Only the kernel answers dump requests; anything else is noise.
            debug_printf("recvmsg, rc = %d from port %u ignored\n", static_cast<int>(rc), sender);
            continue;
        }
        nlb->received = static_cast<int32_t>(rc < nlb->size ? rc : nlb->size);
        nlb->position = 0;
        debug_printf("recvmsg, rc = %d\n", static_cast<int>(rc));
        hex_dump(debug_output(), nlb->buffer, static_cast<size_t>(nlb->received));
        return 0;
    }
}

int netlink_next_message(NetlinkBuffer* nlb, uint16_t request_type, uint8_t family) {
    if (nlb->sequence == 0) {
        int rc = netlink_send_message(nlb, request_type, family);
        if (rc != 0) return rc;
    }
    if (nlb->position >= nlb->received) {
        int rc = netlink_receive(nlb);
        if (rc != 0) return rc;
    }
    int32_t left = nlb->received - nlb->position;
    uint32_t length = left >= netlink_header_size ? message_header(nlb).length : 0;
    if (length < static_cast<uint32_t>(netlink_header_size) || length > static_cast<uint32_t>(left)) {
        debug_printf("malformed message at offset %d: length %u, %d bytes left\n", nlb->position, length,
                     left);
        return -1;
    }
    return 0;
}

void netlink_advance(NetlinkBuffer* nlb, uint32_t length) {
    uint32_t left = static_cast<uint32_t>(nlb->received - nlb->position);
    uint64_t step = (uint64_t{length} + 3) & ~uint64_t{3};
    nlb->position += static_cast<int32_t>(step < left ? step : left);
}

netlink_header message_header(const NetlinkBuffer* nlb) {
    netlink_header header;
    std::memcpy(&header, nlb->buffer + nlb->position, sizeof header);
    return header;
}

void trace_message_header(const netlink_header& header) {
    debug_printf("\tlen   : %u\n\ttype  : %hu\n\tflags : %hu\n\tseq   : %u\n\tpid   : %u\n", header.length,
                 header.type, header.flags, header.sequence, header.port);
}

int check_message_type(const unsigned char* message, uint16_t expected) {
    netlink_header header;
    std::memcpy(&header, message, sizeof header);
    if (header.type == expected) return 0;
    if (header.type == message_error) {
        // The body starts with the negated error number; the request is
        // named RTM_GETLINK whatever it was.
        int32_t code = 0;
        if (header.length >= sizeof header + sizeof code) {
            std::memcpy(&code, message + sizeof header, sizeof code);
            int error = code == INT32_MIN ? code : -code;
            debug_printf("%s: %s\n", "RTM_GETLINK", std::strerror(error));
        } else {
            debug_printf("%s: %s\n", "RTM_GETLINK", "error reply without its code");
        }
        return -1;
    }
    if (header.type == message_done) {
        debug_printf("Done processing messages\n");
        return 1;
    }
    debug_printf("incorrect message type 0x%02x\n", header.type);
    return -1;
}
