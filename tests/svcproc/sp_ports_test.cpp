// The port transport against a simulated device: probe, framing, escaping,
// reply parsing and the guard.
#include <gtest/gtest.h>

#include <memory>

#include "sp_test_support.h"

namespace {

class PortTransport : public ::testing::Test {
protected:
    void SetUp() override { set_sp_library_name("/nonexistent/libsvcp.so"); }
    void TearDown() override { set_sp_library_name(nullptr); }

    // Opens a connection over the device; true when it opened in port mode.
    bool open_ports() {
        sp_init(connection);
        return sp_open(connection, 16) && connection.port_mode;
    }

    // Sends a command-2 request for key with data; the transaction's result.
    int transact(const std::string& key, const bytes& data = {}) {
        sp_build_request(*block, sp_read_object, key.c_str(), data.data(), static_cast<uint16_t>(data.size()));
        return sp_transact(connection, block.get());
    }

    // The bytes written for the request (the probe's byte excluded).
    bytes sent() const { return device_.written; }

    port_device device_;
    with_port_device installed{device_};
    sp_connection connection;
    std::unique_ptr<sp_request> block = std::make_unique<sp_request>();
};

TEST_F(PortTransport, ProbeDecidesWhetherTheInterfaceIsThere) {
    struct row {
        const char* name;
        bool permission;
        uint8_t idle_status;
        uint8_t answer;
        bool present;
    };
    const row rows[] = {
        {"answers", true, 0x20, 0xFD, true},
        {"permission refused", false, 0x20, 0xFD, false},
        {"floating bus", true, 0xFF, 0xFD, false},
        {"bit 6 set", true, 0x60, 0xFD, false},
        {"wrong answer", true, 0x20, 0xFE, false},
    };
    for (const row& r : rows) {
        port_device simulated;
        simulated.permission = r.permission;
        simulated.idle_status = r.idle_status;
        simulated.probe_answer = r.answer;
        with_port_device use(simulated);
        sp_connection probed;
        sp_init(probed);
        EXPECT_EQ(sp_open(probed, 16), r.present) << r.name;
        EXPECT_EQ(probed.port_mode, r.present) << r.name;
    }
}

TEST_F(PortTransport, OddLengthRequestIsPaddedAndChecksummed) {
    ASSERT_TRUE(open_ports());
    device_.replies.push_back(reply_frame(2, {4, 3, 5, 0x0B, 1}, 0, {}));
    EXPECT_EQ(transact("\x04\x03\x05\x0B\x01", {0x00, 0x00, 0x80, 0x00}), 0);
    // N = 5 + 4 + 6 = 15: 24 frame bytes with the pad, then the end byte.
    const bytes expected = {0x16, 0x02, 0x00, 0x03, 0x00, 0x0F, 0x02, 0x05, 0x04, 0x00, 0x00, 0x00, 0x04,
                            0x03, 0x05, 0x0B, 0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0xEF, 0x5A, 0xC0};
    EXPECT_EQ(sent(), expected);
}

TEST_F(PortTransport, EndAndEscapeBytesAreEscapedBothWays) {
    ASSERT_TRUE(open_ports());
    device_.replies.push_back(reply_frame(2, {4, 0xC0, 0xDB}, 0, {0xC0, 0xDB, 0x41}));
    ASSERT_EQ(transact("\x04\xC0\xDB"), 0);
    const bytes expected = {0x16, 0x02, 0x00, 0x03, 0x00, 0x09, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x04,
                            0xDB, 0xDC, 0xDB, 0xDE, 0x00, 0x1E, 0x30, 0xC0};
    EXPECT_EQ(sent(), expected);
    EXPECT_EQ(block->key_length, 3);
    EXPECT_EQ(block->data_size(), 3);
    EXPECT_EQ(block->status, 0);
    EXPECT_EQ(block->reply_byte(0), 0xC0);
    EXPECT_EQ(block->reply_byte(1), 0xDB);
    EXPECT_EQ(block->reply_byte(2), 0x41);
}

TEST_F(PortTransport, NoiseAndStaleBytesBeforeTheReplyAreSkipped) {
    ASSERT_TRUE(open_ports());
    device_.waiting = {0x16, 0x02, 0x55};  // left over from before: drained
    // The second 0x16 is not a new start, so the first five bytes are noise.
    bytes reply = {0x16, 0x16, 0x02, 0x00, 0x03};
    bytes frame = reply_frame(2, {2, 3}, 0, {0x07, 0x08});
    reply.insert(reply.end(), frame.begin(), frame.end());
    device_.replies.push_back(reply);
    ASSERT_EQ(transact("\x02\x03"), 0);
    EXPECT_EQ(block->data_size(), 2);
    EXPECT_EQ(block->reply_byte(0), 0x07);
    EXPECT_EQ(block->reply_byte(1), 0x08);
}

TEST_F(PortTransport, FailedRepliesLeaveStatusSix) {
    bytes bad_escape = reply_frame(2, {2, 3}, 0, {0x01});
    bad_escape.insert(bad_escape.begin() + 14, {0xDB, 0xDD});
    const struct {
        const char* name;
        bytes reply;  // empty: the device stays silent
    } rows[] = {{"silent device", {}}, {"received 0xDB 0xDD", bad_escape}};
    for (const auto& r : rows) {
        port_device simulated;
        with_port_device use(simulated);
        sp_connection ports;
        sp_init(ports);
        ASSERT_TRUE(sp_open(ports, 16));
        if (!r.reply.empty()) simulated.replies.push_back(r.reply);
        sp_build_request(*block, sp_read_object, "\x02\x03");
        EXPECT_EQ(sp_transact(ports, block.get()), 1) << r.name;
        EXPECT_EQ(block->status, 6) << r.name;
        EXPECT_EQ(guard_arms, guard_disarms) << r.name;
    }
}

TEST_F(PortTransport, ReplyLengthsOutsideTheBlockFail) {
    // Length fields of 0xFFFF (past the block) and 3 (shorter than the
    // header), each followed by more bytes than the block holds.
    for (uint16_t length : {uint16_t{0xFFFF}, uint16_t{3}}) {
        port_device simulated;
        with_port_device use(simulated);
        sp_connection ports;
        sp_init(ports);
        ASSERT_TRUE(sp_open(ports, 16));
        bytes reply(12 + sp_block_size + 64, 0x41);
        const uint8_t header[12] = {0x16, 0x02, 0x00, 0x03, static_cast<uint8_t>(length >> 8),
                                    static_cast<uint8_t>(length), 2, 0, 0, 0, 0, 0};
        std::copy(header, header + 12, reply.begin());
        simulated.replies.push_back(reply);
        sp_build_request(*block, sp_read_object, "\x02\x03");
        EXPECT_EQ(sp_transact(ports, block.get()), 1) << length;
        EXPECT_EQ(block->status, 6) << length;
    }
}

}  // namespace
