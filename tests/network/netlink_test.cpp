#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "netlink_fixture.h"
#include "network/net_probe.h"

namespace {

using NetlinkTransportTest = NetlinkTest;

// The pointers in the first two lines differ from run to run.
std::string without_pointers(std::string log) {
    for (const char* label : {"nlb @ ", "nlb->buffer @ "}) {
        size_t at = log.find(label);
        if (at == std::string::npos) continue;
        at += std::strlen(label);
        log.replace(at, log.find('\n', at) - at, "P");
    }
    return log;
}

TEST_F(NetlinkTransportTest, OneDumpFromRequestToEndWithEveryTraceLine) {
    bytes lo = message(16, link_body(772, 1, 0x49) + attribute(3, text("lo")));
    reply(18, {lo, done_message()});

    NetlinkBuffer* nlb = netlink_open();
    ASSERT_NE(nlb, nullptr);
    InterfaceRecord row;
    EXPECT_EQ(parse_link_message(nlb, row), 0);
    EXPECT_EQ(parse_link_message(nlb, row), 1);
    netlink_close(nlb);

    // Exactly one 20-byte request: length, RTM_GETLINK, flags 0x0501,
    // sequence 1, port 0, family 2.
    ASSERT_EQ(fake().requests.size(), 1u);
    EXPECT_EQ(fake().requests[0], le32(20) + le16(18) + le16(0x0501) + le32(1) + le32(0) + bytes("\x02\0\0\0", 4));
    EXPECT_EQ(fake().closes, 1);
    EXPECT_EQ(row.name, "lo");
    const std::string header = "\tlen   : 40\n\ttype  : 16\n\tflags : 2\n\tseq   : 1\n\tpid   : 0\n";
    EXPECT_EQ(without_pointers(debug()),
              "nlb @ P\nnlb->buffer @ P\nsocket = 42\n"
              "netlink_send_message, type 0x12, family 2\n"
              "sendto, rc = 20\n"
              "recvmsg, rc = 40\n"
              "--- BEGIN HEX DUMP ---"
              "\n0000: 28 00 00 00-10 00 02 00-01 00 00 00-00 00 00 00\t(..............."
              "\n0010: 02 00 04 03-01 00 00 00-49 00 00 00-00 00 00 00\t........I......."
              "\n0020: 07 00 03 00-6c 6f 00 00" + std::string(8 * 3, ' ') + "\t....lo.."
              "\n--- END HEX DUMP ---\n"
              "Processing message at offset 0\n" + header +
              "len = 8\trta_len: 7\trta_type: 3\n"
              "--- BEGIN HEX DUMP ---\n0000: 6c 6f 00" + std::string(13 * 3, ' ') + "\tlo.\n--- END HEX DUMP ---\n"
              "\tinterface\n"
              "recvmsg, rc = 20\n"
              "--- BEGIN HEX DUMP ---"
              "\n0000: 14 00 00 00-03 00 02 00-01 00 00 00-00 00 00 00\t................"
              "\n0010: 00 00 00 00" + std::string(12 * 3, ' ') + "\t...."
              "\n--- END HEX DUMP ---\n"
              "Processing message at offset 0\n"
              "\tlen   : 20\n\ttype  : 3\n\tflags : 2\n\tseq   : 1\n\tpid   : 0\n"
              "Done processing messages\n");
}

TEST_F(NetlinkTransportTest, MessagesOfOneDatagramAreTakenWithoutReceivingAgain) {
    auto link = [](const char* name) { return message(16, link_body(1, 2, 0) + attribute(3, text(name))); };
    reply(18, {link("eth0") + link("eth1") + link("eth2"), link("eth3"), done_message()});

    NetlinkBuffer* nlb = netlink_open();
    ASSERT_NE(nlb, nullptr);
    std::vector<std::string> names;
    std::vector<int> receives_before;
    InterfaceRecord row;
    while (parse_link_message(nlb, row) == 0) {
        names.push_back(row.name);
        receives_before.push_back(fake().receives);
    }
    netlink_close(nlb);

    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "eth1", "eth2", "eth3"}));
    EXPECT_EQ(receives_before, (std::vector<int>{1, 1, 1, 2}));
    EXPECT_EQ(fake().requests.size(), 1u);
    EXPECT_EQ(count_of(debug(), "Processing message at offset 0\n"), 3);
    EXPECT_EQ(count_of(debug(), "Processing message at offset 44\n"), 1);
    EXPECT_EQ(count_of(debug(), "Processing message at offset 88\n"), 1);
}

// How a link dump ends: the results of successive parse_link_message calls,
// the names decoded, and a line the debug log must hold.
struct dump_end_case {
    const char* what;
    std::vector<datagram> datagrams;
    std::vector<int> results;
    std::vector<std::string> names;
    std::string trace;
    int send_error = 0;
    int receive_error = 0;
};

TEST_F(NetlinkTransportTest, DumpsEndAtDoneErrorsAndDamagedReplies) {
    const bytes body = link_body(1, 2, 0);
    const bytes eth0 = message(16, body + attribute(3, text("eth0")));
    bytes too_long = eth0;
    too_long[0] = char(too_long.size() + 4);
    bytes too_short = eth0;
    too_short[0] = 12;
    const bytes attribute_past_end = message(16, body + le16(40) + le16(3) + text("lo"));
    const bytes attribute_header_cut = message(16, body + attribute(3, text("lo")) + bytes{8, 0});
    const dump_end_case cases[] = {
        {"done in its own datagram", {{eth0}, {done_message()}}, {0, 1}, {"eth0"}, "Done processing messages\n"},
        {"error reply", {{error_message(-1)}}, {-1}, {}, "RTM_GETLINK: Operation not permitted\n"},
        {"error reply without its code", {{message(2, "")}}, {-1}, {}, "RTM_GETLINK: error reply without its code\n"},
        {"zero-byte receive", {}, {-1}, {}, "EOF on socket 42\n"},
        {"unexpected type", {{message(20, address_body(8, 1))}}, {-1}, {}, "incorrect message type 0x14\n"},
        {"length below the header", {{eth0 + too_short}}, {0, -1}, {"eth0"}, "malformed message at offset 44"},
        {"length past the datagram", {{eth0 + too_long}}, {0, -1}, {"eth0"}, "malformed message at offset 44"},
        {"datagram shorter than a header", {{bytes(6, '\0')}}, {-1}, {}, "malformed message at offset 0"},
        {"body cut short", {{message(16, bytes(8, '\0'))}}, {-1}, {}, "too short for its body"},
        // A damaged attribute ends its message, not the dump: the row keeps
        // what came before it and the next message is read.
        {"attribute past its message", {{attribute_past_end + bytes(1, '\0') + eth0}, {done_message()}}, {0, 0, 1}, {"", "eth0"},
         "runs past its message"},
        {"attribute header cut", {{attribute_header_cut}}, {0, -1}, {"lo"}, "runs past its message"},
        {"datagram from another sender", {{message(16, body + attribute(3, text("spoof"))), 4242}, {eth0}, {done_message()}},
         {0, 1}, {"eth0"}, "from port 4242 ignored\n"},
        {"send fails", {}, {-1}, {}, "sendto: Permission denied\n", EACCES},
        {"receive fails", {}, {-1}, {}, "recvmsg: No buffer space available\n", 0, ENOBUFS},
    };
    for (const dump_end_case& c : cases) {
        SCOPED_TRACE(c.what);
        fake() = fake_netlink{};
        fake().replies[{18, 2}] = c.datagrams;
        fake().send_error = c.send_error;
        fake().receive_error = c.receive_error;
        size_t log_start = debug().size();

        NetlinkBuffer* nlb = netlink_open();
        ASSERT_NE(nlb, nullptr);
        std::vector<int> results;
        std::vector<std::string> names;
        for (size_t i = 0; i < c.results.size(); ++i) {
            InterfaceRecord row;
            results.push_back(parse_link_message(nlb, row));
            if (results.back() == 0) names.push_back(row.name);
        }
        netlink_close(nlb);

        EXPECT_EQ(results, c.results);
        EXPECT_EQ(names, c.names);
        EXPECT_NE(debug().find(c.trace, log_start), std::string::npos) << debug().substr(log_start);
    }
}

// Damaged copies of good replies (bytes changed, cut short, lengths made
// up) never make a parser read outside the datagram or loop: every dump ends.
TEST_F(NetlinkTransportTest, DamagedRepliesEndEveryDumpCleanly) {
    const bytes replies[3] = {
        message(16, link_body(1, 2, 0x1043) + attribute(3, text("eth0")) + attribute(1, bytes(6, '\x52')) +
                        attribute(4, le32(1500)) + attribute(7, bytes(96, '\x01'))),
        message(20, address_body(24, 2) + attribute(2, ipv4(10, 0, 2, 15)) + attribute(3, text("eth0")) +
                        attribute(4, ipv4(10, 0, 2, 255))),
        message(24, route_body(24, 253, 1) + attribute(1, ipv4(10, 0, 2, 0)) + attribute(5, ipv4(10, 0, 2, 2)) +
                        attribute(4, le32(2))),
    };
    const uint16_t requests[3] = {18, 22, 26};
    std::mt19937 random(12);
    for (int round = 0; round < 3000; ++round) {
        const int kind = round % 3;
        bytes data = replies[kind] + replies[kind];
        for (int changes = 1 + int(random() % 4); changes > 0; --changes)
            data[random() % data.size()] = char(random() % 2 ? random() : random() % 64);
        if (random() % 3 == 0) data.resize(random() % data.size());
        fake() = fake_netlink{};
        fake().replies[{requests[kind], 2}] = {{data}, {done_message()}};

        NetlinkBuffer* nlb = netlink_open();
        ASSERT_NE(nlb, nullptr);
        int rc = 0;
        for (int calls = 0; rc == 0; ++calls) {
            ASSERT_LT(calls, 8) << "round " << round;
            InterfaceRecord link;
            AddressRow address;
            RouteRow route;
            rc = kind == 0 ? parse_link_message(nlb, link)
                 : kind == 1 ? parse_address_message(nlb, address)
                             : parse_route_message(nlb, route);
        }
        netlink_close(nlb);
    }
}

TEST_F(NetlinkTransportTest, NoSocketGivesNoBuffer) {
    fake().open_error = EAFNOSUPPORT;
    EXPECT_EQ(netlink_open(), nullptr);
    EXPECT_NE(debug().find("socket: Address family not supported by protocol\nsocket = -1\n"), std::string::npos);
    EXPECT_EQ(fake().closes, 0);
    netlink_close(nullptr);
}

}  // namespace
