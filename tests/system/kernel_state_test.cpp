#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "system/kernel_state.h"
#include "system_tree_fixture.h"

namespace {

using KernelStateTest = SystemTreeTest;

TEST(KernelTexts, TaintFlagsAndLogNames) {
    EXPECT_EQ(taint_letters(0), "");
    EXPECT_EQ(taint_letters(0x1001), "PO");
    EXPECT_EQ(taint_letters(1ull << 40 | 1 << 9), "W?");
    EXPECT_STREQ(taint_flag_of(13).meaning, "unsigned module was loaded");
    EXPECT_EQ(taint_flag_of(63).letter, '?');
    EXPECT_STREQ(log_level_name(3), "err");
    EXPECT_STREQ(log_level_name(9), "?");
    EXPECT_EQ(log_facility_name(0), "kern");
    EXPECT_EQ(log_facility_name(23), "local7");
    EXPECT_EQ(log_facility_name(13), "13");
}

TEST(KernelTexts, KmsgRecords) {
    struct {
        const char* line;
        bool valid;
        int facility, level;
        uint64_t sequence, time;
        const char* message;
    } cases[] = {
        {"6,339,5140900,-;NET: Registered protocol family 10", true, 0, 6, 339, 5140900,
         "NET: Registered protocol family 10"},
        {"14,1,2,-,caller=T1;from user space", true, 1, 6, 1, 2, "from user space"},
        {"3,7,8;", true, 0, 3, 7, 8, ""},
        {"3,7;no time", false, 0, 0, 0, 0, ""},
        {"x,7,8,-;text", false, 0, 0, 0, 0, ""},
        {"3,,8,-;text", false, 0, 0, 0, 0, ""},
        {"3,7,-8,-;text", false, 0, 0, 0, 0, ""},
        {"3,7,99999999999999999999999,-;text", false, 0, 0, 0, 0, ""},
        {"no separator", false, 0, 0, 0, 0, ""},
        {"", false, 0, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        kernel_record record;
        ASSERT_EQ(parse_kmsg_record(c.line, record), c.valid) << c.line;
        if (!c.valid) continue;
        EXPECT_EQ(record.facility, c.facility) << c.line;
        EXPECT_EQ(record.level, c.level) << c.line;
        EXPECT_EQ(record.sequence, c.sequence) << c.line;
        EXPECT_EQ(record.time_us, c.time) << c.line;
        EXPECT_EQ(record.message, c.message) << c.line;
    }
}

// A copy of the log in a plain file: continuation lines, an overlong line
// and a last line cut short (not a whole record); only the last records
// are kept.
TEST_F(KernelStateTest, KernelLogKeepsTheLastRecords) {
    std::string log;
    for (int i = 0; i < 2010; ++i) {
        log += "6," + std::to_string(i) + "," + std::to_string(i * 1000001) + ",-;record " + std::to_string(i) + "\n";
        if (i % 100 == 0) log += " SUBSYSTEM=pci\n DEVICE=+pci:0000:00:01.0\n";
    }
    log += std::string(40000, 'x') + "\n";
    log += "4,2010,3,-;last, without a line end";
    put("/dev/kmsg", log);

    std::vector<kernel_record> records = read_kernel_log(5);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records.front().message, "record 2005");
    EXPECT_EQ(records.back().sequence, 2009u);
    EXPECT_NE(debug().find("kernel log: a line over 16384 bytes, skipped\n"), std::string::npos);

    set_output_mode(3);
    EXPECT_TRUE(write_kernel_log(run_context.report));
    const std::string text = report();
    EXPECT_NE(text.find("  Sequence: 2009\n  Time    : 2009.002009\n  Facility: kern\n  Level   : info\n"
                        "  Message : record 2009\n"),
              std::string::npos)
        << text.substr(0, 400);
    EXPECT_EQ(count_of(text, "  Sequence: "), 2000);
}

// -since: records older than the days before now are dropped; the cut
// falls exactly on the first second of the span.
TEST(KernelTexts, RecordsSinceDays) {
    const uint64_t day = 86400ull * 1000000;
    struct {
        uint64_t now;
        int days;
        std::vector<uint64_t> times, kept;
    } cases[] = {
        {10 * day, 3, {0, 7 * day - 1, 7 * day, 9 * day, 10 * day}, {7 * day, 9 * day, 10 * day}},
        {2 * day, 3, {0, day}, {0, day}},  // booted less than the span ago: everything
        {10 * day, 1, {day}, {}},
        {10 * day, 0, {day, 2 * day}, {day, 2 * day}},
        {3650 * day, 3650, {0}, {0}},
    };
    for (const auto& c : cases) {
        std::vector<kernel_record> records;
        for (uint64_t time : c.times) records.push_back({0, time, 0, 6, "r"});
        std::vector<uint64_t> kept;
        for (const kernel_record& record : records_since(records, c.now, c.days)) kept.push_back(record.time_us);
        EXPECT_EQ(kept, c.kept) << c.days;
    }
}

uint64_t twelve_days_after_boot() { return 12ull * 86400 * 1000000; }

// The "Kernel Log" table with -since: every record of the span, more than
// the fixed count of records, and none older.
TEST_F(KernelStateTest, KernelLogOfTheLastDays) {
    std::string log;
    const uint64_t hour = 3600ull * 1000000;
    for (int i = 0; i < 12 * 24 * 10; ++i)  // ten records an hour for twelve days
        log += "6," + std::to_string(i) + "," + std::to_string(i * hour / 10) + ",-;record " + std::to_string(i) + "\n";
    put("/dev/kmsg", log);
    set_boot_clock(twelve_days_after_boot);
    set_kernel_log_days(10);
    set_output_mode(3);
    bool written = write_kernel_log(run_context.report);
    set_kernel_log_days(0);
    set_boot_clock(nullptr);
    ASSERT_TRUE(written);
    const std::string text = report();
    EXPECT_EQ(count_of(text, "  Sequence: "), 10 * 24 * 10);
    EXPECT_NE(text.find("  Message : record 480\n"), std::string::npos);  // two days after boot
    EXPECT_EQ(text.find("  Message : record 479\n"), std::string::npos);
    EXPECT_NE(debug().find("/dev/kmsg: 2400 records of the last 10 days\n"), std::string::npos);
}

TEST_F(KernelStateTest, TaintTable) {
    put("/proc/sys/kernel/tainted", "4609\n");  // P, W and O
    set_output_mode(3);
    ASSERT_TRUE(kernel_taint_available());
    EXPECT_TRUE(write_kernel_taint(run_context.report));
    EXPECT_NE(report().find("  Mask : 4609\n  Flags: PWO\n"), std::string::npos) << report();
    EXPECT_NE(report().find("  Bit    : 9\n  Flag   : W\n  Meaning: kernel issued a warning\n"), std::string::npos);

    put("/proc/sys/kernel/tainted", "garbage");
    EXPECT_FALSE(write_kernel_taint(run_context.report));
}

// The /proc/sys walk: dotted names, a dot inside a folder name, values on
// one line, write-only and non-file entries left out, and its cap.
TEST_F(KernelStateTest, KernelParametersAsNamesAndValues) {
    put("/proc/sys/kernel/hostname", "box\n");
    put("/proc/sys/net/ipv4/conf/eth0.5/forwarding", "1\n");
    put("/proc/sys/net/ipv4/tcp_rmem", "4096\t131072\t6291456\n");
    put("/proc/sys/dev/cdrom/info", "CD-ROM information\n\ndrive name:\tsr0\n");
    put("/proc/sys/vm/compact_memory", "");
    chmod((root_ + "/proc/sys/vm/compact_memory").c_str(), 0200);
    ASSERT_EQ(mkfifo((root_ + "/proc/sys/vm/pipe").c_str(), 0600), 0);

    std::vector<setting> settings = read_kernel_parameters();
    std::vector<std::string> shown;
    for (const setting& entry : settings) shown.push_back(entry.name + " = " + entry.value);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "dev.cdrom.info = CD-ROM information  drive name: sr0",
                         "kernel.hostname = box",
                         "net.ipv4.conf.eth0/5.forwarding = 1",
                         "net.ipv4.tcp_rmem = 4096 131072 6291456",
                     }));
    EXPECT_EQ(read_kernel_parameters(2).size(), 2u);
    EXPECT_NE(debug().find("kernel parameters: the walk ends at 2 entries\n"), std::string::npos);
}

// Entries left out: a value that changes at every read, and the IPv6
// neighbour times whose reading writes a warning into the kernel's log when
// their millisecond twins are there.
TEST_F(KernelStateTest, KernelParametersLeaveNoTraceAndNoNoise) {
    const std::pair<const char*, bool> entries[] = {
        {"/proc/sys/kernel/random/uuid", false},
        {"/proc/sys/kernel/random/boot_id", true},
        {"/proc/sys/net/ipv6/neigh/default/base_reachable_time", false},
        {"/proc/sys/net/ipv6/neigh/default/base_reachable_time_ms", true},
        {"/proc/sys/net/ipv6/neigh/default/retrans_time", false},
        {"/proc/sys/net/ipv6/neigh/default/retrans_time_ms", true},
        {"/proc/sys/net/ipv6/neigh/eth0.5/retrans_time", false},
        {"/proc/sys/net/ipv6/neigh/eth0.5/retrans_time_ms", true},
        {"/proc/sys/net/ipv6/neigh/lo/base_reachable_time", true},  // no twin: kept
        {"/proc/sys/net/ipv6/neigh/lo/gc_stale_time", true},
        {"/proc/sys/net/ipv4/neigh/default/base_reachable_time", true},
        {"/proc/sys/net/ipv4/neigh/default/base_reachable_time_ms", true},
        {"/proc/sys/net/ipv6/conf/default/retrans_time", true},
        {"/proc/sys/net/ipv6/conf/default/retrans_time_ms", true},
        {"/proc/sys/fs/random/uuid", true},
    };
    for (auto [path, kept] : entries) put(path, "30\n");
    std::vector<std::string> names;
    for (const setting& entry : read_kernel_parameters()) names.push_back(entry.name);
    for (auto [path, kept] : entries) {
        std::string name = std::string(path).substr(std::strlen("/proc/sys/"));
        for (char& c : name) c = c == '/' ? '.' : c;
        if (name.find("eth0.5") != std::string::npos) name.replace(name.find("eth0.5"), 6, "eth0/5");
        EXPECT_EQ(std::count(names.begin(), names.end(), name), kept ? 1 : 0) << name;
    }
}

TEST_F(KernelStateTest, ModuleParameters) {
    put("/sys/module/zswap/parameters/enabled", "Y\n");
    put("/sys/module/zswap/parameters/compressor", "lzo\n");
    put("/sys/module/8250/parameters/nr_uarts", "4\n");
    put("/sys/module/loop/uevent", "");  // no parameters folder
    std::vector<module_parameter> parameters = read_module_parameters();
    std::vector<std::string> shown;
    for (const module_parameter& entry : parameters) shown.push_back(entry.module + " " + entry.parameter + " " + entry.value);
    EXPECT_EQ(shown, (std::vector<std::string>{"8250 nr_uarts 4", "zswap compressor lzo", "zswap enabled Y"}));
}

}  // namespace
