#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <string>
#include <vector>

#include "system/name_resolution.h"
#include "system/sockets.h"
#include "system_tree_fixture.h"

namespace {

class NamingTest : public SystemTreeTest {
protected:
    void TearDown() override {
        set_name_resolver(nullptr);
        SystemTreeTest::TearDown();
    }
};

std::string fqdn(const char* host, std::string& canonical) {
    canonical = std::string(host) + ".example.net";
    return "";
}

std::string no_answer(const char*, std::string&) { return "timed out"; }

TEST_F(NamingTest, HostNamesFromFilesKernelAndResolver) {
    put("/etc/hostname", "# set by the installer\n\n  web01  \n");
    put("/proc/sys/kernel/hostname", "web01\n");
    set_name_resolver(fqdn);
    set_output_mode(3);
    EXPECT_TRUE(write_host_names(run_context.report));
    EXPECT_NE(report().find("  Source: /etc/hostname\n  Name  : web01\n  Status: OK\n\n"
                            "  Source: kernel\n  Name  : web01\n  Status: OK\n\n"
                            "  Source: resolver\n  Name  : web01.example.net\n  Status: OK\n"),
              std::string::npos)
        << report();

    set_name_resolver(no_answer);
    EXPECT_TRUE(write_host_names(run_context.report));
    EXPECT_NE(report().find("  Source: resolver\n  Name  : \n  Status: timed out\n"), std::string::npos);
}

// The resolver's real lookup runs in a child; a numeric address always
// resolves without asking any server.
TEST_F(NamingTest, RealLookupInAChild) {
    set_command_runner(nullptr, nullptr);
    std::string canonical;
    EXPECT_EQ(resolve_canonical_name("127.0.0.1", canonical), "");
    EXPECT_EQ(canonical, "127.0.0.1");
}

// getent answers for the resolver; without it, the files of the root.
TEST_F(NamingTest, LookupThroughGetentOrTheHostsFile) {
    auto exited = [](int code, const std::string& output) {
        command_result result;
        result.started = true;
        result.status = code << 8;
        result.output = output;
        return result;
    };
    command_result timed_out;
    timed_out.started = timed_out.timed_out = true;
    command_result killed;
    killed.started = true;
    killed.status = SIGABRT;
    const struct {
        const char* what;
        bool getent;
        command_result answer;
        const char* host;
        const char* failure;
        const char* canonical;
    } rows[] = {
        {"canonical name on the first line", true,
         exited(0, "10.0.0.5       STREAM web01.example.net\n10.0.0.5       DGRAM  \n"), "web01", "",
         "web01.example.net"},
        {"no canonical name given", true, exited(0, "10.0.0.5       STREAM\n"), "web01", "", ""},
        {"not found", true, exited(2, ""), "web02", "Name or service not known", ""},
        {"timed out", true, timed_out, "web01", "timed out", ""},
        {"not started", true, command_result{}, "web01", "no lookup process", ""},
        {"killed", true, killed, "web01", "terminated by Aborted", ""},
        {"hosts file, alias", false, {}, "WEB01", "", "web01.example.net"},
        {"hosts file, comment only", false, {}, "old", "Name or service not known", ""},
        {"hosts file, absent name", false, {}, "web03", "Name or service not known", ""},
        {"numeric address", false, {}, "::1", "", "::1"},
    };
    put("/etc/hosts", "127.0.0.1 localhost\n# 10.0.0.9 old\n10.0.0.5\tweb01.example.net  web01 # main\n");
    for (const auto& row : rows) {
        fake_tools& tools = fake_tools::instance();
        tools.present = row.getent ? std::vector<std::string>{"getent"} : std::vector<std::string>{};
        tools.results["getent"] = row.answer;
        tools.runs.clear();
        std::string canonical;
        EXPECT_EQ(resolve_canonical_name(row.host, canonical), row.failure) << row.what;
        EXPECT_EQ(canonical, row.canonical) << row.what;
        if (row.getent) EXPECT_EQ(tools.runs, std::vector<std::string>{std::string("getent ahosts -- ") + row.host});
        else EXPECT_TRUE(tools.runs.empty()) << row.what;
    }
}

TEST_F(NamingTest, ResolverLinksAreFollowedInsideTheRoot) {
    put("/run/systemd/resolve/stub-resolv.conf", "nameserver 127.0.0.53\n");
    link("/etc/resolv.conf", "../run/systemd/resolve/stub-resolv.conf");
    EXPECT_EQ(link_target("/etc/resolv.conf"), "/run/systemd/resolve/stub-resolv.conf");
    link("/etc/a", "/etc/b");  // absolute: taken inside the root
    link("/etc/b", "resolv.conf");
    EXPECT_EQ(link_target("/etc/a"), "/run/systemd/resolve/stub-resolv.conf");
    link("/etc/loop1", "loop2");
    link("/etc/loop2", "loop1");
    EXPECT_EQ(link_target("/etc/loop1"), "");
    put("/etc/plain", "");
    EXPECT_EQ(link_target("/etc/plain"), "");

    set_output_mode(3);
    ASSERT_TRUE(resolver_link_available());
    EXPECT_TRUE(write_resolver_link(run_context.report));
    EXPECT_NE(report().find("  Link  : /etc/resolv.conf\n  Target: /run/systemd/resolve/stub-resolv.conf\n"),
              std::string::npos);
    EXPECT_NE(report().find("---> FILE: /run/systemd/resolve/stub-resolv.conf <---\nnameserver 127.0.0.53\n"),
              std::string::npos);
}

using SocketsTest = SystemTreeTest;

TEST(SocketTexts, TableLines) {
    struct {
        const char* line;
        const char* protocol;
        int family;
        const char* address;  // null: not a listening socket
        uint32_t port;
    } cases[] = {
        {"   0: 0100007F:0035 00000000:0000 0A 00000000:00000000 00:00000000 00000000   101        0 1106 1 0 100 0 0 10 0",
         "tcp", AF_INET, "127.0.0.1", 53},
        {"   1: 0100007F:0035 0100007F:9C40 01 00000000:00000000 00:00000000 00000000   101        0 1107 1",
         "tcp", AF_INET, nullptr, 0},  // connected
        {"  12: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 20 2", "udp",
         AF_INET, "0.0.0.0", 68},
        {"   0: 00000000000000000000000001000000:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 "
         "00:00000000 00000000     0        0 3003 1",
         "tcp", AF_INET6, "::1", 22},
        {"   0: 000080FE000000000000000001000000:0222 00000000000000000000000000000000:0000 07 00000000:00000000 "
         "00:00000000 00000000     0        0 3004 2",
         "udp", AF_INET6, "fe80::1", 546},
        {"   0: 0100007F:0035 00000000:0000 0A", "tcp", AF_INET, nullptr, 0},                    // cut short
        {"   0: 0100007G:0035 00000000:0000 0A 0:0 0:0 0 0 0 5", "tcp", AF_INET, nullptr, 0},    // not hex
        {"   0: 0100007F0035 00000000:0000 0A 0:0 0:0 0 0 0 5", "tcp", AF_INET, nullptr, 0},     // no colon
        {"   0: 0100007F:0035 00000000:0000 0A 0:0 0:0 0 x 0 5", "tcp", AF_INET, nullptr, 0},    // user
        {"", "udp", AF_INET6, nullptr, 0},
    };
    for (const auto& c : cases) {
        listening_socket socket;
        bool listening = parse_socket_line(c.line, c.protocol, c.family, socket);
        ASSERT_EQ(listening, c.address != nullptr) << c.line;
        if (!listening) continue;
        EXPECT_EQ(socket.address, c.address) << c.line;
        EXPECT_EQ(socket.port, c.port) << c.line;
    }
}

TEST_F(SocketsTest, ListeningSocketsWithTheirProcesses) {
    const std::string heading = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    put("/proc/net/tcp", heading +
                             "   0: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 500 1\n"
                             "   1: 0100007F:0019 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 501 1\n");
    put("/proc/net/udp6", heading +
                              "   0: 00000000000000000000000000000000:0202 00000000000000000000000000000000:0000 07 "
                              "00000000:00000000 00:00000000 00000000   104        0 502 2\n");
    put("/proc/812/comm", "sshd\n");
    link("/proc/812/fd/3", "socket:[500]");
    link("/proc/812/fd/4", "/dev/null");
    put("/proc/900/comm", "chronyd\n");
    link("/proc/900/fd/5", "socket:[502]");
    link("/proc/901/fd/5", "socket:[502]");  // shared with a later process: the first holder is shown

    set_output_mode(3);
    ASSERT_TRUE(sockets_available());
    EXPECT_TRUE(write_sockets(run_context.report));
    const std::string text = report();
    EXPECT_NE(text.find("  Protocol: tcp\n  Family  : inet\n  Address : 0.0.0.0\n  Port    : 22\n  State   : LISTEN\n"
                        "  User    : 0\n  Inode   : 500\n  PID     : 812\n  Command : sshd\n"),
              std::string::npos)
        << text;
    // No holder found: the row ends at the inode.
    EXPECT_NE(text.find("  Port    : 25\n  State   : LISTEN\n  User    : 0\n  Inode   : 501\n\n"), std::string::npos);
    EXPECT_NE(text.find("  Protocol: udp\n  Family  : inet6\n  Address : ::\n  Port    : 514\n  State   : UNCONN\n"
                        "  User    : 104\n  Inode   : 502\n  PID     : 900\n  Command : chronyd\n"),
              std::string::npos);
}

}  // namespace
