#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "driver/console.h"
#include "driver/options.h"
#include "support/temp_dir.h"

namespace {

run_options parse(std::vector<const char*> args) {
    args.insert(args.begin(), "sifterra");
    return parse_arguments(static_cast<int>(args.size()), args.data());
}

TEST(Options, Defaults) {
    run_options o = parse({});
    EXPECT_FALSE(o.batch || o.silent || o.step || o.help || o.keep_plain_copy || o.clean);
    EXPECT_EQ(o.level, 5);
    EXPECT_EQ(o.name_template, "@V-@M-@S");
    EXPECT_EQ(o.debug_logs, 0);
}

TEST(Options, BothSpellingsAndNoMixedCase) {
    run_options o = parse({"-BATCH", "-SILENT", "-STEP", "-DEBUG", "-CLEAN"});
    EXPECT_TRUE(o.batch && o.silent && o.step && o.clean);
    EXPECT_EQ(o.debug_logs, 1);
    EXPECT_TRUE(parse({"-clean"}).clean);
    o = parse({"-Batch", "-Silent", "-Level2", "-Debug", "-batchx", "-Clean", "-cleanx"});
    EXPECT_FALSE(o.batch || o.silent || o.clean);
    EXPECT_EQ(o.level, 5);
    EXPECT_EQ(o.debug_logs, 0);
}

TEST(Options, LevelNeedsExactlyOneDigitFromZeroToFive) {
    EXPECT_EQ(parse({"-level9"}).level, 5);
    EXPECT_EQ(parse({"-level"}).level, 5);
    EXPECT_EQ(parse({"-level33"}).level, 5);
    EXPECT_EQ(parse({"-LEVEL2"}).level, 2);
    EXPECT_EQ(parse({"-level0"}).level, 0);
    EXPECT_EQ(parse({"-level3", "-level7"}).level, 3);
}

TEST(Options, FilenameTakesTheRestOfTheArgument) {
    EXPECT_EQ(parse({"-filenamemybox"}).name_template, "mybox");
    EXPECT_EQ(parse({"-FILENAME@H"}).name_template, "@H");
    EXPECT_EQ(parse({"-filename"}).name_template, "");
    std::string long_name = "-filename" + std::string(300, 'x');
    EXPECT_EQ(parse({long_name.c_str()}).name_template.size(), 255u);
}

TEST(Options, HelpStopsProcessingAfterEarlierOptionsTookEffect) {
    run_options o = parse({"-debug", "-batch", "-help", "-silent"});
    EXPECT_TRUE(o.help && o.batch);
    EXPECT_FALSE(o.silent);
    EXPECT_EQ(o.debug_logs, 1);
    EXPECT_TRUE(parse({"-HELP"}).help);
}

TEST(Options, HiddenWordCountsOnlyAsThirdArgument) {
    EXPECT_TRUE(parse({"-batch", "x", "TulipMarch"}).keep_plain_copy);
    EXPECT_FALSE(parse({"TulipMarch"}).keep_plain_copy);
    EXPECT_FALSE(parse({"a", "TulipMarch"}).keep_plain_copy);
    EXPECT_FALSE(parse({"a", "b", "tulipmarch"}).keep_plain_copy);
    EXPECT_FALSE(parse({"a", "b", "c", "TulipMarch"}).keep_plain_copy);
}

// The run-control options, in both spellings; mixed case and a missing
// value set nothing.
TEST(Options, CaseSinceSkipOnlyAndList) {
    using names = std::vector<std::string>;
    struct {
        std::vector<const char*> args;
        std::string case_id;
        int since;
        names skip, only;
        bool list;
    } cases[] = {
        {{"-caseCS-42"}, "CS-42", 0, {}, {}, false},
        {{"-CASEticket 7"}, "ticket 7", 0, {}, {}, false},
        {{"-case"}, "", 0, {}, {}, false},
        {{"-Case12"}, "", 0, {}, {}, false},
        {{"-since7"}, "", 7, {}, {}, false},
        {{"-SINCE3650"}, "", 3650, {}, {}, false},
        {{"-since0"}, "", 0, {}, {}, false},
        {{"-since3651"}, "", 0, {}, {}, false},
        {{"-since7d"}, "", 0, {}, {}, false},
        {{"-since-1"}, "", 0, {}, {}, false},
        {{"-since3", "-since"}, "", 3, {}, {}, false},
        {{"-skipsmbios,pci"}, "", 0, {"smbios", "pci"}, {}, false},
        {{"-SKIPcpu", "-skip,,memory,"}, "", 0, {"cpu", "memory"}, {}, false},
        {{"-onlykernel", "-ONLYsyslog"}, "", 0, {}, {"kernel", "syslog"}, false},
        {{"-list"}, "", 0, {}, {}, true},
        {{"-LIST"}, "", 0, {}, {}, true},
        {{"-List", "-listx"}, "", 0, {}, {}, false},
    };
    for (const auto& c : cases) {
        run_options o = parse(c.args);
        const std::string shown = c.args[0];
        EXPECT_EQ(o.case_id, c.case_id) << shown;
        EXPECT_EQ(o.since_days, c.since) << shown;
        EXPECT_EQ(o.skip, c.skip) << shown;
        EXPECT_EQ(o.only, c.only) << shown;
        EXPECT_EQ(o.list, c.list) << shown;
    }
    EXPECT_EQ(parse({("-case" + std::string(300, 'x')).c_str()}).case_id.size(), 255u);
}

// Every argument that is ignored is named with the reason; good ones and
// the hidden word as argument 3 are not.
TEST(Options, IgnoredArgumentsAreNamedWithTheReason) {
    using texts = std::vector<std::string>;
    const std::string level = "the level is one digit 0 to 5 right after -level (as in -level2)";
    struct {
        std::vector<const char*> args;
        texts warnings;
    } cases[] = {
        {{"-batch", "-level2", "-filenamebox", "-case1", "-since2", "-skipcpu", "-onlypci", "-list", "-clean"}, {}},
        {{"-level", "2"}, {"ignored \"-level\": " + level, "ignored \"2\": not an option"}},
        {{"-level9"}, {"ignored \"-level9\": " + level}},
        {{"-LEVEL22"}, {"ignored \"-LEVEL22\": " + level}},
        {{"-levle2"}, {"ignored \"-levle2\": not an option; did you mean -level?"}},
        {{"--batch"}, {"ignored \"--batch\": not an option; did you mean -batch?"}},
        {{"-slient"}, {"ignored \"-slient\": not an option; did you mean -silent?"}},
        {{"-filenme@H"}, {"ignored \"-filenme@H\": not an option; did you mean -filename?"}},
        {{"-Batch"}, {"ignored \"-Batch\": not an option: options are all lower case or all upper case"}},
        {{"-Level2"}, {"ignored \"-Level2\": not an option: options are all lower case or all upper case"}},
        {{"-filename"},
         {"ignored \"-filename\": no template right after -filename (as in -filename@H); the default @V-@M-@S is used"}},
        {{"-case"}, {"ignored \"-case\": no case id right after -case (as in -case12345)"}},
        {{"-since0"}, {"ignored \"-since0\": the days are a number from 1 to 3650 right after -since (as in -since7)"}},
        {{"-skip"}, {"ignored \"-skip\": no section names right after -skip (as in -skipsmbios,pci; -list names them)"}},
        {{"-ONLY"}, {"ignored \"-ONLY\": no section names right after -only (as in -onlysmbios,pci; -list names them)"}},
        {{"report.txt"}, {"ignored \"report.txt\": not an option"}},
        {{""}, {"ignored \"\": not an option"}},
        {{"a", "b", "TulipMarch"}, {"ignored \"a\": not an option", "ignored \"b\": not an option"}},
        {{"TulipMarch"}, {"ignored \"TulipMarch\": not an option"}},
        {{"-help", "-levle2"}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.args).warnings, c.warnings) << c.args[0];
    // An argument far too long to be a misspelling is not compared.
    std::string long_arg(5000, 'x');
    EXPECT_EQ(parse({long_arg.c_str()}).warnings, texts{"ignored \"" + long_arg + "\": not an option"});
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Console, DisclaimerIsEighteenLinesOfSeventySixAndAnEmptyLine) {
    captured_stream out;
    write_disclaimer(out.get());
    std::vector<std::string> lines = lines_of(out.text());
    ASSERT_EQ(lines.size(), 19u);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(lines[i].size(), 76u) << "line " << i;
    EXPECT_EQ(lines[18], "");
    for (int rule : {0, 13, 17}) EXPECT_EQ(lines[rule], std::string(76, '-'));
    EXPECT_EQ(lines[14].rfind("NOTE.-", 0), 0u);
}

bool agree_with(const std::string& answer, std::string* shown = nullptr) {
    temp_dir dir;
    write_file(dir.file("in"), answer);
    FILE* in = std::fopen(dir.file("in").c_str(), "r");
    captured_stream out;
    bool agreed = ask_agreement(in, out.get());
    std::fclose(in);
    if (shown) *shown = out.text();
    return agreed;
}

TEST(Console, AgreementNeedsYAsFirstCharacter) {
    std::string shown;
    EXPECT_TRUE(agree_with("Yes\n", &shown));
    EXPECT_EQ(shown.rfind("\n                                 DISCLAIMER\n", 0), 0u);
    EXPECT_NE(shown.find("\nDo you agree with the above terms ? [y/n] ... "), std::string::npos);
    EXPECT_TRUE(agree_with("y"));
    EXPECT_FALSE(agree_with(" y\n"));
    EXPECT_FALSE(agree_with("n\n"));
    EXPECT_FALSE(agree_with("\n"));
    EXPECT_FALSE(agree_with(""));
    EXPECT_FALSE(agree_with(std::string(300, 'n') + "\ny\n"));
}

TEST(Console, UsageText) {
    captured_stream err;
    show_usage("./sifterra", err.get());
    EXPECT_EQ(err.text(),
              "\nVarnholt Technical Support Information Sifterra\n" + std::string(rights_line) +
                  "\nVersion 2.00 (Internal use Only)\n\n"
                  "Usage: ./sifterra [-help] | [-batch] | [-silent]\n\n"
                  " -help      : Show this message.\n"
                  " -batch     : Do not show the disclaimer.\n"
                  " -silent    : Do not show anything during operation.\n"
                  " -clean     : Replace host names, addresses and serial numbers before packing.\n"
                  " -caseID    : Store the case or ticket id ID in the report (name code @C).\n"
                  " -sinceN    : Keep only the journal and kernel log of the last N days.\n"
                  " -skipLIST  : Leave out the sections named in LIST (comma-separated).\n"
                  " -onlyLIST  : Run only the sections named in LIST (and the summary).\n"
                  " -list      : Show the sections and their short names.\n\n");
}

TEST(Console, DottedLabelsAreThirtyThreeWide) {
    captured_stream out;
    write_dotted_label(out.get(), "Basic Info");
    write_dotted_label(out.get(), "Compressing Info");
    write_dotted_label(out.get(), "Service Processor Info");
    EXPECT_EQ(out.text(), "Basic Info ..................... Compressing Info ............... "
                          "Service Processor Info ......... ");
}

std::string step_answer(const std::string& answer, bool step, bool silent, int section_level, bool* ran) {
    temp_dir dir;
    write_file(dir.file("in"), answer);
    FILE* in = std::fopen(dir.file("in").c_str(), "r");
    captured_stream console;
    *ran = confirm_step(console.get(), silent, step, 3, section_level, "SMBIOS Info", in);
    std::fclose(in);
    return console.text();
}

TEST(Console, StepQuestions) {
    bool ran = false;
    EXPECT_EQ(step_answer("nay\n", true, false, 1, &ran), "Run SMBIOS Info?: Running: SMBIOS Info - ");
    EXPECT_TRUE(ran);
    EXPECT_EQ(step_answer("okaY\n", true, true, 1, &ran), "Run SMBIOS Info?: Running: SMBIOS Info - ");
    EXPECT_TRUE(ran);
    EXPECT_EQ(step_answer("no\n", true, false, 1, &ran), "Run SMBIOS Info?: Skipping: SMBIOS Info\n");
    EXPECT_FALSE(ran);
    EXPECT_EQ(step_answer("", true, false, 1, &ran), "Run SMBIOS Info?: Skipping: SMBIOS Info\n");
    EXPECT_FALSE(ran);
    EXPECT_EQ(step_answer("y\n", true, false, 4, &ran), "");  // above the run level: no question
    EXPECT_FALSE(ran);
    EXPECT_EQ(step_answer("", false, true, 1, &ran), "");
    EXPECT_TRUE(ran);
    EXPECT_EQ(step_answer("", false, false, 1, &ran), "SMBIOS Info .................... ");
    EXPECT_TRUE(ran);
}

// A target that refuses any write of "OK" and accepts everything else.
ssize_t refuse_ok(void* cookie, const char* data, size_t size) {
    if (size >= 2 && data[0] == 'O' && data[1] == 'K') return -1;
    static_cast<std::string*>(cookie)->append(data, size);
    return static_cast<ssize_t>(size);
}

TEST(Console, StopsWritingOnceTheTargetFailed) {
    std::string written;
    FILE* target = fopencookie(&written, "w", {nullptr, refuse_ok, nullptr, nullptr});
    ASSERT_NE(target, nullptr);
    FILE* console = open_console(target);
    ASSERT_NE(console, target);
    EXPECT_GT(std::fprintf(console, "Basic Info "), 0);
    EXPECT_GT(std::fprintf(console, "OK\n"), 0);   // fails underneath
    EXPECT_GT(std::fprintf(console, "more\n"), 0);  // the target would take it, but is not asked
    EXPECT_EQ(std::fflush(console), 0);
    EXPECT_FALSE(std::ferror(console));
    EXPECT_EQ(written, "Basic Info ");
    std::fclose(console);
    std::fclose(target);
}

}  // namespace
