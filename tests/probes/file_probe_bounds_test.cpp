// The file probes read what the machine holds with a bound: only regular
// files, opened without blocking, at most the cap and a marker line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "probe_fixture.h"
#include "probes/file_probe.h"
#include "system/system_files.h"

namespace {

using FileProbeBoundsTest = ProbeTest;

TEST_F(FileProbeBoundsTest, OnlyRegularFilesAreEmbeddedAndNeverBeyondTheCap) {
    const std::string big(default_file_cap + 4096, 'x');
    struct row {
        const char* name;
        const char* kind;  // "file", "fifo", "link"
        const char* content_or_target;
        bool embedded;
    };
    const row rows[] = {
        {"inittab", "file", "id:3:initdefault:\n", true},
        {"grub.cfg", "fifo", "", false},
        {"lilo.conf", "link", "/dev/zero", false},
        {"random", "link", "/dev/urandom", false},
        {"folder", "link", "/", false},
        {"big", "file", nullptr, true},
    };
    for (const row& r : rows) {
        const std::string path = folder_.file(r.name);
        const std::string kind = r.kind;
        bool made = kind == "file"   ? write_file(path, r.content_or_target ? r.content_or_target : big)
                    : kind == "fifo" ? mkfifo(path.c_str(), 0600) == 0
                                     : symlink(r.content_or_target, path.c_str()) == 0;
        ASSERT_TRUE(made) << r.name;
        section_list list;
        probe_section section(list, "Startup Information");
        file_probe file(section, r.name, path.c_str(), 2);
        const size_t before = report().size();
        EXPECT_EQ(file.test(), r.embedded) << r.name;
        // Even when the file changed after the test, run never blocks or runs on.
        EXPECT_EQ(file.run(), r.embedded) << r.name;
        const std::string added = report().substr(before);
        if (!r.embedded) {
            EXPECT_EQ(added, "") << r.name;
        }
    }
    const std::string text = report();
    EXPECT_NE(text.find("<---\nid:3:initdefault:\n---> END OF FILE <---\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(64, 'x') + "\n" + cut_marker(default_file_cap) + "---> END OF FILE <---\n"),
              std::string::npos);
    EXPECT_LT(text.size(), default_file_cap + 4096);
    EXPECT_NE(debug().find(folder_.file("grub.cfg") + ": not a regular file\n"), std::string::npos) << debug();
}

TEST_F(FileProbeBoundsTest, FolderProbeCapsEachFile) {
    const std::string dir = folder_.file("modprobe.d");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_TRUE(write_file(dir + "/a.conf", std::string(default_file_cap + 10, 'a')));
    ASSERT_EQ(mkfifo((dir + "/b.conf").c_str(), 0600), 0);
    section_list list;
    probe_section section(list, "Device Driver Information");
    folder_probe options(section, "Module Options", dir.c_str(), 2);
    EXPECT_TRUE(options.test());
    EXPECT_TRUE(options.run());
    EXPECT_NE(report().find(cut_marker(default_file_cap)), std::string::npos);
    EXPECT_EQ(report().find("b.conf"), std::string::npos);
}

}  // namespace
