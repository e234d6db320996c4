// The kdtool program, run as a separate process on files in a scratch directory.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/container_file.h"
#include "archive_test_support.h"
#include "base/run_context.h"
#include "report/report.h"
#include "report/xml.h"

namespace {

// Runs kdtool with the given arguments; standard output and error go to files.
int kdtool(const std::string& args) {
    std::string command = std::string(SIFTERRA_KDTOOL) + " " + args + " >stdout.txt 2>stderr.txt";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A small mode-4 report as the program writes it: one section with an
// embedded file, then the document checksum.
std::string make_report(const char* file_text) {
    write_file("embedded.txt", file_text);
    reset_report_state();
    set_output_mode(4);
    FILE* out = std::fopen("report.xml", "wb");
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    begin_section(out, "Test Files");
    embed_file(out, "embedded.txt");
    end_section(out);
    char text[16];
    std::snprintf(text, sizeof text, "%8X", document_checksum());
    write_element(out, "CHK", text);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
    return read_file("report.xml");
}

class KdtoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch.ok()); }
    ScratchDir scratch;
};

}  // namespace

TEST_F(KdtoolTest, PackListExtractVerify) {
    std::string report = make_report("line one\nline two & <three>\n");
    ASSERT_TRUE(write_file("blob", std::string("\0\xFF\x01 blob", 8)));
    ASSERT_EQ(kdtool("pack box.KD2 report.xml blob:7"), 0);
    std::string sealed = read_file("box.KD2");
    ASSERT_EQ(sealed.substr(0, 9), "_KELDRFF_");

    ASSERT_EQ(kdtool("list box.KD2"), 0);
    std::string listing = read_file("stdout.txt");
    EXPECT_NE(listing.find("sealed container"), std::string::npos);
    EXPECT_NE(listing.find("3 items"), std::string::npos);
    EXPECT_NE(listing.find("version: 2.00 (Internal use Only)"), std::string::npos);

    ASSERT_EQ(kdtool("verify box.KD2"), 0) << read_file("stderr.txt");
    EXPECT_NE(read_file("stdout.txt").find("1 sections, 0 tables, 0 rows, 1 files, all checksums match"),
              std::string::npos)
        << read_file("stdout.txt");

    ASSERT_EQ(kdtool("extract box.KD2"), 0);
    EXPECT_TRUE(read_file("stdout.txt") == report);
    ASSERT_EQ(kdtool("extract box.KD2 7 -o blob.out"), 0);
    EXPECT_EQ(read_file("blob.out"), std::string("\0\xFF\x01 blob", 8));

    // None of this changed the file it was given.
    EXPECT_EQ(read_file("box.KD2"), sealed);

    // A plain container reads the same way.
    ContainerFile c;
    c.set_trace(nullptr);
    ASSERT_EQ(c.open("box.KD2"), 0);
    c.close();
    ASSERT_EQ(kdtool("list box.KD2"), 0);
    EXPECT_NE(read_file("stdout.txt").find("plain container"), std::string::npos);
    EXPECT_EQ(kdtool("verify box.KD2"), 0);
}

TEST_F(KdtoolTest, VerifyFindsAReportChangedAfterItsChecksums) {
    std::string report = make_report("some file text\n");
    size_t at = report.find("some file text");
    ASSERT_NE(at, std::string::npos);
    report[at] = 'S';
    ASSERT_TRUE(write_file("report.xml", report));
    ASSERT_EQ(kdtool("pack box.KD2 report.xml"), 0);
    EXPECT_EQ(kdtool("verify box.KD2"), 1);
    EXPECT_NE(read_file("stderr.txt").find("report:"), std::string::npos);
}

TEST_F(KdtoolTest, DamagedFilesAndMissingItems) {
    make_report("text\n");
    ASSERT_EQ(kdtool("pack box.KD2 report.xml"), 0);
    std::string sealed = read_file("box.KD2");

    ASSERT_TRUE(write_file("cut.KD2", sealed.substr(0, sealed.size() - 3)));
    EXPECT_EQ(kdtool("list cut.KD2"), 1);
    EXPECT_EQ(kdtool("verify cut.KD2"), 1);
    EXPECT_EQ(kdtool("extract cut.KD2"), 1);

    ASSERT_TRUE(write_file("extra.KD2", sealed + "z"));
    EXPECT_EQ(kdtool("list extra.KD2"), 0);
    EXPECT_EQ(kdtool("verify extra.KD2"), 1);
    EXPECT_NE(read_file("stderr.txt").find("1 bytes follow the last item"), std::string::npos);

    EXPECT_EQ(kdtool("list report.xml"), 1);
    EXPECT_NE(read_file("stderr.txt").find("not a container"), std::string::npos);
    EXPECT_EQ(kdtool("verify no-such-file"), 1);
    EXPECT_EQ(kdtool("extract box.KD2 99"), 1);
    EXPECT_EQ(kdtool("pack out.KD2 no-such-file"), 1);
    EXPECT_FALSE(file_exists("out.KD2"));
}

TEST_F(KdtoolTest, UsageErrors) {
    EXPECT_EQ(kdtool(""), 2);
    EXPECT_NE(read_file("stderr.txt").find("usage: kdtool list FILE"), std::string::npos);
    EXPECT_EQ(kdtool("unpack box.KD2"), 2);
    EXPECT_EQ(kdtool("list"), 2);
    EXPECT_EQ(kdtool("extract box.KD2 300"), 2);
    EXPECT_EQ(kdtool("extract box.KD2 -o"), 2);
    EXPECT_EQ(kdtool("pack out.KD2"), 2);
}
