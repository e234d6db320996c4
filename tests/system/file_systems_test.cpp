#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "system/file_systems.h"
#include "system_tree_fixture.h"

namespace {

class FileSystemsTest : public SystemTreeTest {
protected:
    void TearDown() override {
        set_statvfs_call(nullptr);
        set_statvfs_limits(0, 0);
        SystemTreeTest::TearDown();
    }
};

TEST_F(FileSystemsTest, MountinfoLinesAndTheirEscapes) {
    const std::string text =
        "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
        "36 35 98:0 /mnt1 /mnt/my\\040disk rw,noatime master:1 shared:7 - ext4 /dev/sd\\134a1 rw,errors=continue\n"
        "40 26 0:40 / /net rw - autofs systemd-1 rw,fd=47\n"
        "garbage\n"
        "41 26 0:41 / /short rw - tmpfs\n"          // no source: malformed
        "42 26 0:42 / /nosuper rw - tmpfs tmpfs\n"  // no super options: still a mount
        "\n"
        "43 26 0:43 / /cut rw - nfs4 server:/x rw,vers=4.2";  // no last line end
    std::vector<mount_entry> mounts = parse_mountinfo(text);
    ASSERT_EQ(mounts.size(), 5u);
    EXPECT_EQ(mounts[1].mount_point, "/mnt/my disk");
    EXPECT_EQ(mounts[1].device, "/dev/sd\\a1");
    EXPECT_EQ(mounts[1].type, "ext4");
    EXPECT_EQ(mounts[1].options, "rw,noatime");
    EXPECT_EQ(mounts[1].fs_options, "rw,errors=continue");
    EXPECT_EQ(mounts[3].fs_options, "");
    EXPECT_EQ(mounts[4].device, "server:/x");
    EXPECT_EQ(count_of(debug(), "malformed, skipped"), 2);
    EXPECT_EQ(parse_mountinfo(text, 2).size(), 2u);

    EXPECT_EQ(unescape_mount_field("a\\040b\\011c"), "a b\tc");
    EXPECT_EQ(unescape_mount_field("end\\04"), "end\\04");  // cut short: kept as it is
    EXPECT_EQ(unescape_mount_field("\\999"), "\\999");
}

int fake_statvfs(const char* path, struct statvfs* info) {
    std::memset(info, 0, sizeof *info);
    const char* name = std::strrchr(path, '/');
    name = name ? name + 1 : path;
    if (std::strncmp(name, "hang", 4) == 0 || std::strcmp(name, "net") == 0) pause();  // a dead share
    if (std::strcmp(name, "gone") == 0) {
        errno = ENOENT;
        return -1;
    }
    info->f_frsize = 4096;
    info->f_blocks = 1000;
    info->f_bfree = 250;
    info->f_bavail = 200;
    info->f_files = 64;
    info->f_ffree = 60;
    return 0;
}

// A mount that hangs is given up after its deadline and the next one is
// measured by a fresh child; an automount point is never touched.
TEST_F(FileSystemsTest, HangingMountsDoNotHoldTheRun) {
    set_statvfs_call(fake_statvfs);
    set_statvfs_limits(150, 5000);
    std::vector<mount_entry> mounts(5);
    const char* points[] = {"/data", "/hang", "/gone", "/net", "/home"};
    for (int i = 0; i < 5; ++i) mounts[i].mount_point = points[i];
    mounts[3].type = "autofs";
    measure_mounts(mounts);

    EXPECT_EQ(mounts[0].status, "OK");
    EXPECT_EQ(mounts[0].size, 4096000u);
    EXPECT_EQ(mounts[0].used, 3072000u);
    EXPECT_EQ(mounts[0].available, 819200u);
    EXPECT_EQ(mounts[0].inodes_used, 4u);
    EXPECT_EQ(mounts[1].status, "timed out");
    EXPECT_FALSE(mounts[1].measured);
    EXPECT_EQ(mounts[2].status, "No such file or directory");
    EXPECT_EQ(mounts[3].status, "not queried: automount point");
    EXPECT_EQ(mounts[4].status, "OK");
    EXPECT_NE(debug().find("statvfs /hang: timed out\n"), std::string::npos);

    // When the time for all of them is spent, the rest are not queried.
    set_statvfs_limits(100, 250);
    std::vector<mount_entry> stuck(4);
    const char* hanging[] = {"/hang1", "/hang2", "/hang3", "/hang4"};
    for (int i = 0; i < 4; ++i) stuck[i].mount_point = hanging[i];
    measure_mounts(stuck);
    EXPECT_EQ(stuck[0].status, "timed out");
    EXPECT_EQ(stuck[3].status, "not queried: time limit reached");
}

// The real statvfs on the fixture tree: figures for a real folder, an
// error for a missing one, and rows without figures end at their status.
TEST_F(FileSystemsTest, TableFromTheMachinesMounts) {
    folder("/srv");
    put("/proc/self/mountinfo",
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 8:2 / /srv rw - xfs /dev/sda2 rw\n"
        "3 1 0:9 / /missing rw - tmpfs tmpfs rw\n");
    set_output_mode(3);
    ASSERT_TRUE(file_systems_available());
    EXPECT_TRUE(write_file_systems(run_context.report));
    const std::string text = report();
    EXPECT_NE(text.find("  Mount Point      : /srv\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "  Status           : OK\n  Size (bytes)     : "), 2);
    EXPECT_NE(text.find("  Status           : No such file or directory\n\n"), std::string::npos) << text;
}

}  // namespace
