// The library transport and the query operations, against the stand-in
// driver library.
#include <gtest/gtest.h>

#include <memory>

#include "sp_test_support.h"

namespace {

class LibraryTransport : public ::testing::Test {
protected:
    bool open() {
        sp_init(connection);
        return sp_open(connection, 16);
    }

    fake_library library;
    port_device ports;
    with_port_device installed{ports};
    sp_connection connection;
};

TEST_F(LibraryTransport, OpensWithTheArgumentAndClosesOnce) {
    ASSERT_TRUE(library.handle);
    ASSERT_TRUE(open());
    EXPECT_FALSE(connection.port_mode);
    EXPECT_EQ(library.open_argument(), 16);
    EXPECT_TRUE(sp_open(connection, 16));  // already open
    auto block = std::make_unique<sp_request>();
    EXPECT_EQ(sp_transact(connection, nullptr), sp_no_block);
    sp_build_request(*block, sp_read_object, "\x02\x03");
    EXPECT_EQ(sp_transact(connection, block.get()), 0);
    EXPECT_EQ(block->status, sp_status_no_object);  // no such key
    sp_close(connection);
    sp_close(connection);
    EXPECT_EQ(library.close_calls(), 1);
    EXPECT_EQ(sp_transact(connection, block.get()), sp_not_open);
    EXPECT_EQ(ports.permission_requests, 0);
}

TEST_F(LibraryTransport, RefusedOpenDoesNotTryThePorts) {
    library.reset(5);
    EXPECT_FALSE(open());
    sp_request block;
    sp_build_request(block, sp_read_object, "\x02\x03");
    EXPECT_EQ(sp_transact(connection, &block), sp_not_open);
    EXPECT_EQ(ports.permission_requests, 0);
}

TEST_F(LibraryTransport, LibraryLackingAnEntryPointFallsBackToThePorts) {
    fake_library partial(FAKE_SVCP_PARTIAL_LIBRARY);
    ASSERT_TRUE(partial.handle);
    ports.permission = false;
    EXPECT_FALSE(open());
    EXPECT_EQ(connection.library, nullptr);
    EXPECT_EQ(ports.permission_requests, 1);
}

TEST_F(LibraryTransport, QueriesOfBytesAndTexts) {
    library.add("\x01\x01", {0x2A, 0x01});
    library.add("\x01\x02", {0x2B}, sp_status_no_object);  // the status is not looked at
    library.add("\x01\x03", {0x2C}, 0, 7);                 // the call itself fails
    library.add_text("\x01\x04", std::string("Admin\0xyz", 9));
    library.add_text("\x01\x05", "ABCDEFGHIJ");
    ASSERT_TRUE(open());

    const struct {
        const char* key;
        bool ok;
        uint8_t value;
    } byte_rows[] = {{"\x01\x01", true, 0x2A}, {"\x01\x02", true, 0x2B}, {"\x01\x03", false, 0}};
    for (const auto& r : byte_rows) {
        uint8_t value = 0xEE;
        EXPECT_EQ(sp_get_byte(connection, r.key, &value), r.ok) << int{r.key[1]};
        EXPECT_EQ(value, r.value) << int{r.key[1]};
    }

    const struct {
        const char* key;
        size_t max_length;
        bool ok;
        const char* text;
    } text_rows[] = {{"\x01\x04", 16, true, "Admin"}, {"\x01\x05", 4, true, "ABCD"}, {"\x01\x03", 16, false, ""}};
    for (const auto& r : text_rows) {
        std::string text = "old";
        EXPECT_EQ(sp_get_text(connection, r.key, text, r.max_length), r.ok) << int{r.key[1]};
        EXPECT_EQ(text, r.text) << int{r.key[1]};
    }

    sp_request block;
    sp_build_request(block, sp_read_object, "\x01\x03");
    EXPECT_EQ(sp_transact(connection, &block), 7);
}

TEST_F(LibraryTransport, DateAndTimeNeedExactlySevenBytesAndStatusZero) {
    const struct {
        const char* key;
        bytes data;
        int status;
        const char* text;  // null: the query fails
    } rows[] = {
        {"\x04\x04\x01", {23, 3, 15, 9, 10, 20, 30}, 0, "03/15/23 10:20:30"},
        {"\x04\x04\x02", {23, 3, 15, 9, 10, 20}, 0, nullptr},
        {"\x04\x04\x03", {23, 3, 15, 9, 10, 20, 30, 40}, 0, nullptr},
        {"\x04\x04\x04", {23, 3, 15, 9, 10, 20, 30}, 1, nullptr},
    };
    for (const auto& r : rows) library.add(r.key, r.data, r.status);
    ASSERT_TRUE(open());
    for (const auto& r : rows) {
        std::string text;
        EXPECT_EQ(sp_get_datetime(connection, r.key, text), r.text != nullptr) << int{r.key[2]};
        EXPECT_EQ(text, r.text ? r.text : "");
    }
}

}  // namespace
