// The shipped programs as a support engineer uses them: copied onto a
// machine of any age and C library. They must need no shared library at all
// (or none newer than the oldest C library in service), run in a root that
// holds nothing but themselves, and get by on a kernel without the system
// calls of the last decade.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

const char* const programs[] = {SIFTERRA_BINARY, SIFTERRA_KDTOOL};

bool portable_build() { return SIFTERRA_PORTABLE_BUILD != 0; }

#define SKIP_UNLESS_PORTABLE()                                                                          \
    if (!portable_build())                                                                              \
    GTEST_SKIP() << "this build links the programs dynamically (sanitizer or fuzz build, or "           \
                    "SIFTERRA_PORTABLE=OFF): the portable checks apply to the shipped build only"

// Output and exit status of a shell command.
struct shell_result {
    int status = -1;
    std::string output;
};

shell_result shell(const std::string& command) {
    shell_result result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    result.status = pclose(pipe);
    return result;
}

bool tool_present(const char* tool) { return shell(std::string("command -v ") + tool).status == 0; }

// What a binary asks of the machine's loader: the libraries it needs and the
// newest versions of the C library and libstdc++ among its symbols.
struct dynamic_needs {
    bool interpreter = false;
    std::vector<std::string> libraries;
    int newest_glibc_minor = 0;  // 2.N
    bool any_glibcxx = false;
};

dynamic_needs needs_of(const std::string& readelf, const std::string& objdump) {
    dynamic_needs needs;
    needs.interpreter = readelf.find("Requesting program interpreter") != std::string::npos;
    std::smatch match;
    std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (auto at = readelf.cbegin(); std::regex_search(at, readelf.cend(), match, needed); at = match.suffix().first)
        needs.libraries.push_back(match[1]);
    std::regex glibc(R"(GLIBC_2\.([0-9]+))");
    for (auto at = objdump.cbegin(); std::regex_search(at, objdump.cend(), match, glibc); at = match.suffix().first)
        needs.newest_glibc_minor = std::max(needs.newest_glibc_minor, std::stoi(match[1]));
    needs.any_glibcxx = objdump.find("GLIBCXX_") != std::string::npos || objdump.find("CXXABI_") != std::string::npos;
    return needs;
}

// The reading of the tools' texts, on what readelf and objdump print for a
// dynamic program of today and for a static one.
TEST(Portable, LoaderNeedsAreReadFromTheToolsTexts) {
    const struct {
        const char* what;
        const char* readelf;
        const char* objdump;
        bool interpreter;
        size_t libraries;
        int newest;
        bool glibcxx;
    } rows[] = {
        {"dynamic",
         "      [Requesting program interpreter: /lib64/ld-linux-x86-64.so.2]\n"
         " 0x0000000000000001 (NEEDED)             Shared library: [libstdc++.so.6]\n"
         " 0x0000000000000001 (NEEDED)             Shared library: [libc.so.6]\n",
         "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.34) __libc_start_main\n"
         "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.2.5) fopen\n"
         "0000000000000000      DF *UND*  0000000000000000 (GLIBCXX_3.4.29) _ZNSt7__cxx11\n",
         true, 2, 34, true},
        {"old C library only", " 0x01 (NEEDED)             Shared library: [libc.so.6]\n",
         "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.17) clock_gettime\n"
         "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.3.4) __chk_fail\n",
         false, 1, 17, false},
        {"static", "\nThere is no dynamic section in this file.\n", "\nobjdump: sifterra: not a dynamic object\n",
         false, 0, 0, false},
    };
    for (const auto& row : rows) {
        dynamic_needs needs = needs_of(row.readelf, row.objdump);
        EXPECT_EQ(needs.interpreter, row.interpreter) << row.what;
        EXPECT_EQ(needs.libraries.size(), row.libraries) << row.what;
        EXPECT_EQ(needs.newest_glibc_minor, row.newest) << row.what;
        EXPECT_EQ(needs.any_glibcxx, row.glibcxx) << row.what;
    }
}

// Static, or at most glibc 2.17 and never libstdc++.
TEST(Portable, ProgramsNeedNoNewCLibraryAndNoLibstdcxx) {
    SKIP_UNLESS_PORTABLE();
    if (!tool_present("readelf") || !tool_present("objdump"))
        GTEST_SKIP() << "readelf or objdump is not installed (Debian package binutils)";
    for (const char* program : programs) {
        SCOPED_TRACE(program);
        shell_result readelf = shell(std::string("readelf -dlW '") + program + "'");
        shell_result objdump = shell(std::string("objdump -T '") + program + "'");
        ASSERT_EQ(readelf.status, 0) << readelf.output;
        dynamic_needs needs = needs_of(readelf.output, objdump.output);
        EXPECT_LE(needs.newest_glibc_minor, 17);
        EXPECT_FALSE(needs.any_glibcxx) << objdump.output;
        for (const std::string& library : needs.libraries)
            EXPECT_EQ(library.rfind("libc.so", 0), 0u) << "needs " << library;
        // The build makes them fully static: no loader, nothing needed.
        EXPECT_FALSE(needs.interpreter);
        EXPECT_TRUE(needs.libraries.empty());
    }
}

// Runs prepare() and then the program in a child, with standard output and
// error into files of dir, within a time limit; the exit status.
int run_child(const temp_dir& dir, const std::function<bool()>& prepare, const char* path,
              const std::vector<const char*>& args, std::string* why) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int out = open(dir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(120);
        dup2(out, 1);
        dup2(err, 2);
        if (!prepare()) _exit(121);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path));
        for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(122);
    }
    int status = -1;
    for (int waited = 0; waited < 120000; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    *why = "did not end within two minutes";
    return -1;
}

// The containers a run left in folder.
std::vector<std::string> containers_in(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        if (entry.path().extension() == ".KD2") found.push_back(entry.path());
    return found;
}

void expect_one_verified_container(const std::string& folder) {
    std::vector<std::string> found = containers_in(folder);
    ASSERT_EQ(found.size(), 1u);
    shell_result verified = shell(std::string(SIFTERRA_KDTOOL) + " verify '" + found[0] + "'");
    EXPECT_EQ(verified.status, 0) << verified.output;
}

// A root that holds nothing but the program and the kernel's /proc, /sys and
// /dev (bound in a private mount namespace): no shell, no C library, no /etc.
TEST(Portable, RunsInAnEmptyRoot) {
    SKIP_UNLESS_PORTABLE();
    if (geteuid() != 0) GTEST_SKIP() << "needs root (chroot and a mount namespace)";
    temp_dir dir;
    const std::string root = dir.file("root");
    for (const char* folder : {"proc", "sys", "dev", "tmp", "work"})
        std::filesystem::create_directories(root + "/" + folder);
    std::filesystem::copy_file(SIFTERRA_BINARY, root + "/sifterra");
    auto enter_root = [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
        for (const char* folder : {"proc", "sys", "dev"})
            if (mount((std::string("/") + folder).c_str(), (root + "/" + folder).c_str(), nullptr, MS_BIND | MS_REC,
                      nullptr) != 0)
                return false;
        return chroot(root.c_str()) == 0 && chdir("/work") == 0;
    };
    std::string why;
    int status = run_child(dir, enter_root, "/sifterra", {"-batch"}, &why);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 121)
        GTEST_SKIP() << "this machine allows no mount namespace or chroot here";
    ASSERT_TRUE(WIFEXITED(status)) << why << " status " << status << "\n" << read_file(dir.file("stderr"));
    EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(dir.file("stdout")) << read_file(dir.file("stderr"));
    EXPECT_NE(read_file(dir.file("stdout")).find("Done. Information is stored in "), std::string::npos);
    expect_one_verified_container(root + "/work");
}

// Every system call that came after kernel 3.10 (x86-64 numbers from 314
// on, and the x32 ones) answers ENOSYS, as it does on such a kernel.
bool pretend_old_kernel() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 314, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Portable, RunsWhereNewerSystemCallsAreMissing) {
    temp_dir dir;
    const std::string work = dir.file("work");
    std::filesystem::create_directories(work);
    std::string why;
    int status = run_child(
        dir, [&] { return chdir(work.c_str()) == 0 && pretend_old_kernel(); }, SIFTERRA_BINARY, {"-batch"}, &why);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 121) GTEST_SKIP() << "this machine allows no seccomp filter";
    ASSERT_TRUE(WIFEXITED(status)) << why << " status " << status << "\n" << read_file(dir.file("stderr"));
    EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(dir.file("stderr"));
    expect_one_verified_container(work);

    // kdtool under the same kernel: it reads the container back.
    std::vector<std::string> found = containers_in(work);
    ASSERT_EQ(found.size(), 1u);
    status = run_child(dir, pretend_old_kernel, SIFTERRA_KDTOOL, {"verify", found[0].c_str()}, &why);
    ASSERT_TRUE(WIFEXITED(status)) << why;
    EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(dir.file("stdout")) << read_file(dir.file("stderr"));
}

}  // namespace
