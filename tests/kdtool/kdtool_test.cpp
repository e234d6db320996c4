// The kdtool program, run as a separate process on files in a scratch directory.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive/container_file.h"
#include "archive/archive_test_support.h"
#include "kdtool/sha256.h"
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

// A version record as the writer makes it, with the given text field.
std::string version_record(const std::string& text_field) {
    std::string record(12, '\0');
    record[0] = 76;
    record[4] = 1;
    const char stamp[7] = {10, 20, 30, 4, 5, static_cast<char>(2024 & 0xFF), static_cast<char>(2024 >> 8)};
    record.replace(5, 7, stamp, 7);
    record += text_field;
    record.resize(76, '\0');
    return record;
}

// A plain container of the given items, all compressed.
std::string plain_container(const std::vector<std::pair<int, std::string>>& items) {
    ContainerFile c;
    EXPECT_EQ(c.create("built.KD2"), 0);
    for (const auto& [id, bytes] : items) {
        EXPECT_TRUE(write_file("item.in", bytes));
        EXPECT_EQ(c.add_item(id, "item.in", true), 0);
    }
    c.close();
    return read_file("built.KD2");
}

// The record of the item at index in a plain container.
ItemRecord record_of(const std::string& plain, int index) {
    EXPECT_TRUE(write_file("probe.KD2", plain));
    ContainerFile c;
    c.set_trace(nullptr);
    ItemRecord r;
    EXPECT_EQ(c.open("probe.KD2"), 0);
    EXPECT_EQ(c.read_record(index, &r), 0);
    return r;
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
    EXPECT_NE(read_file("stdout.txt").find("report: 0 rows, 0 tables, 1 files, 1 sections and the document checksum match"),
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

// verify says OK only for a container it really checked: a sound version
// record first, a mode-4 report as item 15 with its document checksum, a
// valid stamp and records as the writer makes them.
TEST_F(KdtoolTest, VerifyFailsForWhatItCannotVouchFor) {
    const std::string report = make_report("checked text\n");
    const std::string version = version_record(sifterra_version);
    const std::string good = plain_container({{16, version}, {15, report}});
    std::string no_checksum = report;
    no_checksum.erase(no_checksum.rfind("<CHK>"), no_checksum.rfind("</GATHERED_DATA>") - no_checksum.rfind("<CHK>"));
    std::string flag_flipped = good;
    flag_flipped[record_of(good, 1).offset + 5] = '\x81';  // still "compressed" to a reader
    std::string bad_month = good;
    bad_month[14] = '\xFF';
    std::string unclosed = report;
    unclosed.replace(unclosed.find("</SECTION>"), 10, "");
    std::string control = report;
    control.replace(control.find("checked"), 1, "\x01");

    struct {
        const char* what;
        std::string container;
        const char* message;
    } cases[] = {
        {"no report item", plain_container({{16, version}, {7, "blob"}}), "no report item (id 15)"},
        {"report as id 0", plain_container({{16, version}, {0, report}}), "no report item (id 15)"},
        {"report as id 16", plain_container({{16, version}, {16, report}}), "no report item (id 15)"},
        {"report as id 31", plain_container({{16, version}, {31, report}}), "no report item (id 15)"},
        {"report as id 254", plain_container({{16, version}, {254, report}}), "(id 254), which carries no checksums: not verifiable"},
        {"no document checksum", plain_container({{16, version}, {15, no_checksum}}), "report: no document checksum"},
        {"not well-formed", plain_container({{16, version}, {15, unclosed}}), "report: not well-formed"},
        {"forbidden character", plain_container({{16, version}, {15, control}}), "report: not well-formed"},
        {"flag flipped", flag_flipped, "record is inconsistent (compressed flag 129"},
        {"creation month 255", bad_month, "creation stamp is invalid"},
        {"version text damaged", plain_container({{16, version_record("2.00 (Int\x01rnal use Only)")}, {15, report}}),
         "version record is damaged"},
        {"junk after the version text", plain_container({{16, version_record(std::string("2.00\0junk", 9))}, {15, report}}),
         "version record is damaged"},
        {"version stamp day 0", plain_container({{16, version_record(sifterra_version).replace(8, 1, 1, '\0')}, {15, report}}),
         "version record is damaged"},
        {"no version record", plain_container({{15, report}}), "no version record (id 16) as the first item"},
    };
    ASSERT_TRUE(write_file("good.KD2", good));
    ASSERT_EQ(kdtool("verify good.KD2"), 0) << read_file("stderr.txt");
    // The first line names the file by its digest, whatever the verdict.
    auto digest_line = [](const std::string& name) {
        FILE* f = std::fopen(name.c_str(), "rb");
        std::string digest = f ? sha256_of_stream(f) : "";
        if (f) std::fclose(f);
        return name + ": SHA-256 " + digest + "\n";
    };
    EXPECT_EQ(read_file("stdout.txt"), digest_line("good.KD2") +
                                           "good.KD2: 2 items decode to their recorded lengths\n"
                                           "report: 0 rows, 0 tables, 1 files, 1 sections and the document checksum match\n"
                                           "good.KD2: OK\n");
    for (const auto& c : cases) {
        ASSERT_TRUE(write_file("case.KD2", c.container));
        EXPECT_EQ(kdtool("verify case.KD2"), 1) << c.what;
        EXPECT_NE(read_file("stderr.txt").find(c.message), std::string::npos) << c.what << ": " << read_file("stderr.txt");
        EXPECT_EQ(read_file("stdout.txt"), digest_line("case.KD2")) << c.what;
    }
}

// A cut upload: list shows the complete items and the cut one, an intact
// item still extracts, verify names the cut.
TEST_F(KdtoolTest, CutContainerShowsWhatItStillHolds) {
    const std::string report = make_report("text that is cut\n");
    ASSERT_EQ(kdtool("pack box.KD2 report.xml"), 0);
    const std::string sealed = read_file("box.KD2");
    for (size_t keep : {sealed.size() - 1, sealed.size() - 40, sealed.size() / 2 + 7}) {
        ASSERT_TRUE(write_file("cut.KD2", sealed.substr(0, keep)));
        EXPECT_EQ(kdtool("list cut.KD2"), 1) << keep;
        const std::string listing = read_file("stdout.txt");
        EXPECT_NE(listing.find("2 items"), std::string::npos) << listing;
        EXPECT_NE(listing.find("    1   15        yes"), std::string::npos) << listing;
        EXPECT_NE(listing.find("cut short"), std::string::npos) << listing;
        EXPECT_NE(listing.find("version: 2.00 (Internal use Only)"), std::string::npos) << listing;
        EXPECT_NE(read_file("stderr.txt").find("cut short: item 1 of 2 (id 15) runs past the end of the file"),
                  std::string::npos);

        EXPECT_EQ(kdtool("extract cut.KD2 16 -o version.out"), 0) << keep;
        EXPECT_EQ(read_file("version.out").substr(12, 24), sifterra_version);
        EXPECT_EQ(kdtool("extract cut.KD2"), 1);
        EXPECT_NE(read_file("stderr.txt").find("no report item (id 15 or 254) (cut short"), std::string::npos);
        EXPECT_EQ(kdtool("verify cut.KD2"), 1);
        EXPECT_NE(read_file("stderr.txt").find("cut short: item 1 of 2"), std::string::npos);
    }
}

// Data that decodes but does not fill its recorded lengths exactly: the
// bytes are given out, and the exit code says they are damaged.
TEST_F(KdtoolTest, ExtractOfAnItemThatDoesNotMatchItsLengths) {
    const std::string report = make_report("spare byte after this\n");
    std::string plain = plain_container({{16, version_record(sifterra_version)}, {15, report}});
    const ItemRecord r = record_of(plain, 1);
    ASSERT_EQ(r.offset + item_record_size + r.compressed_length, static_cast<int64_t>(plain.size()));
    plain += '\0';
    plain[r.offset + 6] = static_cast<char>(plain[r.offset + 6] + 1);  // one more compressed byte (no carry here)
    ASSERT_EQ(static_cast<unsigned char>(plain[r.offset + 6]), (r.compressed_length + 1) & 0xFF);
    ASSERT_TRUE(write_file("spare.KD2", plain));
    EXPECT_EQ(kdtool("extract spare.KD2 -o report.out"), 1);
    EXPECT_NE(read_file("stderr.txt").find("item 15 is damaged: its data does not match its lengths"),
              std::string::npos);
    EXPECT_TRUE(read_file("report.out") == report);
    EXPECT_EQ(kdtool("verify spare.KD2"), 1);
}

// Outputs are made fresh: a link planted under the output name is replaced,
// its target untouched; a pipe or folder under the name is left alone.
TEST_F(KdtoolTest, OutputsReplaceLinksAndLeaveSpecialFilesAlone) {
    const std::string report = make_report("fresh\n");
    ASSERT_EQ(kdtool("pack box.KD2 report.xml"), 0);
    ASSERT_TRUE(write_file("victim", "precious"));
    ASSERT_EQ(symlink("victim", "out.xml"), 0);
    ASSERT_EQ(symlink("victim", "again.KD2"), 0);
    EXPECT_EQ(kdtool("extract box.KD2 -o out.xml"), 0);
    EXPECT_EQ(kdtool("pack again.KD2 report.xml"), 0);
    EXPECT_EQ(read_file("victim"), "precious");
    EXPECT_TRUE(read_file("out.xml") == report);
    EXPECT_FALSE(std::filesystem::is_symlink("out.xml"));
    EXPECT_FALSE(std::filesystem::is_symlink("again.KD2"));

    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    EXPECT_EQ(kdtool("extract box.KD2 -o pipe"), 1);
    EXPECT_NE(read_file("stderr.txt").find("pipe: exists and is not a plain file"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_fifo("pipe"));
    ASSERT_EQ(symlink("pipe", "link-to-pipe"), 0);
    EXPECT_EQ(kdtool("extract box.KD2 -o link-to-pipe"), 1);
    EXPECT_TRUE(std::filesystem::is_symlink("link-to-pipe"));
    // A link given as pack input is read as the file it names.
    ASSERT_EQ(symlink("report.xml", "report-link"), 0);
    EXPECT_EQ(kdtool("pack linked.KD2 report-link"), 0);
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
