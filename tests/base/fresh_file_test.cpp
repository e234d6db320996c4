#include "base/fresh_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

// What may already stand under a name the program writes.
enum class planted { nothing, file, symbolic, dangling, hard, folder, pipe };

void plant(planted kind, const std::string& name, const std::string& victim) {
    switch (kind) {
        case planted::nothing: break;
        case planted::file: write_file(name, "left over"); break;
        case planted::symbolic: ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0); break;
        case planted::dangling: ASSERT_EQ(symlink((victim + ".absent").c_str(), name.c_str()), 0); break;
        case planted::hard: ASSERT_EQ(link(victim.c_str(), name.c_str()), 0); break;
        case planted::folder: ASSERT_EQ(mkdir(name.c_str(), 0700), 0); break;
        case planted::pipe: ASSERT_EQ(mkfifo(name.c_str(), 0600), 0); break;
    }
}

TEST(FreshFile, NothingPlantedIsEverWrittenThrough) {
    struct {
        planted kind;
        bool created;
    } cases[] = {
        {planted::nothing, true}, {planted::file, true},    {planted::symbolic, true}, {planted::dangling, true},
        {planted::hard, true},    {planted::folder, false}, {planted::pipe, true},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        const std::string name = dir.file("out");
        const std::string victim = dir.file("victim");
        write_file(victim, "precious");
        plant(c.kind, name, victim);
        FILE* f = fopen_fresh(name.c_str(), "w+b");
        const int error = errno;
        const int kind = static_cast<int>(c.kind);
        ASSERT_EQ(f != nullptr, c.created) << kind;
        EXPECT_EQ(read_file(victim), "precious") << kind;
        EXPECT_FALSE(std::filesystem::exists(victim + ".absent")) << kind;
        if (!f) {
            EXPECT_EQ(error, EISDIR);
            continue;
        }
        EXPECT_EQ(std::fputs("new", f), 1);
        std::rewind(f);
        char back[4] = {};
        EXPECT_EQ(std::fread(back, 1, 3, f), 3u);
        EXPECT_STREQ(back, "new");
        std::fclose(f);
        struct stat info;
        ASSERT_EQ(lstat(name.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << kind;
        EXPECT_EQ(info.st_nlink, 1u) << kind;
        EXPECT_EQ(read_file(name), "new") << kind;
    }
}

TEST(FreshFile, ReadingRefusesALinkAndOnlyPlainModesAreServed) {
    temp_dir dir;
    const std::string target = dir.file("target");
    const std::string link_name = dir.file("link");
    write_file(target, "data");
    ASSERT_EQ(symlink(target.c_str(), link_name.c_str()), 0);
    FILE* direct = fopen_no_follow(target.c_str(), "rb");
    ASSERT_NE(direct, nullptr);
    std::fclose(direct);
    EXPECT_EQ(fopen_no_follow(link_name.c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(fopen_no_follow(target.c_str(), "wb"), nullptr);
    EXPECT_EQ(fopen_fresh(target.c_str(), "ab"), nullptr);
    EXPECT_EQ(read_file(target), "data");
}

}  // namespace
