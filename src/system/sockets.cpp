#include "system/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unistd.h>

#include "base/run_context.h"
#include "system/bounded_command.h"
#include "report/table_rows.h"
#include "system/system_files.h"
#include "report/report_table.h"

namespace {

constexpr size_t table_line_cap = 2000000;
constexpr size_t process_cap = 65536;
constexpr size_t descriptor_cap = 1000000;
constexpr size_t descriptors_per_process_cap = 1 << 20;
constexpr int owner_walk_limit_ms = 2000;

// The kernel's TCP states as the tables show them.
constexpr unsigned state_listen = 0x0A;
constexpr unsigned state_close = 0x07;  // an unconnected UDP socket

struct socket_table {
    const char* path;
    const char* protocol;
    int family;
};

const socket_table socket_tables[] = {
    {"/proc/net/tcp", "tcp", AF_INET},
    {"/proc/net/tcp6", "tcp", AF_INET6},
    {"/proc/net/udp", "udp", AF_INET},
    {"/proc/net/udp6", "udp", AF_INET6},
};

bool parse_hex(const std::string& text, size_t at, size_t digits, uint32_t& value) {
    if (at + digits > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool parse_decimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 10);
    return !*end && !errno;
}

std::vector<std::string> words_of(const std::string& line, size_t wanted) {
    std::vector<std::string> words;
    size_t at = 0;
    while (words.size() < wanted) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) break;
        size_t end = line.find_first_of(" \t", at);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// The socket inode of a descriptor link "socket:[1106]", or 0.
uint64_t socket_inode(const char* link, size_t length) {
    static const char prefix[] = "socket:[";
    constexpr size_t prefix_length = sizeof prefix - 1;
    if (length <= prefix_length + 1 || std::memcmp(link, prefix, prefix_length) != 0 || link[length - 1] != ']')
        return 0;
    uint64_t inode = 0;
    std::string digits(link + prefix_length, length - prefix_length - 1);
    return parse_decimal(digits, inode) ? inode : 0;
}

// Reads one table line by line: a busy server's tables are large, and only
// the few listening sockets are kept.
void read_socket_table(const socket_table& source, std::vector<listening_socket>& out) {
    FILE* table = std::fopen(system_path(source.path).c_str(), "re");
    if (!table) return;
    char* line = nullptr;
    size_t size = 0;
    size_t lines = 0;
    ssize_t length;
    while ((length = getline(&line, &size, table)) >= 0) {
        if (lines++ == 0) continue;  // the heading
        if (lines > table_line_cap) {
            debug_printf("%s: reading ends at %zu lines\n", source.path, table_line_cap);
            break;
        }
        listening_socket socket;
        if (!parse_socket_line(std::string(line, static_cast<size_t>(length)), source.protocol, source.family, socket))
            continue;
        if (out.size() >= socket_cap) {
            debug_printf("sockets: the list ends at %zu\n", socket_cap);
            break;
        }
        out.push_back(std::move(socket));
    }
    std::free(line);
    std::fclose(table);
}

}  // namespace

std::string socket_address_text(const std::string& hex, int family) {
    const size_t words = family == AF_INET ? 1 : 4;
    unsigned char bytes[16];
    for (size_t i = 0; i < words; ++i) {
        uint32_t word;
        if (!parse_hex(hex, i * 8, 8, word)) return "";
        std::memcpy(bytes + i * 4, &word, 4);  // the kernel printed each word in this machine's order
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, bytes, text, sizeof text)) return "";
    return text;
}

bool parse_socket_line(const std::string& line, const char* protocol, int family, listening_socket& socket) {
    const bool tcp = std::strcmp(protocol, "tcp") == 0;
    const size_t address_digits = family == AF_INET ? 8 : 32;
    std::vector<std::string> words = words_of(line, 10);
    if (words.size() < 10) return false;
    const std::string& local = words[1];
    uint32_t port, state;
    uint64_t uid, inode;
    if (local.size() != address_digits + 5 || local[address_digits] != ':' ||
        !parse_hex(local, address_digits + 1, 4, port) || words[3].size() != 2 || !parse_hex(words[3], 0, 2, state) ||
        !parse_decimal(words[7], uid) || !parse_decimal(words[9], inode))
        return false;
    if (state != (tcp ? state_listen : state_close)) return false;
    socket.address = socket_address_text(local.substr(0, address_digits), family);
    if (socket.address.empty()) return false;
    socket.protocol = protocol;
    socket.family = family == AF_INET ? "inet" : "inet6";
    socket.port = port;
    socket.state = tcp ? "LISTEN" : "UNCONN";
    socket.uid = static_cast<uint32_t>(uid);
    socket.inode = inode;
    return true;
}

void parse_socket_table(const std::string& text, const char* protocol, int family,
                        std::vector<listening_socket>& out, size_t cap) {
    size_t at = text.find('\n');  // after the heading line
    while (at != std::string::npos && at + 1 < text.size()) {
        size_t end = text.find('\n', at + 1);
        const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        at = end;
        listening_socket socket;
        if (!parse_socket_line(line, protocol, family, socket)) continue;
        if (out.size() >= cap) {
            debug_printf("sockets: the list ends at %zu\n", cap);
            return;
        }
        out.push_back(std::move(socket));
    }
}

void find_socket_owners(std::vector<listening_socket>& sockets) {
    std::unordered_map<uint64_t, std::vector<size_t>> wanted;
    for (size_t i = 0; i < sockets.size(); ++i)
        if (sockets[i].inode) wanted[sockets[i].inode].push_back(i);
    std::vector<std::string> processes;
    if (wanted.empty() || !list_directory("/proc", processes, process_cap)) return;
    const long long deadline = monotonic_ms() + owner_walk_limit_ms;
    size_t descriptors = 0;
    for (const std::string& pid : processes) {
        if (wanted.empty()) return;
        if (pid[0] < '0' || pid[0] > '9') continue;
        if (descriptors >= descriptor_cap || monotonic_ms() > deadline) {
            debug_printf("sockets: owner search ends after %zu descriptors\n", descriptors);
            return;
        }
        const std::string folder = "/proc/" + pid + "/fd";
        std::vector<std::string> fds;
        if (!list_directory(folder, fds, descriptors_per_process_cap)) continue;
        std::string command;
        for (const std::string& fd : fds) {
            ++descriptors;
            char link[64];
            ssize_t n = readlink(system_path(folder + "/" + fd).c_str(), link, sizeof link);
            uint64_t inode = n > 0 ? socket_inode(link, static_cast<size_t>(n)) : 0;
            auto found = inode ? wanted.find(inode) : wanted.end();
            if (found == wanted.end()) continue;
            if (command.empty()) command = read_attribute("/proc/" + pid + "/comm");
            for (size_t index : found->second) {
                sockets[index].pid = static_cast<int32_t>(std::strtol(pid.c_str(), nullptr, 10));
                sockets[index].command = command;
            }
            wanted.erase(found);
        }
    }
}

bool sockets_available() {
    for (const socket_table& table : socket_tables)
        if (system_file_exists(table.path)) return true;
    return false;
}

bool write_sockets(FILE* report) {
    std::vector<listening_socket> sockets;
    for (const socket_table& source : socket_tables) read_socket_table(source, sockets);
    find_socket_owners(sockets);
    std::vector<table_row> rows;
    for (const listening_socket& socket : sockets) {
        table_row row{socket.address + " " + std::to_string(socket.port),
                      {socket.protocol, socket.family, socket.address, table_cell::of_count(socket.port), socket.state,
                       table_cell::of_count(socket.uid), table_cell::of_count(socket.inode)}};
        // A socket whose holder was not found ends at its inode.
        if (socket.pid) {
            row.cells.push_back(table_cell::of_value(socket.pid));
            row.cells.push_back(socket.command);
        }
        rows.push_back(std::move(row));
    }
    write_table(report, "Listening Sockets",
                {{"Protocol", STRING},
                 {"Family", STRING},
                 {"Address", STRING},
                 {"Port", INTEGER},
                 {"State", STRING},
                 {"User", INTEGER},
                 {"Inode", INTEGER},
                 {"PID", INTEGER},
                 {"Command", STRING}},
                rows);
    return !rows.empty();
}
