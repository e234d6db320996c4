// kdtool clean on containers whose reports hold known identifiers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "report/report_builder.h"
#include "report_fixture.h"

namespace {

const std::vector<built_section> machine = {
    {"SYSTEM SUMMARY",
     {{"System Summary", {{"Computer Name", STRING}, {"System Serial Number", ASCII_STRING}},
       {{"", "db7.example.org", "SER-4455"}}}},
     {}},
    {"Network Devices",
     {{"Network Addresses", {{"Address", ASCII_STRING}, {"Netmask", ASCII_STRING}},
       {{"eth0", "172.17.3.4", "255.255.0.0"}}},
      {"Network Interfaces", {{"Address", ASCII_STRING}}, {{"eth0", "00:1b:21:3a:4f:5e"}}}},
     {{"/etc/hosts", "172.17.3.4 db7.example.org db7\n"}}},
    {"Startup Information", {}, {{"/boot/grub/grub.cfg", "set superusers=\"admin\"\npassword_pbkdf2 admin grub.pbkdf2.x\n"}}},
};

class KdtoolClean : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir.file("report.xml"), build_report(machine));
        // An old creation stamp, which the copy must keep.
        workspace ws;
        DateStamp stamp{10, 20, 30, 3, 2, 2001};
        kdtool_io quiet{stdout, stderr};
        ASSERT_EQ(build_sealed_container(ws, ws.path("in.KD2"), {{dir.file("report.xml"), 15}}, quiet, "", &stamp), 0);
        std::string problem;
        ASSERT_TRUE(copy_to_output(ws.path("in.KD2"), in, &problem)) << problem;
    }

    std::string report_of(const std::string& container) {
        std::string xml = container + ".xml";
        EXPECT_EQ(run_command(kdtool_extract, {container, "-o", xml}).rc, 0);
        return read_file(xml);
    }

    temp_dir dir;
    std::string in = dir.file("in.KD2");
    std::string out = dir.file("out.KD2");
};

TEST_F(KdtoolClean, MakesAVerifyingCopyAndAPrivateMap) {
    std::string before = read_file(in);
    command_run run = run_command(kdtool_clean, {in, out});
    ASSERT_EQ(run.rc, 0) << run.err;
    EXPECT_NE(run.out.find("cleaned copy of"), std::string::npos);
    EXPECT_NE(run.out.find("replaced as the map says: 2 host names, 1 addresses, 1 hardware addresses, 1 serial numbers"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Cleaning is best effort"), std::string::npos);
    EXPECT_EQ(read_file(in), before);
    EXPECT_EQ(run_command(kdtool_verify, {out}).rc, 0);

    struct stat map;
    ASSERT_EQ(stat(dir.file("out.map").c_str(), &map), 0);
    EXPECT_EQ(map.st_mode & 0777, 0600u);

    std::string report = report_of(out);
    for (const char* id : {"db7", "example.org", "SER-4455", "172.17.", "00:1b:21", "grub.pbkdf2"})
        EXPECT_EQ(report.find(id), std::string::npos) << id;
    EXPECT_NE(report.find("password_pbkdf2 admin ********\n"), std::string::npos);

    // The copy keeps the original's creation stamp and version record.
    auto stamp_and_version = [](const std::string& listing) {
        size_t created = listing.find("created");
        return listing.substr(created, listing.find(',', created) - created) + listing.substr(listing.find("version:"));
    };
    std::string original = run_command(kdtool_list, {in}).out;
    EXPECT_NE(original.find("created 2001-02-03 10:20:30 UTC"), std::string::npos) << original;
    EXPECT_EQ(stamp_and_version(run_command(kdtool_list, {out}).out), stamp_and_version(original));
}

TEST_F(KdtoolClean, AGivenMapGivesTheSameReplacements) {
    ASSERT_EQ(run_command(kdtool_clean, {in, out}).rc, 0);
    std::string again = dir.file("again.KD2");
    command_run run = run_command(kdtool_clean, {in, again, "--map", dir.file("out.map")});
    ASSERT_EQ(run.rc, 0) << run.err;
    EXPECT_EQ(report_of(again), report_of(out));
    EXPECT_EQ(read_file(dir.file("again.map")), read_file(dir.file("out.map")));
}

TEST_F(KdtoolClean, RefusesWhatItCannotDoSafely) {
    std::string before = read_file(in);
    write_file(dir.file("bad.map"), "{\"map\": \"other\"}");
    std::string damaged = read_file(dir.file("report.xml"));
    damaged.replace(damaged.find("SER-4455"), 8, "SER-4456");
    write_file(dir.file("damaged.xml"), damaged);
    ASSERT_EQ(run_command(kdtool_pack, {dir.file("damaged.KD2"), dir.file("damaged.xml")}).rc, 0);

    // Sound in every other way, but with a creation stamp no writer makes: a
    // clean copy of it would keep that stamp and fail verify.
    {
        workspace ws;
        DateStamp bad_stamp{25, 61, 0, 32, 13, 1969};
        kdtool_io quiet{stdout, stderr};
        ASSERT_EQ(build_sealed_container(ws, ws.path("s.KD2"), {{dir.file("report.xml"), 15}}, quiet, "", &bad_stamp), 0);
        std::string problem;
        ASSERT_TRUE(copy_to_output(ws.path("s.KD2"), dir.file("stamp.KD2"), &problem)) << problem;
    }

    struct refusal {
        kdtool_args args;
        int rc;
        const char* message;
    } cases[] = {
        {{dir.file("stamp.KD2"), out}, exit_damaged, "does not verify, not cleaned: creation stamp is invalid"},
        {{in}, exit_usage, "usage:"},
        {{in, out, "--colour"}, exit_usage, "usage:"},
        {{in, in}, exit_damaged, "never overwritten"},
        {{in, out, "--map", dir.file("bad.map")}, exit_damaged, "not a cleaning map"},
        {{in, out, "--map", dir.file("none.map")}, exit_damaged, "cannot be read"},
        {{dir.file("damaged.KD2"), out}, exit_damaged, "does not verify"},
        {{dir.file("report.xml"), out}, exit_damaged, "not a container"},
    };
    for (const refusal& c : cases) {
        command_run run = run_command(kdtool_clean, c.args);
        EXPECT_EQ(run.rc, c.rc) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
    }
    EXPECT_EQ(read_file(in), before);
}

TEST_F(KdtoolClean, WarnsWhenTheOutputNameHoldsAnIdentifier) {
    command_run run = run_command(kdtool_clean, {in, dir.file("db7-copy.KD2"), "--keyword", "copy"});
    ASSERT_EQ(run.rc, 0) << run.err;
    EXPECT_NE(run.err.find("warning: the name"), std::string::npos) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("db7-copy.map")));
}

}  // namespace
