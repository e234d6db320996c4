// The probes of today's sources beside the older ones: scripts under bash,
// probes that check their sources first, the folder probe, and the catalogue
// scripts run against fixture tools and logs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "probe_fixture.h"
#include "probes/catalogue.h"
#include "probes/checked_probe.h"
#include "probes/log_tail_probe.h"

namespace {

bool have_bash() { return access("/bin/bash", X_OK) == 0; }

void write_program(const std::string& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

std::string last_command;
FILE* remember_command(const char* command) {
    last_command = command;
    return popen("true", "r");
}

class ScriptShellTest : public ProbeTest {
protected:
    void TearDown() override {
        set_script_shell(nullptr);
        ProbeTest::TearDown();
    }
};

TEST_F(ScriptShellTest, ScriptReachesTheShellVerbatimWithItsName) {
    // A stand-in shell that prints the arguments it was given.
    const std::string shell = folder_.file("shell");
    write_program(shell, "printf '<%s>' \"$@\"\n");
    set_script_shell(shell.c_str());
    const std::string script = "echo 'quoted' \"$0\" \\a `x` $(y); it's";
    section_list list;
    probe_section section(list, "Scripts");
    list_probe script_probe(section, "s", script.c_str(), 0);

    EXPECT_TRUE(script_probe.run());
    EXPECT_EQ(report(), "\n---> FILE: s <---\n<-c><" + script + ">---> END OF FILE <---\n");

    set_command_pipe(remember_command, nullptr);
    EXPECT_TRUE(script_finds_sources("s", script.c_str()));
    EXPECT_EQ(last_command.substr(last_command.size() - 5), " test");
}

TEST_F(ScriptShellTest, WithoutTheShellTheCommandPipeRunsTheScriptItself) {
    set_script_shell(folder_.file("no-bash").c_str());
    set_command_pipe(remember_command, nullptr);
    section_list list;
    probe_section section(list, "Scripts");
    tagged_text_probe tagged(section, "t", "echo -en x", 0);
    EXPECT_FALSE(tagged.run());
    EXPECT_EQ(last_command, "echo -en x");
    script_finds_sources("t", "it's");
    EXPECT_EQ(last_command, "exec '/bin/sh' -c 'it'\\''s' test");
}

using CheckedProbeTest = ProbeTest;

TEST_F(CheckedProbeTest, ProbeTakesPartOnlyWhereItsScriptFindsItsSources) {
    const std::string source = folder_.file("source");
    const std::string script = "[ -f " + source + " ] || exit 1; [ \"$0\" = \"test\" ] && exit 0; echo ran";
    section_list list;
    probe_section section(list, "Modern");
    checked_list_probe modern(section, "modern", script.c_str(), 0);

    test_sections(list);
    EXPECT_EQ(report(), "");
    EXPECT_EQ(console(), "");
    EXPECT_EQ(debug(), "section Modern\nmodern: false\ntest_all, rc = false\n");

    write_file(source, "");
    test_sections(list);
    EXPECT_NE(report().find("\n---> FILE: modern <---\nran\n---> END OF FILE <---\n"), std::string::npos);
    EXPECT_EQ(console(), "Modern ......................... OK\n");
}

using FolderProbeTest = ProbeTest;

TEST_F(FolderProbeTest, EmbedsTheRegularFilesInNameOrder) {
    const std::string dir = folder_.file("modprobe.d");
    std::filesystem::create_directories(dir + "/sub");
    write_file(dir + "/b.conf", "options b x=1\n");
    write_file(dir + "/a.conf", "blacklist a\n");
    write_file(folder_.file("target"), "alias c d\n");
    ASSERT_EQ(symlink(folder_.file("target").c_str(), (dir + "/c.conf").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", (dir + "/dangling.conf").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);  // would block a reader
    section_list list;
    probe_section section(list, "Device Driver Information");
    folder_probe options(section, "Module Options", dir.c_str(), 2);

    ASSERT_TRUE(options.test());
    EXPECT_TRUE(options.run());
    EXPECT_EQ(report(), "\n---> FILE: " + dir + "/a.conf <---\nblacklist a\n---> END OF FILE <---\n" +
                            "\n---> FILE: " + dir + "/b.conf <---\noptions b x=1\n---> END OF FILE <---\n" +
                            "\n---> FILE: " + dir + "/c.conf <---\nalias c d\n---> END OF FILE <---\n");

    for (const std::string& empty : {folder_.file("empty"), folder_.file("absent")}) {
        std::filesystem::create_directories(folder_.file("empty/only-a-folder"));
        folder_probe none(section, "none", empty.c_str(), 2);
        EXPECT_FALSE(none.test()) << empty;
    }
}

// A machine made of fixtures: a bin folder holding the real tools the
// scripts need (and nothing else), stand-ins for rpm, dpkg-query, journalctl
// and modinfo where a test adds them, and folders for /var/log and
// /lib/modules. The catalogue scripts run there with their paths moved.
class FixtureMachine : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (!have_bash()) GTEST_SKIP() << "the scripts need /bin/bash";
        std::filesystem::create_directories(bin_);
        std::filesystem::create_directories(logs_);
        for (const char* tool : {"which", "sort", "uniq", "tee", "grep", "tail", "head", "cut", "cat", "ls",
                                 "awk", "sed", "find", "basename", "uname", "uptime"}) {
            for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
                std::string real = std::string(dir) + tool;
                if (access(real.c_str(), X_OK) == 0) {
                    symlink(real.c_str(), (bin_ + "/" + tool).c_str());
                    break;
                }
            }
        }
    }

    void fake(const char* tool, const std::string& body) { write_program(bin_ + "/" + tool, body); }

    // The script as it runs on this machine.
    std::string here(const char* script) {
        std::string s = relocated(script, "/var/log/messages", logs_ + "/messages");
        s = relocated(s, "/var/log/boot.log", logs_ + "/boot.log", " ;\"*");
        s = relocated(s, "/lib/modules/", modules_ + "/", "$");
        s = relocated(s, "/tmp/sifterra.log", script_file_path(script_error_log));
        s = relocated(s, "/tmp/modules.tmp", script_file_path(script_module_copy));
        s = relocated(s, "/tmp/packages.log", script_file_path(script_package_copy));
        s = relocated(s, "/var/log/journal/", logs_ + "/journal/", "*");
        s = relocated(s, "/run/log/journal/", logs_ + "/run-journal/", "*");
        return "PATH=" + bin_ + "; " + s;
    }

    // What one probe pass over the list adds to the report and the console.
    struct pass_result {
        std::string report, console;
    };
    pass_result pass(const section_list& list, int32_t mode = 0) {
        size_t report_before = report().size(), console_before = console().size();
        reset_report_state();
        set_output_mode(mode);
        test_sections(list);
        return {report().substr(report_before), console().substr(console_before)};
    }

    // The "Package Information" and "System Log" sections as the catalogue
    // has them; with older_only, only the probes of the older sources.
    struct log_and_packages {
        section_list list;
        probe_section packages{list, "Package Information"};
        probe_section system_log{list, "System Log"};
        std::vector<std::string> scripts;
        std::vector<std::unique_ptr<probe>> probes;
    };
    std::unique_ptr<log_and_packages> sections(bool older_only) {
        auto s = std::make_unique<log_and_packages>();
        s->scripts = {here(package_script),      here(dpkg_package_script), here(messages_script),
                      here(kernel_messages_script), here(boot_log_script), here(journal_script),
                      here(kernel_journal_script)};
        const auto& c = s->scripts;
        s->probes.push_back(std::make_unique<tagged_text_probe>(s->packages, "RPM", c[0].c_str(), 4));
        if (!older_only)
            s->probes.push_back(std::make_unique<checked_tagged_text_probe>(s->packages, "DPKG", c[1].c_str(), 4));
        s->probes.push_back(std::make_unique<list_probe>(s->system_log, "/var/log/messages", c[2].c_str(), 0));
        s->probes.push_back(std::make_unique<list_probe>(s->system_log, "Kernel messages", c[3].c_str(), 4));
        s->probes.push_back(std::make_unique<list_probe>(s->system_log, "/var/log/boot.log", c[4].c_str(), 0));
        if (!older_only) {
            s->probes.push_back(std::make_unique<checked_list_probe>(s->system_log, "journalctl -b", c[5].c_str(), 0));
            s->probes.push_back(std::make_unique<checked_list_probe>(s->system_log, "journalctl -k", c[6].c_str(), 4));
        }
        return s;
    }

    void fake_dpkg_query() {
        // Two sections, a package that is only remembered (config files), a
        // long description, a package without a section, a percent sign.
        fake("dpkg-query",
             "B=$(printf '\\a')\n"
             "printf 'install ok installed%sutils%ssed%s4.9-1%sSed Team <s@x>%sGNU stream editor%s\\n' "
             "\"$B\" \"$B\" \"$B\" \"$B\" \"$B\" \"$B\"\n"
             "printf ' sed reads the specified files,\\n modifying the input %s one installed\\n .\\n'\n"
             "printf 'deinstall ok config-files%sutils%sgone%s1.0%sX <x@x>%sremoved long ago\\n' "
             "\"$B\" \"$B\" \"$B\" \"$B\" \"$B\"\n"
             "printf 'install ok installed%sadmin%sadduser%s3.134%sAdduser Team <a@x>%sadd users, 100%% sure\\n' "
             "\"$B\" \"$B\" \"$B\" \"$B\" \"$B\"\n"
             "printf 'hold ok installed%sutils%sawk%s1.3%sAwk Team <k@x>%spattern scanning\\n' "
             "\"$B\" \"$B\" \"$B\" \"$B\" \"$B\"\n"
             "printf 'install ok installed%s%sloner%s0.1%sNobody <n@x>%sno section\\n' "
             "\"$B\" \"$B\" \"$B\" \"$B\" \"$B\"\n");
    }

    std::string bin_ = folder_.file("bin");
    std::string logs_ = folder_.file("log");
    std::string modules_ = folder_.file("modules");
};

TEST_F(FixtureMachine, OlderSourcesStillWinAndTheReportStaysAsItWas) {
    // rpm and the syslog file beside dpkg-query and the journal.
    fake("rpm",
         "if [ \"$1\" = -qa ]; then printf 'Base\\nText\\n'; exit 0; fi\n"
         "printf 'ROW\\a%s-pkg\\aFIELD\\aPackage\\a%s-pkg\\aFIELD\\aVersion\\a1-1\\a' \"$3\" \"$3\"\n");
    fake_dpkg_query();
    fake("journalctl", "echo 'Jan  1 00:00:01 host journal: hello'\n");
    write_file(logs_ + "/messages",
               "Jan  1 00:00:00 host kernel: Linux version 2.4.7\nJan  1 00:00:01 host kernel: eth0 up\n");
    write_file(logs_ + "/boot.log", "Jan  1 00:00:00 host rc: starting\n");

    auto older = sections(true);
    auto all = sections(false);
    // The XML form, so that the checksums are compared as well.
    pass_result before = pass(older->list, 4);
    pass_result after = pass(all->list, 4);

    EXPECT_EQ(before.report, after.report);
    EXPECT_EQ(before.console, after.console);
    EXPECT_NE(before.report.find("Base-pkg"), std::string::npos) << before.report;
    EXPECT_NE(before.report.find("kernel: eth0 up"), std::string::npos);
    EXPECT_EQ(after.report.find("journal: hello"), std::string::npos);
    EXPECT_EQ(after.report.find("sed"), std::string::npos);
}

TEST_F(FixtureMachine, DpkgAndTheJournalStandInWhereTheOlderSourcesAreMissing) {
    fake_dpkg_query();
    std::filesystem::create_directories(logs_ + "/journal/0123abcd");
    write_file(logs_ + "/journal/0123abcd/system.journal", "");
    fake("journalctl",
         "case \"$*\" in *-k*) echo 'Jan  1 00:00:01 host kernel: e1000 up' ;; "
         "*) echo 'Jan  1 00:00:01 host journal: hello' ;; esac\n");
    auto all = sections(false);
    pass_result result = pass(all->list);

    EXPECT_EQ(result.console, "Package Information ............ OK\nSystem Log ..................... OK\n");
    // One table per section in name order, one row per installed package.
    const std::string& r = result.report;
    size_t none = r.find("Table: (none)\n");
    size_t admin = r.find("Table: admin\n");
    size_t utils = r.find("Table: utils\n");
    ASSERT_NE(utils, std::string::npos) << r;
    EXPECT_LT(none, admin);
    EXPECT_LT(admin, utils);
    EXPECT_EQ(r.find("gone"), std::string::npos);
    EXPECT_EQ(r.find("modifying the input"), std::string::npos);
    EXPECT_NE(r.find("| awk     | 1.3     | Awk Team <k@x> |         | pattern scanning  |\n"
                     "| sed     | 4.9-1   | Sed Team <s@x> |         | GNU stream editor |\n"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("| adduser | 3.134   | Adduser Team <a@x> |         | add users, 100% sure |"), std::string::npos);
    EXPECT_EQ(count_of(r, "Table: "), 3);
    EXPECT_EQ(count_of(debug(), "row: "), 4);
    EXPECT_NE(r.find("---> FILE: journalctl -b <---\nJan  1 00:00:01 host journal: hello\n"), std::string::npos);
    EXPECT_NE(r.find("---> FILE: journalctl -k <---\nJan  1 00:00:01 host kernel: e1000 up\n"), std::string::npos);
}

// The journal scripts of -sinceN: all boots of the last N days instead of
// the last lines of the current boot.
TEST(JournalDays, ScriptsNarrowedByDays) {
    struct {
        const char* script;
        int days;
        std::vector<std::string> present, absent;
    } cases[] = {
        {journal_script, 3, {"journalctl --since=-3d --no-pager -o short -n 200000 | tail -n 200000"},
         {"-b ", "5000", "-k "}},
        {kernel_journal_script, 30, {"journalctl _TRANSPORT=kernel --since=-30d --no-pager", "-n 200000 | tail -n 200000"},
         {"-b ", "5000", "-k "}},
    };
    for (const auto& c : cases) {
        std::string narrowed = journal_script_since(c.script, c.days);
        for (const std::string& text : c.present) EXPECT_NE(narrowed.find(text), std::string::npos) << narrowed;
        for (const std::string& text : c.absent) EXPECT_EQ(narrowed.find(text), std::string::npos) << narrowed;
        EXPECT_EQ(narrowed.rfind("exec 2>> /tmp/sifterra.log; [ -f /var/log/messages ] && exit 1; ", 0), 0u);
    }
}

// A fixture journal of entries 0 to 9 days old that honours --since:
// the narrowed scripts embed only the entries of the span.
TEST_F(FixtureMachine, JournalOfTheLastDays) {
    std::filesystem::create_directories(logs_ + "/journal/0123abcd");
    write_file(logs_ + "/journal/0123abcd/system.journal", "");
    fake("journalctl",
         "days=99; kernel=no\n"
         "for a in \"$@\"; do case \"$a\" in --since=-*d) days=${a#--since=-}; days=${days%d} ;; "
         "_TRANSPORT=kernel) kernel=yes ;; esac; done\n"
         "for age in 9 8 7 6 5 4 3 2 1 0; do [ $age -lt $days ] || continue; "
         "if [ $kernel = yes ]; then echo \"kernel entry $age days old\"; else echo \"entry $age days old\"; fi; done\n");
    section_list list;
    probe_section system_log{list, "System Log"};
    std::string journal = here(journal_script_since(journal_script, 3).c_str());
    std::string kernel = here(journal_script_since(kernel_journal_script, 2).c_str());
    checked_list_probe journal_probe{system_log, "journalctl -b", journal.c_str(), 0};
    checked_list_probe kernel_probe{system_log, "journalctl -k", kernel.c_str(), 4};
    const std::string r = pass(list).report;
    EXPECT_NE(r.find("---> FILE: journalctl -b <---\nentry 2 days old\nentry 1 days old\nentry 0 days old\n---> END"),
              std::string::npos) << r;
    EXPECT_NE(r.find("---> FILE: journalctl -k <---\nkernel entry 1 days old\nkernel entry 0 days old\n---> END"),
              std::string::npos) << r;
}

// The availability tests answer from files and the shell's own lookup of
// tools: a machine without "which" still has its sources found, and
// journalctl is not asked whether there is a journal.
TEST_F(FixtureMachine, AvailabilityTestsStartNoTool) {
    std::filesystem::remove(bin_ + "/which");
    const std::string calls = folder_.file("journalctl.calls");
    fake("journalctl", "echo \"$*\" >> " + calls + "\necho 'Jan  1 00:00:01 host kernel: up'\n");
    fake_dpkg_query();
    struct row {
        const char* what;
        const char* journal_file;  // under the fixture's log folder, or none
        const char* script;
        bool available;
    };
    const row rows[] = {
        {"journal, no journal folder", nullptr, journal_script, false},
        {"kernel journal, no journal folder", nullptr, kernel_journal_script, false},
        {"journal, a file in /var/log/journal", "journal/0123abcd/system.journal", journal_script, true},
        {"kernel journal, a rotated file", "journal/0123abcd/system@1-2.journal~", kernel_journal_script, true},
        {"journal, a file in /run/log/journal", "run-journal/0123abcd/system.journal", journal_script, true},
        {"journal, an empty machine folder", "journal/0123abcd/", journal_script, false},
        {"dpkg without rpm", nullptr, dpkg_package_script, true},
    };
    for (const row& r : rows) {
        std::filesystem::remove_all(logs_ + "/journal");
        std::filesystem::remove_all(logs_ + "/run-journal");
        if (r.journal_file) {
            std::string path = logs_ + "/" + r.journal_file;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            if (path.back() != '/') write_file(path, "");
        }
        std::string script = here(r.script);
        EXPECT_EQ(script_finds_sources(r.what, script.c_str()), r.available) << r.what;
    }
    EXPECT_FALSE(std::filesystem::exists(calls)) << read_file(calls);
}

// The messages and kernel scripts of a busy log keep the newest lines up to
// their cap, after the marker line; a short log is embedded whole.
TEST_F(FixtureMachine, LogScriptsKeepTheirNewestLines) {
    std::string log = "Jan  1 00:00:00 host kernel: Linux version 6.1\n";
    for (int i = 0; i < 3000; i++) log += "Jan  1 00:00:01 host kernel: line " + std::to_string(i) + "\n";
    write_file(logs_ + "/messages", log);
    struct row {
        const char* name;
        const char* script;
        size_t cap;
        bool cut;
    };
    const row rows[] = {{"/var/log/messages", messages_script, 200, true},
                        {"Kernel messages", kernel_messages_script, 200, true},
                        {"/var/log/messages", messages_script, log.size(), false}};
    set_output_mode(0);
    for (const row& r : rows) {
        section_list list;
        probe_section section(list, "System Log");
        std::string script = here(r.script);
        log_tail_probe probe(section, r.name, script.c_str(), 0, r.cap);
        size_t before = report().size();
        EXPECT_TRUE(probe.run()) << r.name;
        std::string embedded = report().substr(before);
        const std::string head = "\n---> FILE: " + std::string(r.name) + " <---\n";
        const std::string tail = "kernel: line 2999\n---> END OF FILE <---\n";
        ASSERT_EQ(embedded.compare(0, head.size(), head), 0) << embedded;
        EXPECT_EQ(embedded.compare(embedded.size() - tail.size(), tail.size(), tail), 0) << embedded;
        if (r.cut) {
            const std::string marker = cut_marker_before(r.cap) + "Jan  1 00:00:01 host kernel: line 29";
            EXPECT_EQ(embedded.compare(head.size(), marker.size(), marker), 0) << embedded;
            EXPECT_LE(embedded.size(), head.size() + cut_marker_before(r.cap).size() + r.cap + 24);
        } else {
            EXPECT_EQ(embedded, head + log + "---> END OF FILE <---\n");
        }
    }
}

TEST_F(FixtureMachine, PackageSectionWithoutAnyTableIsNotFound) {
    auto all = sections(false);
    EXPECT_EQ(pass(all->list).console, "Package Information ............ Not Found\nSystem Log ..................... Not Found\n");
}

TEST_F(FixtureMachine, ModuleScriptListsOldAndNewModuleFiles) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    const std::string base = modules_ + "/" + names.release;
    std::filesystem::create_directories(base + "/kernel/net");
    std::filesystem::create_directories(base + "/misc");
    std::filesystem::create_directories(base + "/empty");
    for (const char* file : {"kernel/net/e1000.ko.xz", "kernel/net/8139too.ko", "kernel/net/notes.txt", "misc/old.o"})
        write_file(base + "/" + file, "");
    // The old tool fills its format; today's prints "field: value" lines.
    fake("modinfo",
         "if [ \"$2\" = --format ]; then printf '%b' \"$(printf '%s' \"$3\" | sed -e 's/%{kernel_version}/2.4.7/' "
         "-e 's/%{author}/<none>/' -e 's/%{license}/GPL/' -e 's/%{description}/Old one/')\"; exit 0; fi\n"
         "for f in \"$@\"; do\n"
         "printf 'filename:       %s\\nauthor:         Ann\\nauthor:         Bob\\nlicense:        GPL v2\\n' \"$f\"\n"
         "printf 'description:    Driver for %s\\nparm:           debug:level (int)\\n' \"${f##*/}\"\n"
         "printf 'vermagic:       6.1.0-test SMP mod_unload \\nsignature:      AB:CD:\\n\\t\\tEF:01\\n'\n"
         "done\n");
    std::string script = here(module_script);
    FILE* pipe = open_script(script.c_str());
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    pclose(pipe);

    // Tables by name (their order is the file system's).
    std::map<std::string, std::string> tables;
    for (size_t at = out.find("@TABLE\a"); at != std::string::npos;) {
        size_t next = out.find("@TABLE\a", at + 1);
        std::string table = out.substr(at + 7, next == std::string::npos ? std::string::npos : next - at - 7);
        size_t name_end = table.find('\a');
        tables[table.substr(0, name_end)] = table.substr(name_end + 1);
        at = next;
    }
    auto row = [](const std::string& name, const char* version, const char* author, const char* license,
                  const std::string& description) {
        return "ROW\a" + name + "\aFIELD\aModule\a" + name + "\aFIELD\aVersion\a" + version + "\aFIELD\aAuthor\a" +
               author + "\aFIELD\aLicense\a" + license + "\aFIELD\aDescription\a" + description + "\a";
    };
    std::map<std::string, std::string> expected = {
        {"kernel/net", row("8139too.ko", "6.1.0-test", "Ann, Bob", "GPL v2", "Driver for 8139too.ko") +
                           row("e1000.ko.xz", "6.1.0-test", "Ann, Bob", "GPL v2", "Driver for e1000.ko.xz")},
        {"misc", row("old.o", "2.4.7", "", "GPL", "Old one")},
    };
    EXPECT_EQ(tables, expected) << out;
    EXPECT_EQ(read_file(script_file_path(script_module_copy)), out);
}

}  // namespace
