// Runs the built sifterra program in private folders and checks its console
// output, exit code and the files it leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "report/report_check.h"
#include "support/temp_dir.h"

namespace {

struct program_run {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// True when this machine lets an unprivileged process mount in a user
// namespace of its own; the runs below then give the program a private /tmp,
// since its scripts append to fixed names there.
bool private_tmp_available() {
    static const bool available = std::system("unshare -Urm bash -c true >/dev/null 2>&1") == 0;
    return available;
}

// How the program is started, beyond its arguments.
struct run_setup {
    std::string input;              // standard input text
    std::string prefix;             // shell commands run first, in the program's own shell (no single quotes)
    std::string pipe_into;          // a command that reads standard output instead of a file
    bool closed_in_and_out = false; // started with standard input and output closed
    int disk_kb = 0;                // a working folder of this size (needs the private namespace)
};

run_setup with_input(const std::string& text) {
    run_setup setup;
    setup.input = text;
    return setup;
}

run_setup with_prefix(const std::string& commands) {
    run_setup setup;
    setup.prefix = commands;
    return setup;
}

// Runs the program in dir with the given arguments (without single quotes).
program_run run_sifterra(const temp_dir& dir, const std::string& args, const run_setup& setup = {}) {
    for (const char* folder : {"work", "io", "tmp", "saved"}) std::filesystem::create_directories(dir.file(folder));
    std::string io = dir.file("io");
    write_file(io + "/stdin", setup.input);
    std::string program = setup.prefix + "exec " SIFTERRA_BINARY " " + args;
    if (private_tmp_available()) {
        // The program is opened before /tmp is covered, since the build
        // folder itself may lie under /tmp; it keeps its name as argument 0.
        std::string start = "exec 3<" SIFTERRA_BINARY " && ";
        std::string run = "exec -a " SIFTERRA_BINARY " /proc/self/fd/3 " + args;
        if (setup.disk_kb > 0) {
            // A small file system as the working folder; what it holds at the
            // end is copied out before the namespace goes away.
            start += "mount -t tmpfs -o size=" + std::to_string(setup.disk_kb) + "k tmpfs \"$PWD\" && cd \"$PWD\" && ";
            run = "(" + run + "); rc=$?; cp -a . ../saved/; exit $rc";
        }
        start += "mount --bind ../tmp /tmp && ";
        program = "unshare -Urm bash -c '" + start + setup.prefix + run + "'";
    }
    std::string in = " <'" + io + "/stdin'";
    std::string out = " >'" + io + "/stdout'";
    std::string err = " 2>'" + io + "/stderr'";
    std::string command;
    if (!setup.pipe_into.empty())
        command = "(" + program + in + err + "; echo $? >'" + io + "/rc') | " + setup.pipe_into + out;
    else if (setup.closed_in_and_out)
        command = program + " <&- >&-" + err;
    else
        command = program + in + out + err;
    int status = std::system(("cd '" + dir.file("work") + "' && " + command).c_str());
    program_run run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!setup.pipe_into.empty()) run.exit_code = std::atoi(read_file(io + "/rc").c_str());
    run.out = read_file(io + "/stdout");
    run.err = read_file(io + "/stderr");
    return run;
}

std::set<std::string> files_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

// Runs kdtool; its standard output goes to io/kdtool.
int kdtool(const temp_dir& dir, const std::string& args) {
    std::string command = SIFTERRA_KDTOOL " " + args + " >'" + dir.file("io/kdtool") + "' 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string banner = "\nVarnholt Technical Support Information Sifterra\n";

TEST(EndToEnd, BatchRunPrintsProgressAndLeavesOnlyTheContainer) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.rfind(banner, 0), 0u);
    EXPECT_NE(run.out.find("\nVersion 2.00 (Internal use Only) \n\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nBasic Info ..................... OK\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nTime Zone Info ................. OK\n"), std::string::npos);
    // Without a readable /dev/mem (any test run but one as root on real
    // firmware) the SMBIOS section fails and the run goes on.
    const std::string smbios = "\nSMBIOS Info .................... ";
    EXPECT_TRUE(run.out.find(smbios + "Failed\n") != std::string::npos ||
                run.out.find(smbios + "OK\n") != std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nService Processor Info ......... Not Found\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nPCI Devices .................... OK\n"), std::string::npos);  // the summary
    EXPECT_EQ(run.out.find("Expansion ROM Listing"), std::string::npos);  // text modes only
    EXPECT_NE(run.out.find("\nRunning Processes .............. OK\n"), std::string::npos);
    EXPECT_EQ(run.err, "");

    std::set<std::string> files = files_in(dir.file("work"));
    ASSERT_EQ(files.size(), 1u) << run.out;
    const std::string name = *files.begin();
    EXPECT_NE(run.out.find("\nDone. Information is stored in " + name + "\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(name.substr(name.size() - 4), ".KD2");
    EXPECT_NE(run.out.find("\nCompressing Info ............... OK\n"), std::string::npos);
    if (private_tmp_available()) {
        EXPECT_TRUE(std::filesystem::exists(dir.file("tmp/sifterra.log")));
    }
}

// Ignored arguments are named on standard error before the disclaimer,
// and the run goes on as it would without them; -silent says nothing.
TEST(EndToEnd, IgnoredArgumentsAreNamedBeforeTheDisclaimer) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-level 2 -levle2 -skipsmbois", with_input("n\n"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err.rfind("sifterra: ignored \"-level\": the level is one digit 0 to 5 right after -level (as in "
                            "-level2)\nsifterra: ignored \"2\": not an option\n"
                            "sifterra: ignored \"-levle2\": not an option; did you mean -level?\n"
                            "sifterra: ignored \"smbois\" in -skip: no section of that name (-list names them)\n\n"
                            "Sorry",
                            0),
              0u)
        << run.err;
    EXPECT_NE(run.out.find("DISCLAIMER"), std::string::npos);

    temp_dir quiet;
    run = run_sifterra(quiet, "-level9 -silent -filename -Batch");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(files_in(quiet.file("work")), (std::set<std::string>{"Unknown-Unknown-Unknown.KD2"}));
}

TEST(EndToEnd, ListShowsEverySectionAndStops) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-LIST -batch");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("summary       SYSTEM SUMMARY                 always  ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\ntimesync      Time Sync                      3       "), std::string::npos);
    EXPECT_TRUE(files_in(dir.file("work")).empty());
}

// Counts of each top-level section of a report, by its ID.
std::map<std::string, int> section_counts(const std::string& document) {
    std::map<std::string, int> counts;
    const std::string open = "\n<SECTION ID=\"";
    for (size_t at = document.find(open); at != std::string::npos; at = document.find(open, at + 1)) {
        size_t start = at + open.size();
        ++counts[document.substr(start, document.find('"', start) - start)];
    }
    return counts;
}

// -skip of each section as -list names it: that section is gone from the
// report (one of two of the same title), every other one stays, and the
// case id lands in the summary and the name.
TEST(EndToEnd, SkipLeavesOutEachSectionAndNothingElse) {
    temp_dir dir;
    program_run list = run_sifterra(dir, "-list");
    std::vector<std::pair<std::string, std::string>> sections;  // short name, title
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        std::string title = line.substr(14, 30);
        title.erase(title.find_last_not_of(' ') + 1);
        sections.push_back({line.substr(0, line.find(' ')), title});
    }
    ASSERT_GE(sections.size(), 20u) << list.out;
    auto report_of = [&](const std::string& args, const std::string& name) {
        temp_dir run_dir;
        program_run run = run_sifterra(run_dir, "-batch -filenamebox TulipMarch " + args);
        EXPECT_EQ(run.exit_code, 0) << name << run.err;
        return read_file(run_dir.file("work/box.XML"));
    };
    const std::string whole = report_of("", "whole");
    std::map<std::string, int> all = section_counts(whole);
    ASSERT_GE(all.size(), 5u) << whole.substr(0, 500);
    for (const auto& [name, title] : sections) {
        if (name == "summary") continue;
        std::map<std::string, int> expected = all;
        if (expected.count(title) && --expected[title] == 0) expected.erase(title);
        const std::string document = report_of("-skip" + name + " -caseT-" + name, name);
        EXPECT_EQ(section_counts(document), expected) << name;
        EXPECT_NE(document.find(">T-" + name + "</STR>"), std::string::npos) << name;
    }
}

TEST(EndToEnd, SilentRunPrintsNothing) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -silent");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST(EndToEnd, PlainCopyIsWellFormedAndEveryChecksumMatches) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -filenamebox-@@V TulipMarch");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("\nDone. Information is stored in box-V.XML\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(files_in(dir.file("work")), (std::set<std::string>{"box-V.KD2", "box-V.XML"}));

    std::string document = read_file(dir.file("work/box-V.XML"));
    report_check_result check = check_report(document);
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_GE(check.sections, 2);
    EXPECT_GE(check.files, 1);
    EXPECT_NE(document.find("<SECTION ID=\"SYSTEM SUMMARY\">"), std::string::npos);
    EXPECT_NE(document.find("<SECTION ID=\"PCI DEVICES\">\n<TABLE ID=\"PCI Device Summary\">"), std::string::npos);
    EXPECT_NE(document.find("<SIFTERRA_VERSION>2.00 (Internal use Only)</SIFTERRA_VERSION>"), std::string::npos);

    // The support side's reader accepts the container and gives the report back.
    std::string container = dir.file("work/box-V.KD2");
    EXPECT_EQ(kdtool(dir, "verify '" + container + "'"), 0);
    EXPECT_NE(read_file(dir.file("io/kdtool")).find("sections and the document checksum match\n"), std::string::npos);
    EXPECT_EQ(kdtool(dir, "list '" + container + "'"), 0);
    std::string listing = read_file(dir.file("io/kdtool"));
    EXPECT_NE(listing.find("\n    0   16        yes         76"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n    1   15        yes"), std::string::npos) << listing;
    std::string extracted = dir.file("io/extracted");
    EXPECT_EQ(kdtool(dir, "extract '" + container + "' 15 -o '" + extracted + "'"), 0);
    EXPECT_EQ(read_file(extracted), document);

    if (std::system("command -v xmllint >/dev/null 2>&1") == 0) {
        std::string lint = "xmllint --noout '" + dir.file("work/box-V.XML") + "' 2>/dev/null";
        EXPECT_EQ(std::system(lint.c_str()), 0);
    }
}

TEST(EndToEnd, CleanRunPacksTheCleanedReportAndKeepsAPrivateMap) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -clean TulipMarch -filename@H-box");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("\nCleaning Info .................. OK\nCompressing Info ............... OK\n"),
              std::string::npos) << run.out;
    std::set<std::string> files = files_in(dir.file("work"));
    ASSERT_EQ(files.size(), 3u) << run.out;
    std::string base = files.begin()->substr(0, files.begin()->rfind('.'));
    EXPECT_EQ(files, (std::set<std::string>{base + ".KD2", base + ".XML", base + ".map"}));
    EXPECT_NE(run.out.find("their map is " + base + ".map: keep it private.\n\nDone. Information is stored in " +
                           base + ".XML\n\n"),
              std::string::npos) << run.out;
    struct stat map;
    ASSERT_EQ(stat(dir.file("work/" + base + ".map").c_str(), &map), 0);
    EXPECT_EQ(map.st_mode & 0777, 0600u);

    // The machine's own name is neither in the result's name nor in the
    // summary; the kept copy is the packed one, and both verify.
    char host[256] = "";
    gethostname(host, sizeof host);
    std::string document = read_file(dir.file("work/" + base + ".XML"));
    if (std::string(host) != "localhost" && std::string(host) != "(none)" && host[0]) {
        EXPECT_NE(base, std::string(host) + "-box");
        EXPECT_EQ(document.find(">" + std::string(host) + "</STR>"), std::string::npos);
    }
    EXPECT_TRUE(check_report(document).ok);
    std::string container = dir.file("work/" + base + ".KD2");
    EXPECT_EQ(kdtool(dir, "verify '" + container + "'"), 0);
    std::string extracted = dir.file("io/extracted");
    EXPECT_EQ(kdtool(dir, "extract '" + container + "' 15 -o '" + extracted + "'"), 0);
    EXPECT_EQ(read_file(extracted), document);
}

// Everything a run leaves is its owner's alone, whatever the umask: the
// kept copy is the temporary report itself, renamed.
TEST(EndToEnd, ResultFilesAreReadableByTheirOwnerOnly) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -debug TulipMarch -filenamebox", with_prefix("umask 000 && "));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::set<std::string> files = files_in(dir.file("work"));
    EXPECT_EQ(files, (std::set<std::string>{"box.KD2", "box.XML", "keldran.log"}));
    for (const std::string& name : files) {
        struct stat info;
        ASSERT_EQ(stat(dir.file("work/" + name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
}

// A run ended by SIGTERM, SIGINT or SIGHUP leaves no partial report behind.
// The run waits at its first question (-step, with no answer yet), when the
// temporary report already holds the system summary.
TEST(EndToEnd, SignalsRemoveThePartialReport) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        temp_dir dir;
        int answers[2];
        ASSERT_EQ(pipe(answers), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(answers[0], 0);
            close(answers[1]);
            int out = open("/dev/null", O_WRONLY);
            dup2(out, 1);
            signal(SIGINT, SIG_DFL);
            signal(SIGHUP, SIG_DFL);
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            execl(SIFTERRA_BINARY, SIFTERRA_BINARY, "-batch", "-step", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(answers[0]);
        bool started = false;
        for (int i = 0; i < 1000 && !started; ++i) {
            for (const std::string& name : files_in(dir.path()))
                if (name.rfind("keldr", 0) == 0) started = true;
            if (!started) usleep(5000);
        }
        EXPECT_TRUE(started);
        usleep(50000);  // the summary is being written
        ASSERT_EQ(kill(child, signal_number), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(answers[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << strsignal(signal_number);
        EXPECT_TRUE(files_in(dir.path()).empty()) << strsignal(signal_number);
    }
}

// A folder planted at the scripts' shared log in /tmp does not make sections
// vanish: the scripts get files of the run's own, and the debug log says so.
TEST(EndToEnd, PlantedFolderAtTheSharedLogGivesTheScriptsTheirOwnFiles) {
    if (!private_tmp_available()) GTEST_SKIP() << "no user and mount namespaces for a private /tmp";
    temp_dir plain, planted;
    program_run expected = run_sifterra(plain, "-batch");
    std::filesystem::create_directories(planted.file("tmp/sifterra.log"));
    ASSERT_TRUE(write_file(planted.file("tmp/sifterra.log/keep"), "x"));
    program_run run = run_sifterra(planted, "-batch -debug");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    // The same sections with the same status lines as a run without it.
    auto section_lines = [](const std::string& out) {
        std::string lines;
        for (size_t at = 0; at < out.size();) {
            size_t end = out.find('\n', at);
            if (end == std::string::npos) end = out.size();
            std::string line = out.substr(at, end - at);
            if (line.find(" ...") != std::string::npos) lines += line + "\n";
            at = end + 1;
        }
        return lines;
    };
    EXPECT_EQ(section_lines(run.out), section_lines(expected.out));
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos) << run.out;
    const std::string log = read_file(planted.file("work/keldran.log"));
    EXPECT_NE(log.find("/tmp/sifterra.log: cannot be used; the scripts write /tmp/sifterra-"), std::string::npos) << log;
    EXPECT_EQ(read_file(planted.file("tmp/sifterra.log/keep")), "x");
}

// A report that cannot be cleaned is not packed: nothing uncleaned leaves
// by mistake, and the report stays on the machine as the plain copy.
TEST(EndToEnd, ACleaningThatFailsPacksNothing) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -clean -filenamebox", with_prefix("mkdir box.map && "));
    EXPECT_EQ(run.exit_code, 3) << run.err;
    EXPECT_NE(run.out.find("\nCleaning Info .................. ERROR -11\n\nDone. Information is stored in box.XML\n"),
              std::string::npos) << run.out;
    EXPECT_EQ(files_in(dir.file("work")), (std::set<std::string>{"box.XML", "box.map"}));
    EXPECT_TRUE(check_report(read_file(dir.file("work/box.XML"))).ok);
}

TEST(EndToEnd, HelpPrintsUsageAndCreatesOnlyTheDebugLog) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -HELP");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Usage: " SIFTERRA_BINARY " [-help] | [-batch] | [-silent]\n\n"), std::string::npos);
    EXPECT_TRUE(files_in(dir.file("work")).empty());

    temp_dir logged;
    run = run_sifterra(logged, "-debug -help");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(files_in(logged.file("work")), std::set<std::string>{"keldran.log"});
}

TEST(EndToEnd, RefusedDisclaimerExitsOne) {
    for (const char* answer : {"n\n", "\n", "", " y\n"}) {
        temp_dir dir;
        program_run run = run_sifterra(dir, "", with_input(answer));
        EXPECT_EQ(run.exit_code, 1) << answer;
        EXPECT_NE(run.out.find("DISCLAIMER"), std::string::npos);
        EXPECT_EQ(run.err, "\nSorry, this software only works if you agree with the above terms.\n");
        EXPECT_TRUE(files_in(dir.file("work")).empty());
    }
}

TEST(EndToEnd, AgreedRunWritesToStandardError) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-level0", with_input("Yes\n"));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.out.find("Do you agree with the above terms ? [y/n] ... "), std::string::npos);
    EXPECT_NE(run.err.find("Basic Info ..................... OK\n"), std::string::npos);
    EXPECT_EQ(run.err.find("Time Zone Info"), std::string::npos);  // level 2 is above 0
    EXPECT_EQ(run.err.find("SMBIOS Info"), std::string::npos);     // and so is level 1
    EXPECT_EQ(run.err.find("Service Processor Info"), std::string::npos);
    EXPECT_EQ(run.err.find("PCI Devices ..."), std::string::npos);  // level 3
    EXPECT_EQ(run.err.find("CPU Information"), std::string::npos);
    EXPECT_NE(run.err.find("\nRunning Processes .............. OK\n"), std::string::npos);
    EXPECT_NE(run.err.find("\nDone. Information is stored in "), std::string::npos);
}

TEST(EndToEnd, UncreatableTemporaryReportExitsTwo) {
    temp_dir dir;
    // A folder standing where the temporary report must go makes its creation
    // fail even for root; the shell's process id becomes the program's.
    // Folders stand under every name the run may take.
    program_run run = run_sifterra(
        dir, "-batch",
        with_prefix("p=keldr$(printf %x $$) && mkdir $p.tmp $p-1.tmp $p-2.tmp $p-3.tmp $p-4.tmp $p-5.tmp $p-6.tmp $p-7.tmp && "));
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.out.find("ERROR: Cannot create temp file. Is the disk full ?\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(files_in(dir.file("work")).size(), 8u);  // only the folders made above
}

// A folder that another user planted under the predictable temporary name
// (and filled, so that it cannot be removed) does not stop the run: the
// report takes another name, and the folder stays as it was.
TEST(EndToEnd, PlantedFolderAtTheTemporaryNameIsPassedBy) {
    temp_dir dir;
    program_run run = run_sifterra(
        dir, "-batch -debug -clean -filenamebox",
        with_prefix("p=keldr$(printf %x $$) && mkdir $p.tmp $p.cln && touch $p.tmp/keep $p.cln/keep && "));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    std::set<std::string> files = files_in(dir.file("work"));
    EXPECT_EQ(files.size(), 5u) << run.out;  // the two folders, container, map, log
    EXPECT_EQ(files.count("box.KD2"), 1u);
    EXPECT_NE(run.out.find("\nCompressing Info ............... OK\n"), std::string::npos) << run.out;
    const std::string log = read_file(dir.file("work/keldran.log"));
    EXPECT_NE(log.find(".tmp: cannot be used; keldr"), std::string::npos) << log;
    EXPECT_NE(log.find(".cln: cannot be used; keldr"), std::string::npos) << log;
    for (const std::string& name : files) {
        if (std::filesystem::is_directory(dir.file("work/" + name))) {
            EXPECT_TRUE(std::filesystem::exists(dir.file("work/" + name + "/keep"))) << name;
        }
    }
}

TEST(EndToEnd, StepAsksBeforeEachFixedSection) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -step -level2", with_input("n\n"));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.out.find("Run Time Zone Info?: Skipping: Time Zone Info\nRun SMBIOS Info?: Skipping: SMBIOS Info\n"),
              std::string::npos)
        << run.out;
}

// Shell commands that plant something with `how` under every name the
// program writes in its folder: the container and its sealing file, the
// temporary report, the plain copy, the debug log, the version record file
// and the names the item's temporary file may take in the next 45 seconds.
const std::string item_temporary_names =
    "$(now=$(date +%s); for i in $(seq 0 45); do printf \"%X.tmp \" $((now + i)); done)";

std::string plant_everywhere(const std::string& how) {
    return "for n in box.KD2 box.KD2.tmp keldr$(printf %x $$).tmp box.XML keldran.log KDLIC.TMP " +
           item_temporary_names + "; do " + how + " \"$n\" || exit 9; done && ";
}

bool is_plain_file(const std::string& path) {
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path));
}

TEST(EndToEnd, PlantedLinksNeverRedirectAWrite) {
    for (const char* how : {"ln -s ../victim", "ln -s ../absent", "ln ../victim"}) {
        temp_dir dir;
        write_file(dir.file("victim"), "precious\n");
        program_run run = run_sifterra(dir, "-batch -filenamebox TulipMarch -debug", with_prefix(plant_everywhere(how)));
        EXPECT_EQ(run.exit_code, 0) << how << "\n" << run.out << run.err;
        EXPECT_EQ(read_file(dir.file("victim")), "precious\n") << how;
        EXPECT_FALSE(std::filesystem::exists(dir.file("absent"))) << how;
        EXPECT_NE(run.out.find("\nDone. Information is stored in box.XML\n\n"), std::string::npos) << how;
        for (const char* name : {"box.KD2", "box.XML", "keldran.log"})
            EXPECT_TRUE(is_plain_file(dir.file("work/") + name)) << how << " " << name;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("work/KDLIC.TMP")))) << how;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("work/box.KD2.tmp")))) << how;
        EXPECT_EQ(read_file(dir.file("work/keldran.log")).rfind("Sifterra version 2.00", 0), 0u) << how;
        report_check_result check = check_report(read_file(dir.file("work/box.XML")));
        EXPECT_TRUE(check.ok) << how << ": " << check.error;
        EXPECT_EQ(kdtool(dir, "verify '" + dir.file("work/box.KD2") + "'"), 0) << how << read_file(dir.file("io/kdtool"));
    }
}

// The file that holds the report after a run: the named one, or the
// temporary report when that is all there is.
std::string report_holder(const temp_dir& dir, const std::string& named) {
    if (is_plain_file(dir.file("work/" + named))) return named;
    for (const std::string& name : files_in(dir.file("work")))
        if (name.rfind("keldr", 0) == 0 && is_plain_file(dir.file("work/" + name))) return name;
    return "";
}

// A folder standing under a name: packing that fails keeps the report as the
// plain copy (exit 3); a plain copy that cannot be made leaves the report
// under its temporary name; the final message names where the report is.
TEST(EndToEnd, FolderInTheWayKeepsTheReportAndSaysWhere) {
    struct {
        const char* what;
        std::string folders;
        const char* args;
        int exit_code;
        const char* console;
        const char* holder;
    } cases[] = {
        {"container", "box.KD2", "-batch -filenamebox", 3, "Compressing Info ............... ERROR -3\n", "box.XML"},
        {"sealing file", "box.KD2.tmp", "-batch -filenamebox", 3, "Compressing Info ............... ERROR -4\n", "box.XML"},
        {"version record file", "KDLIC.TMP", "-batch -filenamebox", 3, "Compressing Info ............... ERROR -4\n", "box.XML"},
        {"item temporary files", item_temporary_names, "-batch -filenamebox", 3, "Compressing Info ............... ERROR -3\n", "box.XML"},
        {"plain copy", "box.XML", "-batch -filenamebox TulipMarch", 0, "Compressing Info ............... OK\nERROR: Cannot rename keldr", "keldr"},
        {"debug log", "keldran.log", "-batch -debug -filenamebox", 0, "Compressing Info ............... OK\n", ""},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        program_run run = run_sifterra(dir, c.args, with_prefix("for n in " + c.folders + "; do mkdir -p \"$n/inside\"; done && "));
        EXPECT_EQ(run.exit_code, c.exit_code) << c.what << "\n" << run.out;
        EXPECT_NE(run.out.find(c.console), std::string::npos) << c.what << "\n" << run.out;
        std::string holder = *c.holder ? report_holder(dir, c.holder) : std::string();
        if (*c.holder) {
            ASSERT_FALSE(holder.empty()) << c.what;
            EXPECT_NE(run.out.find("\nDone. Information is stored in " + holder + "\n\n"), std::string::npos) << c.what;
            report_check_result check = check_report(read_file(dir.file("work/" + holder)));
            EXPECT_TRUE(check.ok) << c.what << ": " << check.error;
        }
        if (c.exit_code == 3) {
            EXPECT_FALSE(is_plain_file(dir.file("work/box.KD2"))) << c.what;
        } else {
            EXPECT_EQ(kdtool(dir, "verify '" + dir.file("work/box.KD2") + "'"), 0) << c.what;
        }
        for (const std::string& name : files_in(dir.file("work")))
            EXPECT_FALSE(name.size() > 8 && name.substr(name.size() - 8) == ".KD2.tmp" && is_plain_file(dir.file("work/" + name)))
                << c.what;
    }
}

// A file size limit stands in for a disk that fills while the report is
// written: the run goes on, the report is not packed as if complete, and
// what was written is kept as the plain copy.
TEST(EndToEnd, ReportThatCannotBeWrittenIsKeptNotPacked) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -filenamebox", with_prefix("ulimit -f 16 && "));
    EXPECT_EQ(run.exit_code, 3) << run.out << run.err;
    // Its own code: not the container's -6 for a write that failed.
    EXPECT_NE(run.out.find("Compressing Info ............... ERROR -12\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nDone. Information is stored in box.XML\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(files_in(dir.file("work")), std::set<std::string>{"box.XML"});
    EXPECT_EQ(read_file(dir.file("work/box.XML")).rfind("<?xml version=\"1.0\"", 0), 0u);
}

// A small file system for the working folder, filled at every stage of the
// run: afterwards there is either a container that verifies (exit 0) or the
// report as the plain copy (exit 3), never both and never neither (except
// exit 2, when not even the temporary report could be made).
TEST(EndToEnd, FullDiskAtAnyPointLeavesAVerifiedContainerOrThePlainCopy) {
    if (!private_tmp_available()) GTEST_SKIP() << "no user and mount namespaces for a small file system";
    // One run with room to spare gives the sizes to aim at. The runs stay at
    // level 1 so that the sweep over sizes stays short: the packing path is
    // the same for a small report as for a large one.
    temp_dir roomy;
    program_run first = run_sifterra(roomy, "-batch -level1 TulipMarch -filenamebox", [] {
        run_setup setup;
        setup.disk_kb = 4096;
        return setup;
    }());
    ASSERT_EQ(first.exit_code, 0) << first.out;
    const size_t report_kb = std::filesystem::file_size(roomy.file("saved/box.XML")) / 1024;
    const size_t container_kb = std::filesystem::file_size(roomy.file("saved/box.KD2")) / 1024;
    std::vector<size_t> sizes = {4, report_kb / 2};
    for (size_t kb = report_kb; kb <= report_kb + 2 * container_kb + 16; kb += 4) sizes.push_back(kb);

    std::set<std::string> outcomes;
    for (size_t kb : sizes) {
        temp_dir dir;
        run_setup setup;
        setup.disk_kb = static_cast<int>(kb);
        program_run run = run_sifterra(dir, "-batch -level1 -filenamebox", setup);
        std::set<std::string> left = files_in(dir.file("saved"));
        std::string where = std::to_string(kb) + " KiB:\n" + run.out;
        if (run.exit_code == 0) {
            EXPECT_EQ(left, std::set<std::string>{"box.KD2"}) << where;
            EXPECT_EQ(kdtool(dir, "verify '" + dir.file("saved/box.KD2") + "'"), 0) << where;
            outcomes.insert("container");
        } else if (run.exit_code == 3) {
            EXPECT_EQ(left, std::set<std::string>{"box.XML"}) << where;
            EXPECT_NE(run.out.find("\nDone. Information is stored in box.XML\n\n"), std::string::npos) << where;
            bool complete = check_report(read_file(dir.file("saved/box.XML"))).ok;
            outcomes.insert(complete ? "complete plain copy" : "partial plain copy");
        } else {
            EXPECT_EQ(run.exit_code, 2) << where;
            EXPECT_TRUE(left.empty()) << where;
        }
    }
    EXPECT_EQ(outcomes, (std::set<std::string>{"container", "complete plain copy", "partial plain copy"}));
}

TEST(EndToEnd, VanishedConsoleDoesNotEndTheRun) {
    temp_dir dir;
    run_setup setup;
    setup.pipe_into = "head -c 1";
    program_run run = run_sifterra(dir, "-batch -filenamebox", setup);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "\n");
    EXPECT_EQ(files_in(dir.file("work")), std::set<std::string>{"box.KD2"});
}

TEST(EndToEnd, ClosedStandardInputAndOutputStayOutOfTheReport) {
    temp_dir dir;
    run_setup setup;
    setup.closed_in_and_out = true;
    program_run run = run_sifterra(dir, "-batch -filenamebox TulipMarch", setup);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(files_in(dir.file("work")), (std::set<std::string>{"box.KD2", "box.XML"}));
    std::string document = read_file(dir.file("work/box.XML"));
    EXPECT_EQ(document.find("Basic Info"), std::string::npos);
    report_check_result check = check_report(document);
    EXPECT_TRUE(check.ok) << check.error;
}

}  // namespace
