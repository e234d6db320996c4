#include "driver/sections.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "driver/device_probes.h"
#include "driver/options.h"
#include "support/temp_dir.h"

namespace {

section_list& program_sections() {
    register_device_probes();
    return registered_sections();
}

std::vector<std::string> listed_lines() {
    captured_stream out;
    write_section_list(out.get(), program_sections());
    std::vector<std::string> lines;
    std::istringstream in(out.text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every section of the program has a short name of its own, and -list
// shows them all in run order.
TEST(Sections, EveryOneHasItsOwnShortName) {
    std::set<std::string> names;
    std::map<std::string, int> seen;
    for (const probe_section* s = program_sections().head; s; s = s->next) {
        std::string name = probe_section_short_name(s->title, ++seen[s->title]);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_LE(name.size(), 13u) << s->title;  // fits the first column of -list
    }
    std::vector<std::string> lines = listed_lines();
    ASSERT_EQ(lines.size(), names.size() + 5);
    EXPECT_EQ(lines[0].rfind("summary       SYSTEM SUMMARY                 always  host name", 0), 0u) << lines[0];
    EXPECT_EQ(lines[2].rfind("smbios        SMBIOS INFORMATION             1       SMBIOS table", 0), 0u);
    EXPECT_EQ(lines[5].rfind("network       Network Devices                3       route netlink", 0), 0u) << lines[5];
    std::set<std::string> first_words;
    for (const std::string& line : lines) first_words.insert(line.substr(0, line.find(' ')));
    EXPECT_EQ(first_words.size(), lines.size());
    for (const char* fixed : {"summary", "timezone", "smbios", "pci", "svcproc", "procscsi", "syslog", "kernel"})
        EXPECT_EQ(first_words.count(fixed), 1u) << fixed;
}

TEST(Sections, FixedSectionsByTheirLabels) {
    struct {
        const char* label;
        const char* name;
    } cases[] = {
        {"Time Zone Info", "timezone"}, {"SMBIOS Info", "smbios"},   {"PCI Devices", "pci"},
        {"Expansion ROM Listing", "pci"}, {"Service Processor Info", "svcproc"}, {"Basic Info", "summary"},
    };
    for (const auto& c : cases) EXPECT_STREQ(fixed_section_of_label(c.label), c.name) << c.label;
}

TEST(Sections, MadeUpNamesForSectionsOutsideTheTable) {
    EXPECT_EQ(probe_section_short_name("Kernel State", 1), "kernel");
    EXPECT_EQ(probe_section_short_name("SCSI Devices", 2), "procscsi");
    EXPECT_EQ(probe_section_short_name("GPU & Accelerators", 1), "gpuaccelerators");
    EXPECT_EQ(probe_section_short_name("Kernel State", 2), "kernelstate2");
}

// -skip and -only, their warnings, and what they leave out.
TEST(Sections, ChoiceOfSkipAndOnly) {
    using names = std::vector<std::string>;
    struct {
        names skip, only;
        names wanted, not_wanted, warnings;
    } cases[] = {
        {{}, {}, {"summary", "smbios", "kernel", "procscsi"}, {}, {}},
        {{"smbios", "KERNEL"}, {}, {"summary", "pci", "syslog"}, {"smbios", "kernel"}, {}},
        {{}, {"syslog", "Pci"}, {"summary", "syslog", "pci"}, {"smbios", "kernel", "scsi"}, {}},
        {{"syslog"}, {"syslog", "cpu"}, {"cpu"}, {"syslog", "memory"}, {}},
        {{"summary"}, {}, {"summary"}, {}, {"ignored \"summary\" in -skip: the system summary always runs"}},
        {{}, {"summary"}, {"summary"}, {"smbios", "cpu"}, {}},
        {{"smbois"}, {}, {"smbios"}, {}, {"ignored \"smbois\" in -skip: no section of that name (-list names them)"}},
        // -only with nothing usable is ignored as a whole: the run stays whole.
        {{}, {"nosuch"}, {"smbios", "cpu"}, {}, {"ignored \"nosuch\" in -only: no section of that name (-list names them)"}},
    };
    for (const auto& c : cases) {
        run_options options;
        options.skip = c.skip;
        options.only = c.only;
        names warnings;
        section_choice choice = choose_sections(options, program_sections(), warnings);
        EXPECT_EQ(warnings, c.warnings);
        for (const std::string& name : c.wanted) EXPECT_TRUE(choice.wanted(name)) << name;
        for (const std::string& name : c.not_wanted) EXPECT_FALSE(choice.wanted(name)) << name;
    }
}

// The probe pass leaves out exactly the sections the choice does, also
// one of two sections with the same title.
TEST(Sections, ApplyMarksOnlyTheChosenProbeSections) {
    section_choice choice;
    choice.skip = {"procscsi", "cpu"};
    section_list& list = program_sections();
    apply_choice(choice, list);
    std::vector<std::string> left_out;
    int scsi_sections = 0;
    for (const probe_section* s = list.head; s; s = s->next) {
        if (s->left_out) left_out.push_back(s->title);
        if (std::string(s->title) == "SCSI Devices") ++scsi_sections;
    }
    EXPECT_EQ(scsi_sections, 2);
    EXPECT_EQ(left_out, (std::vector<std::string>{"CPU Information", "SCSI Devices"}));
    EXPECT_FALSE(list.head->next->left_out);  // the device probe's "SCSI Devices"
    apply_choice(section_choice{}, list);
    for (const probe_section* s = list.head; s; s = s->next) EXPECT_FALSE(s->left_out) << s->title;
}

}  // namespace
