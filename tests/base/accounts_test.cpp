#include "base/accounts.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

class Accounts : public ::testing::Test {
protected:
    void SetUp() override { set_account_folder(dir.path().c_str()); }
    void TearDown() override { set_account_folder(nullptr); }
    temp_dir dir;
};

TEST_F(Accounts, UserNamesAndIdsFromThePasswordFile) {
    ASSERT_TRUE(write_file(dir.file("passwd"),
                           "root:x:0:0:root:/root:/bin/bash\n"
                           "# alice:x:1000:1000::/home/alice:/bin/sh\n"
                           "\n"
                           "+nisuser:x:1500:1500:::\n"
                           "bad:x:12a:1::/:\n"
                           "huge:x:99999999999:1::/:\n"
                           ":x:1200:1::/:\n"
                           "bob:x:1001:1001:Bob,,,:/home/bob:/bin/sh\n"
                           "bob2:x:1001:1001::/home/bob:/bin/sh\n"
                           "long:x:1300:1:" + std::string(5000, 'g') + ":/:\n"
                           "after:x:1301:1::/:\n"
                           "last:x:4294967294:1::/:"));  // no line end
    const struct {
        unsigned uid;
        const char* name;  // "" when the uid has no line
    } by_uid[] = {
        {0, "root"}, {1001, "bob"}, {1000, ""}, {1500, ""}, {12, ""}, {1200, ""},
        {1300, "long"}, {1301, "after"}, {4294967294u, "last"}, {4242, ""},
    };
    for (const auto& row : by_uid) EXPECT_EQ(account_user_name(row.uid), row.name) << row.uid;

    const struct {
        const char* name;
        bool found;
        unsigned uid;
    } by_name[] = {
        {"bob", true, 1001}, {"bob2", true, 1001}, {"root", true, 0}, {"alice", false, 0},
        {"# alice", false, 0}, {"+nisuser", false, 0}, {"bad", false, 0}, {"bo", false, 0},
        {"", false, 0}, {"last", true, 4294967294u},
    };
    for (const auto& row : by_name) {
        unsigned uid = 77;
        EXPECT_EQ(account_user_id(row.name, &uid), row.found) << row.name;
        EXPECT_EQ(uid, row.found ? row.uid : 77u) << row.name;
    }
    // A name ps cut short: every account it may stand for.
    using users = std::vector<std::pair<std::string, unsigned>>;
    EXPECT_EQ(account_users_starting_with("bob"), (users{{"bob", 1001}, {"bob2", 1001}}));
    EXPECT_EQ(account_users_starting_with("zz"), users{});
}

TEST_F(Accounts, GroupNamesAndMissingFiles) {
    EXPECT_EQ(account_user_name(0), "");
    EXPECT_EQ(account_group_name(0), "");
    unsigned uid = 5;
    EXPECT_FALSE(account_user_id("root", &uid));
    EXPECT_EQ(uid, 5u);
    ASSERT_TRUE(write_file(dir.file("group"), "root:x:0:\nadm:x:4:syslog,alice\nusers:x:100:\n"));
    const struct {
        unsigned gid;
        const char* name;
    } rows[] = {{0, "root"}, {4, "adm"}, {100, "users"}, {1000, ""}};
    for (const auto& row : rows) EXPECT_EQ(account_group_name(row.gid), row.name) << row.gid;
}

}  // namespace
