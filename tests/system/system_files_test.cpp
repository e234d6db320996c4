#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "probes/reader_probe.h"
#include "system/system_files.h"
#include "system_tree_fixture.h"

namespace {

using SystemFilesTest = SystemTreeTest;

TEST_F(SystemFilesTest, CappedReadsAndTheirLimits) {
    put("/etc/small", "abc\n");
    put("/etc/large", std::string(100, 'x'));
    ASSERT_EQ(mkfifo((root_ + "/etc/fifo").c_str(), 0600), 0);

    std::string text;
    bool cut = true;
    EXPECT_TRUE(read_capped("/etc/small", 10, text, &cut));
    EXPECT_EQ(text, "abc\n");
    EXPECT_FALSE(cut);
    EXPECT_TRUE(read_capped("/etc/large", 40, text, &cut));
    EXPECT_EQ(text, std::string(40, 'x'));
    EXPECT_TRUE(cut);
    EXPECT_TRUE(read_capped("/etc/small", 4, text, &cut));  // exactly the cap: whole
    EXPECT_FALSE(cut);
    // A FIFO nobody writes would block a plain read for ever.
    EXPECT_FALSE(read_capped("/etc/fifo", 10, text));
    EXPECT_FALSE(read_capped("/etc/missing", 10, text));
    EXPECT_NE(debug().find("/etc/large: cut at 40 bytes\n"), std::string::npos);
    EXPECT_NE(debug().find("/etc/fifo: not a regular file, not read\n"), std::string::npos);

    put("/sys/attr", "  none [mq-deadline] kyber \n");
    EXPECT_EQ(read_attribute("/sys/attr"), "none [mq-deadline] kyber");
    EXPECT_EQ(read_attribute("/sys/none"), "");
}

TEST_F(SystemFilesTest, EmbeddedFilesEndWithTheCutMarker) {
    put("/proc/mdstat", "Personalities : [raid1]\nmd0 : active raid1 sdb1[1] sda1[0]\n");
    set_output_mode(0);
    EXPECT_TRUE(embed_capped(run_context.report, "/proc/mdstat", 24));
    EXPECT_FALSE(embed_capped(run_context.report, "/proc/none", 24));
    EXPECT_TRUE(embed_text(run_context.report, "empty", "", false, 10));
    EXPECT_EQ(report(),
              "\n---> FILE: /proc/mdstat <---\nPersonalities : [raid1]\n"
              "--- cut here: what followed the first 24 bytes is left out ---\n---> END OF FILE <---\n"
              "\n---> FILE: empty <---\n---> END OF FILE <---\n");
}

// A log's output keeps its newest bytes: whole lines after the marker.
TEST_F(SystemFilesTest, NewestBytesOfAnOutputAreKept) {
    std::string many_lines;
    for (int i = 0; i < 20000; i++) many_lines += "line " + std::to_string(i) + "\n";
    struct row {
        const char* what;
        std::string output;
        size_t cap;
        std::string embedded;
    };
    const std::vector<row> rows = {
        {"shorter than the cap", "a\nb\n", 10, "a\nb\n"},
        {"exactly the cap", "a\nbc\n", 5, "a\nbc\n"},
        {"empty", "", 10, ""},
        {"a cut line is dropped", "first\nsecond\nthird\n", 10,
         cut_marker_before(10) + "third\n"},
        {"cut at a line end", "first\nsecond\nthird\n", 13, cut_marker_before(13) + "second\nthird\n"},
        {"no line end in the part kept", "0123456789abcdef", 4, cut_marker_before(4) + "cdef"},
        {"many chunks through the ring", many_lines, 33,
         cut_marker_before(33) + "line 19997\nline 19998\nline 19999\n"},
        {"many chunks, a cut line", many_lines, 30, cut_marker_before(30) + "line 19998\nline 19999\n"},
        {"one chunk larger than the cap", std::string(70000, 'x') + "\nend\n", 4, cut_marker_before(4) + "end\n"},
        {"a cap of nothing", "abc\n", 0, cut_marker_before(0)},
    };
    set_output_mode(0);
    for (const row& r : rows) {
        size_t before = report().size();
        std::string copy = r.output;
        char empty = 0;
        FILE* input = fmemopen(copy.empty() ? &empty : copy.data(), copy.size(), "r");
        ASSERT_NE(input, nullptr);
        EXPECT_TRUE(embed_newest(run_context.report, "log", input, r.cap)) << r.what;
        std::fclose(input);
        EXPECT_EQ(report().substr(before), "\n---> FILE: log <---\n" + r.embedded + "---> END OF FILE <---\n")
            << r.what;
    }
    EXPECT_EQ(cut_marker_before(16), "--- cut here: what came before the last 16 bytes is left out ---\n");
}

TEST_F(SystemFilesTest, ListingsAreInNaturalOrderAndCapped) {
    for (const char* name : {"sda10", "sda2", "sda1", "sdb", "nvme0n1", "9", "10"}) put(std::string("/d/") + name, "");
    std::vector<std::string> names;
    bool cut = true;
    ASSERT_TRUE(list_directory("/d", names, 100, &cut));
    EXPECT_EQ(names, (std::vector<std::string>{"9", "10", "nvme0n1", "sda1", "sda2", "sda10", "sdb"}));
    EXPECT_FALSE(cut);
    ASSERT_TRUE(list_directory("/d", names, 3, &cut));
    EXPECT_EQ(names.size(), 3u);
    EXPECT_TRUE(cut);
    EXPECT_FALSE(list_directory("/none", names, 3));

    // The order is a strict weak order, also with leading zeros.
    std::vector<std::string> mixed = {"a01", "a1", "a001", "a", "a1b", "a01b"};
    for (const std::string& a : mixed) {
        EXPECT_FALSE(natural_less(a, a)) << a;
        for (const std::string& b : mixed) EXPECT_FALSE(natural_less(a, b) && natural_less(b, a)) << a << " " << b;
    }
}

TEST_F(SystemFilesTest, ModulesAndProcessesOfTheMachine) {
    put("/proc/modules", "dm_multipath 45056 0 - Live 0x0000000000000000\nnf_tables 344064 0 - Live 0x0\n");
    folder("/sys/module/dm_mod");
    EXPECT_TRUE(kernel_module_present("nf_tables"));
    EXPECT_TRUE(kernel_module_present("dm_mod"));         // built in: only under /sys/module
    EXPECT_FALSE(kernel_module_present("nf_table"));      // a prefix of a listed name
    EXPECT_FALSE(kernel_module_present("dm"));

    put("/proc/1/comm", "init\n");
    put("/proc/812/comm", "chronyd\n");
    put("/proc/self/comm", "chronyd\n");  // not a process number
    EXPECT_TRUE(process_running("chronyd"));
    EXPECT_FALSE(process_running("ntpd"));
}

// Cells of any kind, rows that end early, and columns as wide as their values.
TEST_F(SystemFilesTest, ReaderTablesFitTheirValues) {
    set_output_mode(0);
    write_table(run_context.report, "T", {{"Name", STRING}, {"Size", INTEGER}, {"On", BOOL}, {"N", INTEGER}},
                {{"a", {"longer name", table_cell::of_count(12345678901ull), table_cell::of_flag(false),
                        table_cell::of_value(-7)}},
                 {"b", {"b"}}});
    EXPECT_EQ(report(),
              "\nTable: T\n"
              "+-------------+-------------+-------+----+\n"
              "| Name        | Size        | On    | N  |\n"
              "+-------------+-------------+-------+----+\n"
              "| longer name | 12345678901 | false | -7 |\n"
              "| b           |\n"
              "+-------------+-------------+-------+----+\n");
}

}  // namespace
