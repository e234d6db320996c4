// Every command and script the probes start gets the fixed environment, so
// nothing the collector was started with can choose which tools run as root
// or make the shell read a file of someone else's.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "probe_fixture.h"
#include "probes/file_probe.h"
#include "system/bounded_command.h"

namespace {

// Sets environment variables for one test and puts the old values back.
class environment_override {
public:
    void set(const char* name, const std::string& value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, old ? old : "", old != nullptr});
        setenv(name, value.c_str(), 1);
    }
    ~environment_override() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->present)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }

private:
    struct saved_variable {
        std::string name, value;
        bool present;
    };
    std::vector<saved_variable> saved_;
};

// Works in another folder for one test and goes back.
class folder_change {
public:
    explicit folder_change(const std::string& folder) {
        if (getcwd(saved_, sizeof saved_) && chdir(folder.c_str()) == 0) changed_ = true;
    }
    ~folder_change() {
        if (changed_ && chdir(saved_) != 0) std::abort();
    }
    bool changed() const { return changed_; }

private:
    char saved_[4096] = "";
    bool changed_ = false;
};

using ChildEnvironmentTest = ProbeTest;

void plant_tool(const std::string& path, const std::string& marker) {
    ASSERT_TRUE(write_file(path, "#!/bin/sh\necho " + marker + "\n"));
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}


TEST_F(ChildEnvironmentTest, NothingOfTheCallersEnvironmentReachesTheChildren) {
    const std::string sourced = folder_.file("sourced");
    const std::string rc_file = folder_.file("rc");
    ASSERT_TRUE(write_file(rc_file, "touch " + sourced + "; echo SOURCED\n"));
    plant_tool(folder_.file("sifterra-planted"), "PLANTED");
    environment_override env;
    env.set("PATH", ".:" + folder_.path() + ":" + std::getenv("PATH"));
    env.set("BASH_ENV", rc_file);
    env.set("ENV", rc_file);
    env.set("IFS", "/");
    env.set("CDPATH", folder_.path());
    env.set("LD_PRELOAD", folder_.file("nothing.so"));
    env.set("LD_LIBRARY_PATH", folder_.path());
    env.set("LANG", "de_DE.UTF-8");
    env.set("SIFTERRA_SECRET", "leaked");
    folder_change planted_folder(folder_.path());
    ASSERT_TRUE(planted_folder.changed());

    section_list list;
    probe_section section(list, "Commands");
    list_probe environment(section, "environment", "env", 0);
    list_probe planted(section, "planted", "sifterra-planted; ./sifterra-planted; echo done", 0);
    list_probe bash_script(section, "bash", "echo -n bash; echo ' ran'", 0);
    EXPECT_TRUE(environment.run());
    planted.run();
    EXPECT_TRUE(bash_script.run());

    const std::string text = report();
    EXPECT_NE(text.find("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("LC_ALL=C\n"), std::string::npos);
    struct row {
        const char* absent;
    };
    const row rows[] = {{"BASH_ENV="}, {"\nENV="}, {"IFS="},      {"CDPATH="},  {"LD_PRELOAD="},
                        {"LD_LIBRARY_PATH="}, {"LANG="}, {"SIFTERRA_SECRET"}, {"PLANTED"}, {"SOURCED"}};
    for (const row& r : rows) EXPECT_EQ(text.find(r.absent), std::string::npos) << r.absent << "\n" << text;
    EXPECT_NE(text.find("done\n"), std::string::npos);
    EXPECT_NE(text.find("bash ran\n"), std::string::npos);
    EXPECT_NE(access(sourced.c_str(), F_OK), 0) << "a start-up file was read";
}

TEST_F(ChildEnvironmentTest, ChildrenStartInTheRootFolderWithNoInput) {
    section_list list;
    probe_section section(list, "Commands");
    list_probe where(section, "where", "pwd; cat; echo end", 0);
    EXPECT_TRUE(where.run());
    EXPECT_NE(report().find("<---\n/\nend\n"), std::string::npos) << report();
}

TEST_F(ChildEnvironmentTest, ErrorLinesOfCommandsGoToTheDebugLogFile) {
    // With a log file, what a command writes on its error output lands in it
    // (and never between the progress lines on the console).
    const std::string log_path = folder_.file("keldran.log");
    FILE* log = std::fopen(log_path.c_str(), "w");
    ASSERT_NE(log, nullptr);
    std::setvbuf(log, nullptr, _IONBF, 0);
    FILE* saved = debug_log;
    debug_log = log;
    section_list list;
    probe_section section(list, "Commands");
    list_probe noisy(section, "noisy", "echo 'cannot open shared log' >&2; echo fine", 0);
    EXPECT_TRUE(noisy.run());
    debug_log = saved;
    std::fclose(log);
    EXPECT_EQ(read_file(log_path), "cannot open shared log\nnoisy: rc = 0\n");
    EXPECT_EQ(report().find("cannot open"), std::string::npos);
}

}  // namespace
