// The library transport and the query operations, against the stand-in
// driver library.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "base/run_context.h"
#include "sp_test_support.h"
#include "support/temp_dir.h"

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

long long monotonic_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A closed library that misbehaves ends only its own process: the run goes
// on through the ports, and the debug log says what happened.
class MisbehavingLibrary : public LibraryTransport {
protected:
    void SetUp() override {
        saved_log = debug_log;
        saved_discarded = debug_log_discarded;
        debug_log = log.get();
        debug_log_discarded = false;
        set_sp_library_deadline(1000);
    }
    void TearDown() override {
        debug_log = saved_log;
        debug_log_discarded = saved_discarded;
        set_sp_library_deadline(0);
        set_sp_library_name(nullptr);
    }
    // A fresh device that answers one request for key 01 01 with 2A.
    void fresh_ports() {
        ports = port_device{};
        ports.replies.push_back(reply_frame(sp_read_object, {0x01, 0x01}, 0, {0x2A}));
    }
    bool logged(const std::string& part) { return log.text().find(part) != std::string::npos; }

    captured_stream log;
    FILE* saved_log = nullptr;
    bool saved_discarded = false;
};

TEST_F(MisbehavingLibrary, EntryPointsThatAbortCrashHangOrExit) {
    enum { aborts = 1, crashes, hangs, exits };
    const struct {
        const char* entry;
        int how;
        const char* logged;  // besides the entry point's name
    } rows[] = {
        {"OpenSPDriver", aborts, "ended during OpenSPDriver (terminated by Aborted)"},
        {"OpenSPDriver", crashes, "ended during OpenSPDriver"},
        {"OpenSPDriver", hangs, "did not answer during OpenSPDriver"},
        {"OpenSPDriver", exits, "ended during OpenSPDriver (exit status 3)"},
        {"SystemDataIO", aborts, "ended during SystemDataIO (terminated by Aborted)"},
        {"SystemDataIO", crashes, "ended during SystemDataIO"},
        {"SystemDataIO", hangs, "did not answer during SystemDataIO"},
        {"SystemDataIO", exits, "ended during SystemDataIO (exit status 3)"},
    };
    library.add("\x01\x01", {0x11});  // what the library would have said
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.entry) + " " + std::to_string(row.how));
        fresh_ports();
        library.misbehave(row.entry, row.how);
        sp_connection connection;
        sp_init(connection);
        ASSERT_TRUE(connection.library);
        const long long started = monotonic_now_ms();
        ASSERT_TRUE(sp_open(connection, 16));
        EXPECT_EQ(connection.port_mode, std::string(row.entry) == "OpenSPDriver");
        uint8_t value = 0;
        EXPECT_TRUE(sp_get_byte(connection, "\x01\x01", &value));
        EXPECT_EQ(value, 0x2A);  // the ports' answer
        EXPECT_TRUE(connection.port_mode);
        EXPECT_FALSE(connection.library);
        EXPECT_LT(monotonic_now_ms() - started, 5000);
        EXPECT_TRUE(logged(row.logged)) << log.text();
        EXPECT_TRUE(logged("dropped, the ports are tried")) << log.text();
        sp_close(connection);
    }
}

TEST_F(MisbehavingLibrary, LibraryThatDiesAndNoPortsClosesTheConnection) {
    fresh_ports();
    ports.permission = false;
    library.misbehave("SystemDataIO", 1);
    sp_connection connection;
    sp_init(connection);
    ASSERT_TRUE(sp_open(connection, 16));
    sp_request block;
    sp_build_request(block, sp_read_object, "\x01\x01");
    EXPECT_EQ(sp_transact(connection, &block), sp_not_open);
    EXPECT_EQ(block.command, sp_read_object);  // the block is as it was
    EXPECT_EQ(block.key_length, 2);
    EXPECT_EQ(sp_transact(connection, &block), sp_not_open);
    EXPECT_FALSE(connection.open);
}

TEST_F(MisbehavingLibrary, CloseThatHangsStillEnds) {
    library.misbehave("CloseSPDriver", 3);
    sp_connection connection;
    sp_init(connection);
    ASSERT_TRUE(sp_open(connection, 16));
    const long long started = monotonic_now_ms();
    sp_close(connection);
    EXPECT_LT(monotonic_now_ms() - started, 5000);
    EXPECT_FALSE(connection.library);
    EXPECT_TRUE(logged("did not answer during CloseSPDriver")) << log.text();
}

// A library that cannot be loaded: one that aborts while loading (as a
// library built for another C library does in a static program), and a file
// that is no library at all.
TEST_F(MisbehavingLibrary, UnloadableLibrariesLeaveThePorts) {
    temp_dir dir;
    const std::string garbage = dir.file("libsvcp.so");
    ASSERT_TRUE(write_file(garbage, "not a library\n"));
    const struct {
        std::string path;
        const char* logged;
    } rows[] = {
        {FAKE_SVCP_ABORTING_LIBRARY, "could not be loaded, the ports are tried"},
        {garbage, "libsvcp.so: not loaded"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        fresh_ports();
        set_sp_library_name(row.path.c_str());
        sp_connection connection;
        sp_init(connection);
        EXPECT_FALSE(connection.library);
        EXPECT_TRUE(sp_open(connection, 16));
        EXPECT_TRUE(connection.port_mode);
        EXPECT_TRUE(logged(row.logged)) << log.text();
    }
}

}  // namespace
