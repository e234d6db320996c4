// Where kdtool keeps its temporary files: under TMPDIR, none for a plain
// file, removed when kdtool is ended by a signal, and a full TMPDIR named as
// such rather than as a damaged container.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/archive_test_support.h"
#include "archive/container_file.h"
#include "base/run_context.h"
#include "report/report.h"
#include "report/xml.h"
#include "kdtool/kdtool_io.h"

namespace {

int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A sealed container of a report with one embedded file of the given size.
void make_container(const std::string& name, size_t file_size) {
    std::string text;
    for (size_t i = 0; text.size() < file_size; ++i) text += "line " + std::to_string(i * 7919 % 100003) + "\n";
    ASSERT_TRUE(write_file("embedded.txt", text));
    reset_report_state();
    set_output_mode(4);
    FILE* out = std::fopen("report.xml", "wb");
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    begin_section(out, "Files");
    embed_file(out, "embedded.txt");
    end_section(out);
    char sum[16];
    std::snprintf(sum, sizeof sum, "%8X", document_checksum());
    write_element(out, "CHK", sum);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
    ASSERT_EQ(shell(std::string(SIFTERRA_KDTOOL) + " pack " + name + " report.xml >/dev/null 2>&1"), 0);
}

size_t entries_in(const std::string& folder) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        (void)entry;
        ++n;
    }
    return n;
}

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.ok());
        tmpdir = scratch.file("tmpdir");
        ASSERT_EQ(mkdir(tmpdir.c_str(), 0700), 0);
    }
    // Runs kdtool with TMPDIR set; its error output goes to err.txt.
    int kdtool(const std::string& args) {
        return shell("TMPDIR='" + tmpdir + "' " SIFTERRA_KDTOOL " " + args + " >out.txt 2>err.txt");
    }
    ScratchDir scratch;
    std::string tmpdir;
};

}  // namespace

TEST_F(WorkspaceTest, InputsThatAreNeitherFileNorPipeAreRefused) {
    struct row {
        const char* input;
    };
    for (const row& r : {row{"/dev/zero"}, row{"/dev/null"}, row{"."}}) {
        for (const char* command : {"list", "verify", "json", "show"}) {
            EXPECT_EQ(kdtool(std::string(command) + " " + r.input), 1) << command << " " << r.input;
            EXPECT_NE(read_file("err.txt").find(std::string(r.input) + ": neither a file nor a pipe"), std::string::npos)
                << command << " " << r.input << ": " << read_file("err.txt");
        }
    }
    EXPECT_EQ(entries_in(tmpdir), 0u);
}

TEST_F(WorkspaceTest, CommandsWorkInTmpdirAndLeaveNothingThere) {
    make_container("box.KD2", 20000);
    for (const char* command : {"list box.KD2", "verify box.KD2", "json box.KD2", "show box.KD2", "extract box.KD2",
                                "clean box.KD2 clean.KD2"}) {
        EXPECT_EQ(kdtool(command), 0) << command << ": " << read_file("err.txt");
        EXPECT_EQ(entries_in(tmpdir), 0u) << command;
    }
    // A pipe is read once into a copy in TMPDIR: with TMPDIR unusable that
    // says so, and a plain file needs no copy at all.
    ASSERT_EQ(chmod(tmpdir.c_str(), 0500), 0);
    if (access(tmpdir.c_str(), W_OK) != 0) {
        EXPECT_EQ(kdtool("json - < box.KD2"), 1);
        EXPECT_EQ(shell("cat box.KD2 | TMPDIR='" + tmpdir + "' " SIFTERRA_KDTOOL " json /dev/stdin >/dev/null 2>err.txt"), 1);
        EXPECT_NE(read_file("err.txt").find("cannot create a temporary directory"), std::string::npos)
            << read_file("err.txt");
        ASSERT_EQ(shell(SIFTERRA_KDTOOL " extract box.KD2 -o report.copy >/dev/null 2>&1"), 0);
        EXPECT_EQ(kdtool("json report.copy"), 0) << read_file("err.txt");
    }
    ASSERT_EQ(chmod(tmpdir.c_str(), 0700), 0);
    EXPECT_EQ(shell("cat box.KD2 | TMPDIR='" + tmpdir + "' " SIFTERRA_KDTOOL " verify /dev/stdin >/dev/null 2>err.txt"), 0)
        << read_file("err.txt");
}

// SIGINT, SIGTERM and SIGHUP end kdtool without leaving its copy of the
// input behind: here a copy of a pipe that is still being written.
TEST_F(WorkspaceTest, SignalsRemoveTheWorkspace) {
    struct row {
        int signal_number;
        const char* command;
    };
    for (const row& r : {row{SIGTERM, "json"}, row{SIGINT, "json"}, row{SIGHUP, "json"}, row{SIGTERM, "clean"},
                         row{SIGINT, "verify"}}) {
        const int signal_number = r.signal_number;
        const std::string out = scratch.file("out.KD2");
        const std::string fifo = scratch.file("in.pipe");
        std::remove(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("TMPDIR", tmpdir.c_str(), 1);
            signal(SIGINT, SIG_DFL);
            signal(SIGHUP, SIG_DFL);
            const bool two = std::string(r.command) == "clean";
            execl(SIFTERRA_KDTOOL, "kdtool", r.command, fifo.c_str(), two ? out.c_str() : nullptr,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int writer = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "_KELDRFF_", 9), 9);
        // Wait until the copy has started in TMPDIR.
        bool copying = false;
        for (int i = 0; i < 400 && !copying; ++i) {
            for (const auto& entry : std::filesystem::directory_iterator(tmpdir))
                if (entries_in(entry.path()) > 0) copying = true;
            if (!copying) poll(nullptr, 0, 5);
        }
        EXPECT_TRUE(copying);
        ASSERT_EQ(kill(child, signal_number), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(writer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
        EXPECT_EQ(entries_in(tmpdir), 0u) << r.command << " " << strsignal(signal_number);
    }
}

// With too little room in TMPDIR for the unsealed copy or the report, the
// message names TMPDIR, never damage. Needs a small file system of its own.
TEST_F(WorkspaceTest, FullTmpdirIsNamedAsSuch) {
    if (shell("unshare -Urm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no user and mount namespaces for a small TMPDIR";
    make_container("box.KD2", 600000);
    for (const char* command : {"verify", "json", "list", "show", "clean", "extract"}) {
        for (int size_kb : {40, 200, 400}) {
            std::string args = std::string(command) + " box.KD2" + (std::string(command) == "clean" ? " c.KD2" : "");
            std::string run = "unshare -Urm sh -c 'mount -t tmpfs -o size=" + std::to_string(size_kb) + "k tmpfs " +
                              tmpdir + " && TMPDIR=" + tmpdir + " exec " SIFTERRA_KDTOOL " " + args +
                              "' >out.txt 2>err.txt";
            int rc = shell(run);
            const std::string err = read_file("err.txt");
            if (rc == 0) continue;  // it fitted
            EXPECT_NE(err.find("no space left in TMPDIR (" + tmpdir + ")"), std::string::npos)
                << command << " " << size_kb << "k: " << err;
            EXPECT_EQ(err.find("damaged"), std::string::npos) << err;
            EXPECT_EQ(err.find("not a container"), std::string::npos) << err;
            EXPECT_EQ(err.find("status"), std::string::npos) << err;
        }
    }
}

// What comes from a pipe is copied up to the cap and no further; the copy
// lies in the workspace and holds exactly what came.
TEST_F(WorkspaceTest, PipeCopiesStopAtTheCap) {
    constexpr uint64_t cap = 3 << 20;
    struct row {
        uint64_t size;
        int rc;
    };
    for (const row& r : {row{0, exit_good}, row{cap, exit_good}, row{cap + 1, exit_damaged}, row{cap * 3, exit_damaged}}) {
        const std::string fifo = scratch.file("in.pipe");
        std::remove(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            signal(SIGPIPE, SIG_DFL);
            int fd = open(fifo.c_str(), O_WRONLY);
            static char block[65536];
            std::memset(block, 'z', sizeof block);
            for (uint64_t left = r.size; left > 0;) {
                size_t n = left < sizeof block ? static_cast<size_t>(left) : sizeof block;
                if (write(fd, block, n) != static_cast<ssize_t>(n)) _exit(1);
                left -= n;
            }
            _exit(0);
        }
        workspace ws;
        captured_stream err;
        kdtool_io io{stdout, err.get()};
        std::string readable;
        EXPECT_EQ(readable_input(ws, fifo, "in", io, &readable, cap), r.rc) << r.size;
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        if (r.rc == exit_good) {
            EXPECT_EQ(readable.rfind(ws.dir() + "/", 0), 0u);
            EXPECT_EQ(std::filesystem::file_size(readable), r.size);
        } else {
            EXPECT_EQ(err.text(), "kdtool: " + fifo + ": more than 3 MB from a pipe; give it as a file\n");
        }
    }
}
