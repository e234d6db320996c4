#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probe_fixture.h"
#include "probes/catalogue.h"
#include "probes/file_probe.h"
#include "probes/tagged_text_probe.h"

namespace {

using FileProbeTest = ProbeTest;
using ListProbeTest = ProbeTest;
using ScriptFileTest = ProbeTest;

TEST_F(FileProbeTest, ReadableFileIsEmbeddedUnderItsPath) {
    const std::string path = folder_.file("cpuinfo");
    write_file(path, "processor : 0\n");
    section_list list;
    probe_section section(list, "CPU Information");
    file_probe cpu(section, "CPU Info", path.c_str(), 2);

    EXPECT_TRUE(cpu.test());
    EXPECT_TRUE(cpu.run());
    EXPECT_EQ(report(), "\n---> FILE: " + path + " <---\nprocessor : 0\n---> END OF FILE <---\n");
    EXPECT_EQ(debug(), path + ": true\nfile_probe: " + path + "\n");
}

TEST_F(FileProbeTest, MissingFileShowsOnlyInTheDebugLog) {
    const std::string inittab = folder_.file("inittab");
    const std::string grub = folder_.file("grub.conf");
    write_file(inittab, "id:3:initdefault:\n");
    section_list list;
    probe_section startup(list, "Startup Information");
    file_probe present(startup, "Startup Info", inittab.c_str(), 2);
    file_probe missing(startup, "GRUB Configuration", grub.c_str(), 2);

    test_sections(list);

    EXPECT_NE(report().find("---> FILE: " + inittab + " <---"), std::string::npos);
    EXPECT_EQ(report().find(grub), std::string::npos);
    EXPECT_NE(debug().find(grub + ": No such file or directory\n" + grub + ": false\n"),
              std::string::npos);
    EXPECT_EQ(console(), "Startup Information ............ OK\n");
}

TEST_F(ListProbeTest, ExitStatusDecidesTheResultAndOutputIsKept) {
    section_list list;
    probe_section section(list, "Commands");
    list_probe good(section, "good", "printf 'hello\\n'", 0);
    list_probe failing(section, "failing", "exit 1", 0);
    list_probe killed(section, "killed", "printf 'partial'; kill -9 $$", 0);

    EXPECT_TRUE(good.run());
    EXPECT_FALSE(failing.run());
    EXPECT_FALSE(killed.run());

    EXPECT_EQ(report(),
              "\n---> FILE: good <---\nhello\n---> END OF FILE <---\n"
              "\n---> FILE: failing <---\n---> END OF FILE <---\n"
              "\n---> FILE: killed <---\npartial---> END OF FILE <---\n");
    EXPECT_EQ(debug(), "good: rc = 0\nfailing: rc = 1\nkilled: terminated by Killed\n");
}

FILE* no_pipe(const char*) { return nullptr; }
int stopped_status(FILE* pipe) {
    pclose(pipe);
    return 0x137f;  // a stopped child: neither exited nor signalled
}
int failed_close(FILE* pipe) {
    pclose(pipe);
    errno = ECHILD;
    return -1;
}

TEST_F(ListProbeTest, PipeFailuresAndOddStatuses) {
    section_list list;
    probe_section section(list, "Commands");
    list_probe command(section, "cmd", "true", 0);

    set_command_pipe(no_pipe, nullptr);
    EXPECT_FALSE(command.run());
    EXPECT_EQ(report(), "");

    set_command_pipe(nullptr, failed_close);
    EXPECT_FALSE(command.run());
    EXPECT_NE(debug().find("pclose: No child processes\n"), std::string::npos);

    set_command_pipe(nullptr, stopped_status);
    EXPECT_TRUE(command.run());
    EXPECT_NE(debug().find("cmd: status = 4991\n"), std::string::npos);
}

TEST_F(ListProbeTest, MessagesScriptStartsAtTheDayOfTheHundredthLastLine) {
    std::string log;
    for (int i = 1; i <= 150; ++i)
        log += std::string(i <= 40 ? "Jan  1" : "Jan  2") + " 10:00:00 host line" +
               std::to_string(i) + "\n";
    const std::string messages = folder_.file("messages");
    write_file(messages, log);
    std::string script = relocated(messages_script, "/var/log/messages", messages);
    script = relocated(script, "/tmp/sifterra.log", folder_.file("sifterra.log"));
    section_list list;
    probe_section section(list, "System Log");
    list_probe probe_under_test(section, "/var/log/messages", script.c_str(), 0);

    EXPECT_TRUE(probe_under_test.run());
    std::string text = report();
    EXPECT_NE(text.find("<---\nJan  2 10:00:00 host line41\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("line40\n"), std::string::npos);
    EXPECT_NE(text.find("line150\n---> END OF FILE <---"), std::string::npos);
}

TEST_F(ListProbeTest, KernelScriptExplainsAMissingBootLine) {
    const std::string messages = folder_.file("messages");
    write_file(messages, "Jan  1 10:00:00 host kernel: eth0 up\n");
    std::string script = relocated(kernel_messages_script, "/var/log/messages", messages, " ;");
    script = relocated(script, "/tmp/sifterra.log", folder_.file("sifterra.log"));
    section_list list;
    probe_section section(list, "System Log");
    list_probe kernel(section, "Kernel messages", script.c_str(), 4);

    EXPECT_TRUE(kernel.run());
    EXPECT_NE(report().find("<---\nCan't find last boot in /var/log/messages\nUptime is "),
              std::string::npos)
        << report();
    EXPECT_EQ(debug(), "Kernel messages: rc = 0\n");
}

TEST_F(ListProbeTest, BootLogScriptWithoutBootLogLeavesAnEmptyOutput) {
    std::string script =
        relocated(boot_log_script, "/var/log/boot.log", folder_.file("boot.log"));
    script = relocated(script, "/tmp/sifterra.log", folder_.file("sifterra.log"));
    section_list list;
    probe_section section(list, "System Log");
    list_probe boot(section, "/var/log/boot.log", script.c_str(), 0);

    EXPECT_FALSE(boot.run());
    EXPECT_EQ(report(), "\n---> FILE: /var/log/boot.log <---\n---> END OF FILE <---\n");
    EXPECT_EQ(debug(), "/var/log/boot.log: rc = 1\n");
}

TEST_F(ListProbeTest, TaggedScriptOutputBecomesATable) {
    section_list list;
    probe_section section(list, "Package Information");
    tagged_text_probe packages(
        section, "RPM", "printf '@TABLE\\aTools\\aROW\\ased\\aFIELD\\aPackage\\ased\\a'", 4);
    EXPECT_TRUE(packages.run());
    EXPECT_NE(report().find("Table: Tools\n"), std::string::npos);
    EXPECT_NE(report().find("| sed     |"), std::string::npos);

    set_command_pipe(no_pipe, nullptr);
    EXPECT_FALSE(packages.run());
}

mode_t mode_of(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST_F(ScriptFileTest, PlantedLinksNeverLeadTheScriptsElsewhere) {
    const std::string log = script_file_path(script_error_log);
    const std::string copy = script_file_path(script_module_copy);
    const std::string victim = folder_.file("victim");
    const std::string absent = folder_.file("never-made");
    write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
    ASSERT_EQ(symlink(absent.c_str(), copy.c_str()), 0);
    section_list list;
    probe_section section(list, "Scripts");
    const std::string command = "exec 2>> " + log + "; echo oops >&2; echo copy >> " + copy;
    list_probe script(section, "script", command.c_str(), 0);

    EXPECT_TRUE(script.run());

    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(access(absent.c_str(), F_OK), -1);
    EXPECT_TRUE(S_ISREG(mode_of(log)));
    EXPECT_EQ(mode_of(log) & 0777, 0600u);
    EXPECT_EQ(read_file(log), "oops\n");
    EXPECT_EQ(read_file(copy), "copy\n");
    EXPECT_TRUE(S_ISREG(mode_of(script_file_path(script_package_copy))));
}

TEST_F(ScriptFileTest, OwnLogKeepsGrowingButAHardLinkedOneIsReplaced) {
    const std::string log = script_file_path(script_error_log);
    const std::string copy = script_file_path(script_package_copy);
    const std::string victim = folder_.file("victim");
    write_file(log, "earlier run\n");
    write_file(victim, "precious\n");
    ASSERT_EQ(link(victim.c_str(), copy.c_str()), 0);

    EXPECT_TRUE(prepare_script_files(nullptr));

    EXPECT_EQ(read_file(log), "earlier run\n");
    EXPECT_EQ(read_file(copy), "");
    EXPECT_EQ(read_file(victim), "precious\n");
}

TEST_F(ScriptFileTest, ScriptNamingAFileThatCannotBeSecuredDoesNotRun) {
    // Not even a private folder can be made in place of the shared file.
    set_private_folder_parent(folder_.file("no-such-folder").c_str());
    const std::string log = script_file_path(script_error_log);
    ASSERT_EQ(mkdir(log.c_str(), 0700), 0);
    write_file(log + "/keep", "x");  // a non-empty folder cannot be removed
    const std::string marker = folder_.file("ran");
    section_list list;
    probe_section section(list, "Scripts");
    const std::string naming = "exec 2>> " + log + "; touch " + marker;
    list_probe script(section, "script", naming.c_str(), 0);
    list_probe plain(section, "plain", "echo fine", 0);

    EXPECT_FALSE(script.run());
    EXPECT_EQ(access(marker.c_str(), F_OK), -1);
    EXPECT_NE(debug().find("script: shared script files are unsafe, not run\n"), std::string::npos);
    EXPECT_NE(debug().find(log + ": cannot remove: "), std::string::npos);
    EXPECT_EQ(debug().find("replaced"), std::string::npos);  // nothing was
    EXPECT_TRUE(plain.run());
}

// A file of root's is as safe as one's own: in the sticky /tmp nobody else can
// replace it, so a run by another user after a root run keeps using it.
TEST_F(ScriptFileTest, RootOwnedFileIsKeptForAnyUser) {
    if (geteuid() != 0) {
        // A root file in a folder this user cannot change: even a wrong
        // verdict could not remove it.
        for (const char* path : {"/etc/hostname", "/etc/hosts", "/etc/passwd"}) {
            struct stat info;
            if (lstat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0 || info.st_nlink != 1 ||
                access("/etc", W_OK) == 0)
                continue;
            EXPECT_TRUE(secure_script_file(path)) << path;
            EXPECT_EQ(debug().find("replaced"), std::string::npos);
            return;
        }
        GTEST_SKIP() << "no root-owned file with a single link in /etc";
    }
    // Run as root: the check runs in a child that has become another user,
    // on a root file in a sticky folder that user cannot remove it from.
    ASSERT_EQ(chmod(folder_.path().c_str(), 0711), 0);
    const std::string folder = folder_.file("sticky");
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    const std::string path = folder + "/sifterra.log";
    write_file(path, "root run\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool kept = setgid(65534) == 0 && setuid(65534) == 0 && secure_script_file(path.c_str());
        _exit(kept ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path), "root run\n");
}

// A folder planted where a shared file belongs gives the scripts files of
// their own for the rest of the run: the run still gathers everything.
TEST_F(ScriptFileTest, PlantedFolderGivesTheScriptsPrivateFiles) {
    const std::string log = script_file_path(script_error_log);
    const std::string copy = script_file_path(script_module_copy);
    ASSERT_EQ(mkdir(log.c_str(), 0777), 0);
    ASSERT_TRUE(write_file(log + "/keep", "x"));
    const std::string command = "exec 2>> " + log + "; echo oops >&2; echo table | tee " + copy;
    section_list list;
    probe_section section(list, "Device Driver Information");
    list_probe script(section, "script", command.c_str(), 0);
    const std::string tagged_script = "exec 2>> " + log + "; printf '@TABLE\\aT\\aROW\\ar\\aFIELD\\aA\\av\\a'";
    tagged_text_probe tagged(section, "modinfo", tagged_script.c_str(), 0);

    test_sections(list);

    const std::string own_log = private_script_file_path(script_error_log);
    ASSERT_FALSE(own_log.empty());
    EXPECT_NE(own_log, log);
    EXPECT_EQ(own_log.rfind(folder_.path() + "/sifterra-", 0), 0u) << own_log;
    EXPECT_EQ(own_log.substr(own_log.size() - 13), "/sifterra.log");
    struct stat info;
    ASSERT_EQ(stat(own_log.substr(0, own_log.rfind('/')).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(read_file(own_log), "oops\n");
    EXPECT_EQ(read_file(copy), "table\n");  // the usable shared file stays in use
    EXPECT_EQ(std::string(private_script_file_path(script_module_copy)), "");
    EXPECT_EQ(read_file(log + "/keep"), "x");
    EXPECT_NE(debug().find(log + ": cannot be used; the scripts write " + own_log + " instead\n"), std::string::npos)
        << debug();
    EXPECT_EQ(console(), "Device Driver Information ...... OK\n");
    EXPECT_NE(report().find("table\n"), std::string::npos);
    EXPECT_NE(report().find("Table: T\n"), std::string::npos);
}

// When not even private files can be made, the section's console line says
// FAILED: the section is not complete, and not empty by nature.
TEST_F(ScriptFileTest, ASectionMissingAScriptSaysFailed) {
    set_private_folder_parent(folder_.file("no-such-folder").c_str());
    const std::string log = script_file_path(script_error_log);
    ASSERT_EQ(mkdir(log.c_str(), 0777), 0);
    ASSERT_TRUE(write_file(log + "/keep", "x"));
    struct row {
        const char* first_command;  // a probe that does not name the shared log
        const char* console;
    };
    const row rows[] = {
        {"echo fine", "System Log ..................... FAILED\n"},
        {"exit 1", "System Log ..................... FAILED\n"},
    };
    for (const row& r : rows) {
        section_list list;
        probe_section section(list, "System Log");
        list_probe plain(section, "plain", r.first_command, 0);
        const std::string naming = "exec 2>> " + log + "; echo never";
        list_probe script(section, "messages", naming.c_str(), 0);
        const size_t before = console().size();
        test_sections(list);
        EXPECT_EQ(console().substr(before), r.console);
    }
    EXPECT_EQ(report().find("never"), std::string::npos);
}

}  // namespace
