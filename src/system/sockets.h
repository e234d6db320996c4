// Listening TCP and UDP sockets, IPv4 and IPv6, from the kernel's socket
// tables under /proc/net, with the process that holds each one where its
// descriptors can be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct listening_socket {
    std::string protocol;  // tcp or udp
    std::string family;    // inet or inet6
    std::string address;
    uint32_t port = 0;
    std::string state;     // LISTEN (tcp) or UNCONN (udp)
    uint32_t uid = 0;
    uint64_t inode = 0;
    int32_t pid = 0;       // 0 when no owner was found
    std::string command;
};

constexpr size_t socket_cap = 10000;

// One line of a socket table: true when it is a listening socket, with
// socket filled in.
bool parse_socket_line(const std::string& line, const char* protocol, int family, listening_socket& socket);
// The listening sockets of one table (the text of /proc/net/tcp, udp, tcp6
// or udp6): TCP sockets in the listen state, UDP sockets that are bound but
// not connected. Lines that do not parse are skipped.
void parse_socket_table(const std::string& text, const char* protocol, int family,
                        std::vector<listening_socket>& out, size_t cap = socket_cap);
// The address of a table's "0100007F:0035" field as text, or empty.
std::string socket_address_text(const std::string& hex, int family);
// Finds the first process (in /proc order) holding each socket.
void find_socket_owners(std::vector<listening_socket>& sockets);

bool sockets_available();
bool write_sockets(FILE* report);
