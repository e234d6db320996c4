// Runs the built sifterra program in private folders and checks its console
// output, exit code and the files it leaves.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <set>

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

// Runs the program in dir with the given arguments (without single quotes)
// and standard input text; shell_prefix runs first in the same shell.
program_run run_sifterra(const temp_dir& dir, const std::string& args, const std::string& input = "",
                         const std::string& shell_prefix = "") {
    for (const char* folder : {"work", "io", "tmp"}) std::filesystem::create_directories(dir.file(folder));
    std::string io = dir.file("io");
    write_file(io + "/stdin", input);
    std::string program = shell_prefix + "exec " SIFTERRA_BINARY " " + args;
    if (private_tmp_available()) {
        // The program is opened before /tmp is covered, since the build
        // folder itself may lie under /tmp; it keeps its name as argument 0.
        program = "unshare -Urm bash -c 'exec 3<" SIFTERRA_BINARY " && mount --bind ../tmp /tmp && " + shell_prefix +
                  "exec -a " SIFTERRA_BINARY " /proc/self/fd/3 " + args + "'";
    }
    std::string command = "cd '" + dir.file("work") + "' && " + program + " <'" + io + "/stdin' >'" + io +
                          "/stdout' 2>'" + io + "/stderr'";
    int status = std::system(command.c_str());
    program_run run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(io + "/stdout");
    run.err = read_file(io + "/stderr");
    return run;
}

std::set<std::string> files_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
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
    std::string kdtool = std::string(SIFTERRA_KDTOOL) + " ";
    std::string container = "'" + dir.file("work/box-V.KD2") + "'";
    EXPECT_EQ(std::system((kdtool + "verify " + container + " >/dev/null").c_str()), 0);
    std::string extracted = dir.file("io/extracted");
    EXPECT_EQ(std::system((kdtool + "extract " + container + " -o '" + extracted + "'").c_str()), 0);
    EXPECT_EQ(read_file(extracted), document);

    if (std::system("command -v xmllint >/dev/null 2>&1") == 0) {
        std::string lint = "xmllint --noout '" + dir.file("work/box-V.XML") + "' 2>/dev/null";
        EXPECT_EQ(std::system(lint.c_str()), 0);
    }
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
        program_run run = run_sifterra(dir, "", answer);
        EXPECT_EQ(run.exit_code, 1) << answer;
        EXPECT_NE(run.out.find("DISCLAIMER"), std::string::npos);
        EXPECT_EQ(run.err, "\nSorry, this software only works if you agree with the above terms.\n");
        EXPECT_TRUE(files_in(dir.file("work")).empty());
    }
}

TEST(EndToEnd, AgreedRunWritesToStandardError) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-level0", "Yes\n");
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
    program_run run = run_sifterra(dir, "-batch", "", "mkdir keldr$(printf %x $$).tmp && ");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.out.find("ERROR: Cannot create temp file. Is the disk full ?\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(files_in(dir.file("work")).size(), 1u);  // only the folder made above
}

TEST(EndToEnd, StepAsksBeforeEachFixedSection) {
    temp_dir dir;
    program_run run = run_sifterra(dir, "-batch -step -level2", "n\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.out.find("Run Time Zone Info?: Skipping: Time Zone Info\nRun SMBIOS Info?: Skipping: SMBIOS Info\n"),
              std::string::npos)
        << run.out;
}

}  // namespace
