// The runner with real child processes. The deadlines are short; nothing
// here measures how long anything takes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probes/probe_fixture.h"
#include "system/bounded_command.h"

namespace {

using BoundedCommandTest = ProbeTest;

command_result shell(const char* script, int timeout_ms = 5000, size_t cap = 1 << 20) {
    const char* argv[] = {"/bin/sh", "-c", script, nullptr};
    return run_bounded(argv, timeout_ms, cap);
}

TEST_F(BoundedCommandTest, OutputStatusAndErrorsOfACommand) {
    command_result result = shell("echo out; echo err >&2; exit 3");
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.output, "out\n");
    EXPECT_EQ(result.errors, "err\n");
    EXPECT_EQ(describe_result(result), "rc = 3");

    // A fixed plain environment, standard input on /dev/null, run in "/".
    result = shell("echo \"$PATH|$LC_ALL|$HOME|$(pwd)\"; cat");
    EXPECT_EQ(result.output, "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin|C||/\n");
    EXPECT_EQ(describe_result(result), "rc = 0");

    const char* missing[] = {"/nonexistent/tool", nullptr};
    result = run_bounded(missing, 1000, 100);
    EXPECT_EQ(describe_result(result), "not started");
}

TEST_F(BoundedCommandTest, OutputBeyondTheCapStopsTheCommand) {
    command_result result = shell("yes", 5000, 1000);
    EXPECT_TRUE(result.cut);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.output.size(), 1000u);
    EXPECT_EQ(result.output.substr(0, 4), "y\ny\n");
    EXPECT_NE(debug().find("/bin/sh: output cut at 1000 bytes, stopped\n"), std::string::npos);
}

// A command that outlives its deadline is killed with everything it
// started: this test process adopts the orphans, so it can see how the
// background child ended.
TEST_F(BoundedCommandTest, ATimedOutCommandLeavesNoProcessBehind) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    command_result result = shell("sleep 30 & echo $!; wait", 300);
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(describe_result(result), "timed out");
    pid_t background = static_cast<pid_t>(std::atoi(result.output.c_str()));
    ASSERT_GT(background, 0) << result.output;
    int status = 0;
    ASSERT_EQ(waitpid(background, &status, 0), background);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_NE(debug().find("/bin/sh: timed out after 300 ms, killed\n"), std::string::npos);

    // A command that ends at once but leaves a child holding nothing open
    // has that child ended as well.
    result = shell("sleep 30 </dev/null >/dev/null 2>&1 & echo $!");
    EXPECT_EQ(describe_result(result), "rc = 0");
    background = static_cast<pid_t>(std::atoi(result.output.c_str()));
    ASSERT_EQ(waitpid(background, &status, 0), background);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

void answer_then_hang(int fd, void* argument) {
    const char* text = static_cast<const char*>(argument);
    ssize_t ignored = write(fd, text, 4);
    (void)ignored;
    pause();
}

void answer_and_end(int fd, void*) {
    ssize_t ignored = write(fd, "done", 4);
    (void)ignored;
}

TEST_F(BoundedCommandTest, ChildCallsWithDeadlines) {
    bounded_child child;
    char data[4];
    ASSERT_TRUE(child.start(answer_then_hang, const_cast<char*>("abcd")));
    EXPECT_TRUE(child.read_exact(data, 4, 2000));
    EXPECT_EQ(std::string(data, 4), "abcd");
    EXPECT_FALSE(child.read_exact(data, 4, 100));
    EXPECT_TRUE(child.timed_out());
    child.finish();
    EXPECT_FALSE(child.running());

    // A child that ends early gives what it wrote, and no timeout.
    ASSERT_TRUE(child.start(answer_and_end, nullptr));
    std::string text;
    EXPECT_TRUE(child.read_all(text, 100, 2000));
    EXPECT_EQ(text, "done");
    EXPECT_FALSE(child.read_exact(data, 4, 2000));
    EXPECT_FALSE(child.timed_out());
}

TEST_F(BoundedCommandTest, ToolsAreFoundOnlyInTheSystemFolders) {
    EXPECT_EQ(find_tool("sh").substr(0, 1), "/");
    EXPECT_EQ(find_tool("no-such-tool-here"), "");
    EXPECT_EQ(find_tool("../bin/sh"), "");  // never a path
    EXPECT_EQ(find_tool(""), "");
}

// Only an executable regular file counts; the search goes on past anything
// else of the right name, in folder order.
TEST_F(BoundedCommandTest, ToolSearchSkipsWhatCannotRun) {
    const std::string a = folder_.file("a"), b = folder_.file("b"), c = folder_.file("c");
    for (const std::string& dir : {a, b, c}) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    struct row {
        const char* in_a;  // "plain", "exec", "dir" or "" (nothing)
        const char* in_b;
        const char* found;  // the folder whose file is found, or ""
    };
    const row rows[] = {
        {"plain", "exec", "b"}, {"dir", "exec", "b"}, {"exec", "exec", "a"},
        {"", "exec", "b"},      {"plain", "", "c"},   {"dir", "plain", "c"},
    };
    const char* const folders[] = {a.c_str(), b.c_str(), c.c_str(), nullptr};
    set_tool_folders(folders);
    for (const row& r : rows) {
        const std::string tool = std::string("t-") + r.in_a + "-" + r.in_b;
        const std::pair<const std::string*, const char*> places[] = {{&a, r.in_a}, {&b, r.in_b}, {&c, "exec"}};
        for (const auto& [dir, kind] : places) {
            const std::string path = *dir + "/" + tool;
            if (std::string(kind) == "dir") {
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            } else if (*kind) {
                ASSERT_TRUE(write_file(path, "#!/bin/sh\n"));
                ASSERT_EQ(chmod(path.c_str(), std::string(kind) == "exec" ? 0755 : 0644), 0);
            }
        }
        const std::string expected = *r.found ? folder_.file(r.found) + "/" + tool : "";
        EXPECT_EQ(find_tool(tool.c_str()), expected) << tool;
    }
    set_tool_folders(nullptr);
    EXPECT_EQ(find_tool("t-plain-exec"), "");
}

}  // namespace
