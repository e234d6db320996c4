#include "base/partial_files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(PartialFiles, OnlyRememberedFilesAreRemovedAndForgottenOnesStay) {
    temp_dir dir;
    struct row {
        const char* name;
        bool track;
        bool forget;
        bool removed;
    };
    const row rows[] = {
        {"keldr1a.tmp", true, false, true},
        {"box.KD2", true, true, false},
        {"keldran.log", false, false, false},
        {"KDLIC.TMP", true, false, true},
    };
    for (const row& r : rows) {
        ASSERT_TRUE(write_file(dir.file(r.name), "x"));
        if (r.track) {
            EXPECT_TRUE(track_partial_file(dir.file(r.name).c_str()));
        }
        if (r.forget) forget_partial_file(dir.file(r.name).c_str());
    }
    remove_partial_files_now();
    for (const row& r : rows) EXPECT_EQ(exists(dir.file(r.name)), !r.removed) << r.name;
    for (const row& r : rows) forget_partial_file(dir.file(r.name).c_str());
}

TEST(PartialFiles, SlotsAreReusedAndLimited) {
    std::string names[partial_file_slots + 1];
    for (int i = 0; i <= partial_file_slots; ++i) names[i] = "/nonexistent-partial/" + std::to_string(i);
    for (int i = 0; i < partial_file_slots; ++i) EXPECT_TRUE(track_partial_file(names[i].c_str())) << i;
    EXPECT_FALSE(track_partial_file(names[partial_file_slots].c_str()));
    forget_partial_file(names[3].c_str());
    EXPECT_TRUE(track_partial_file(names[partial_file_slots].c_str()));
    EXPECT_FALSE(track_partial_file(std::string(2000, 'a').c_str()));
    for (const std::string& name : names) forget_partial_file(name.c_str());
    EXPECT_TRUE(track_partial_file(names[0].c_str()));
    forget_partial_file(names[0].c_str());
}

}  // namespace
