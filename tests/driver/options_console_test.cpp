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
                  " -clean     : Replace host names, addresses and serial numbers before packing.\n\n");
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
