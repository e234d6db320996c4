// Shared set-up for the probe tests: the run context's report, console and
// debug log go to memory, and the shared script files live in a private folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/run_context.h"
#include "probes/command_pipe.h"
#include "report/report.h"
#include "support/temp_dir.h"

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_context_ = run_context;
        saved_debug_log_ = debug_log;
        run_context.report = report_.get();
        run_context.console = console_.get();
        run_context.level = 5;
        run_context.silent = false;
        debug_log = debug_.get();
        reset_report_state();
        set_output_mode(0);
        set_script_file_paths(folder_.file("sifterra.log").c_str(),
                              folder_.file("modules.tmp").c_str(),
                              folder_.file("packages.log").c_str());
        set_private_folder_parent(folder_.path().c_str());
        set_command_pipe(nullptr, nullptr);
    }
    void TearDown() override {
        run_context = saved_context_;
        debug_log = saved_debug_log_;
        set_command_pipe(nullptr, nullptr);
        reset_report_state();
        // Back to paths that no test can reach by accident: the folder goes away.
        set_script_file_paths(dead_path_, dead_path_, dead_path_);
        set_private_folder_parent(dead_path_);
    }

    std::string report() { return report_.text(); }
    std::string console() { return console_.text(); }
    std::string debug() { return debug_.text(); }

    temp_dir folder_;

private:
    static constexpr const char* dead_path_ = "/nonexistent-sifterra-test/none";
    captured_stream report_;
    captured_stream console_;
    captured_stream debug_;
    run_context_t saved_context_;
    FILE* saved_debug_log_ = nullptr;
};

// Counts the occurrences of part in text.
inline int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The script with a path (a log, the shared error log) moved into the test's
// folder. Only path occurrences followed by one of the given characters
// change, so the script's own messages can keep their text.
inline std::string relocated(std::string script, const std::string& from, const std::string& to,
                             const std::string& followers = " ;\"") {
    for (size_t at = script.find(from); at != std::string::npos; at = script.find(from, at)) {
        char after = at + from.size() < script.size() ? script[at + from.size()] : ';';
        if (followers.find(after) != std::string::npos) {
            script.replace(at, from.size(), to);
            at += to.size();
        } else {
            at += from.size();
        }
    }
    return script;
}
