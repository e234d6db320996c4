#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "report/report_check.h"
#include "privacy/identifier_text.h"
#include "privacy/report_cleaner.h"
#include "report/report_builder.h"

namespace {

bool test_accounts(const std::string& name, unsigned* uid) {
    if (name == "alice") *uid = 1000;
    else if (name == "bob") *uid = 1001;
    else if (name == "root") *uid = 0;
    else if (name == "www-data") *uid = 33;
    else if (name == "nobody") *uid = 65534;
    else return false;
    return true;
}

// A report of one machine whose identifiers are all known.
std::vector<built_section> machine_sections(const std::string& extra_log = "") {
    return {
        {"SYSTEM SUMMARY",
         {{"System Summary",
           {{"Computer Name", STRING}, {"System Serial Number", ASCII_STRING}, {"Current User", STRING}},
           {{"", "web01.corp.example.com", "SN-778899", "alice"}}}},
         {}},
        {"SMBIOS INFORMATION",
         {{"System Information",
           {{"Manufacturer", ASCII_STRING}, {"Serial Number", ASCII_STRING}, {"UUID", ASCII_STRING}},
           {{"1", "ACME", "SN-778899", "44454c4c420010358051b4c04f4a3132"}}},
          {"System Enclosure Information",
           {{"Serial Number", ASCII_STRING}, {"Asset Tag Number", ASCII_STRING}},
           {{"1", "To Be Filled By O.E.M.", "ASSET-0042"}}}},
         {}},
        {"Network Devices",
         {{"Network Interfaces",
           {{"Interface", ASCII_STRING}, {"Address", ASCII_STRING}},
           {{"eth0", "eth0", "52:54:00:ab:cd:ef"}, {"eth1", "eth1", "52:54:00:ab:cd:f0"}}},
          {"Network Addresses",
           {{"Name", ASCII_STRING}, {"Family", ASCII_STRING}, {"Address", ASCII_STRING}, {"Netmask", ASCII_STRING}},
           {{"eth0", "eth0", "inet", "192.168.10.20", "255.255.255.0"},
            {"eth1", "eth1", "inet", "192.168.10.30", "255.255.255.0"},
            {"eth0", "eth0", "inet6", "2001:470:1:2::20", "ffff:ffff:ffff:ffff::"},
            {"eth0", "eth0", "inet6", "fe80::5054:ff:feab:cdef", "ffff:ffff:ffff:ffff::"},
            {"lo", "lo", "inet", "127.0.0.1", "255.0.0.0"}}},
          {"Network Routing Table",
           {{"Destination", ASCII_STRING}, {"Gateway", ASCII_STRING}, {"Netmask", ASCII_STRING}},
           {{"default", "default", "192.168.10.1", "0.0.0.0"},
            {"10.20.0.0", "10.20.0.0", "192.168.10.254", "255.255.0.0"}}}},
         {}},
        {"SCSI Devices",
         {{"sym-2.2.3", {{"Device", ASCII_STRING}, {"Serial Number", ASCII_STRING}},
           {{"/dev/sg0", "/dev/sda", "DSK0001234"}}}},
         {}},
        {"Package Information",
         {{"admin", {{"Package", STRING}, {"Version", STRING}}, {{"tool", "tool", "1.2.3.4"}}}},
         {}},
        {"Kernel State",
         {{"Kernel Parameters", {{"Name", STRING}, {"Value", STRING}},
           {{"kernel.hostname", "kernel.hostname", "web01"}}}},
         {}},
        {"Running Processes",
         {},
         {{"ps auxw",
           "USER       PID COMMAND\n"
           "root         1 /sbin/init\n"
           "alice      100 /usr/bin/app --password=hunter2 --peer 10.20.5.5\n"
           "www-data   200 nginx: worker\n"}}},
        {"Name Resolution",
         {{"Host Names", {{"Source", STRING}, {"Name", STRING}, {"Status", STRING}},
           {{"kernel", "kernel", "web01", "OK"}}}},
         {{"/etc/hosts", "127.0.0.1 localhost\n192.168.10.20 web01.corp.example.com web01\n"},
          {"/home/alice/notes.txt",
           "disk scsi-0ACME_DISK_DSK0001234 in WEB01, uuid 4c4c4544-0042-3510-8051-b4c04f4a3132\n"
           "mac 52:54:00:AB:CD:EF / 52-54-00-ab-cd-f0, peer 2001:470:1:2::99\n"
           "mail.corp.example.com, fe80::5054:ff:feab:cdef%eth0\n" +
               extra_log}}},
    };
}

const char* const identifiers[] = {
    "web01", "corp.example.com", "SN-778899", "ASSET-0042", "alice", "44454c4c420010358051b4c04f4a3132",
    "4c4c4544-0042-3510-8051-b4c04f4a3132", "52:54:00:ab:cd", "52-54-00-ab-cd", "192.168.10.", "2001:470:1:2:",
    "5054:ff:feab:cdef", "DSK0001234", "10.20.", "hunter2",
};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct cleaned_report {
    bool ok = false;
    std::string problem;
    std::string text;
};

cleaned_report clean(report_cleaner& cleaner, const std::string& report) {
    cleaned_report r;
    FILE* in = fmemopen(const_cast<char*>(report.data()), report.size(), "rb");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    r.ok = cleaner.clean(in, out, &r.problem);
    std::fclose(in);
    std::fclose(out);
    r.text.assign(buffer, size);
    std::free(buffer);
    return r;
}

clean_options test_options() {
    clean_options options;
    options.lookup = test_accounts;
    return options;
}

TEST(ReportCleaner, NoIdentifierSurvivesAndTheCopyVerifies) {
    report_cleaner cleaner(test_options());
    std::string report = build_report(machine_sections());
    cleaned_report r = clean(cleaner, report);
    ASSERT_TRUE(r.ok) << r.problem;
    std::string raw = lower(r.text);
    for (const char* id : identifiers) EXPECT_EQ(raw.find(lower(id)), std::string::npos) << id;
    report_check_result check = check_report(r.text);
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.rows, check_report(report).rows);

    // What is not an identifier stays.
    for (const char* kept : {"ACME", "To Be Filled By O.E.M.", "127.0.0.1", "255.255.255.0", "0.0.0.0", "root",
                             "www-data", "1.2.3.4", "--password=********", "<FILE ID=\"/home/user1/notes.txt\">"})
        EXPECT_NE(r.text.find(kept), std::string::npos) << kept;
}

// Names are replaced as whole words only, and the kernel's own parameter
// names stay (their values are cleaned).
TEST(ReportCleaner, LookAlikesAndParameterNamesStay) {
    std::vector<built_section> sections = machine_sections("malice and alicent, vm.swappiness\n");
    sections[0].tables[0].rows[0][1] = "vm";
    sections[5].tables[0].rows = {{"kernel.hostname", "kernel.hostname", "vm"}, {"vm.swappiness", "vm.swappiness", "60"}};
    report_cleaner cleaner(test_options());
    cleaned_report r = clean(cleaner, build_report(sections));
    ASSERT_TRUE(r.ok) << r.problem;
    EXPECT_NE(r.text.find("malice and alicent, host1.swappiness\n"), std::string::npos);
    EXPECT_NE(r.text.find("<ROW ID=\"vm.swappiness\">\n<STR ID=\"Name\" W=\"4\">vm.swappiness</STR>"), std::string::npos);
    EXPECT_NE(r.text.find(">kernel.hostname</STR>\n<STR ID=\"Value\" W=\"5\">host1</STR>"), std::string::npos);
}

TEST(ReportCleaner, ReplacementsAreConsistentAndKeepTheSubnetShape) {
    report_cleaner cleaner(test_options());
    cleaned_report r = clean(cleaner, build_report(machine_sections()));
    ASSERT_TRUE(r.ok) << r.problem;
    auto replaced = [&](const char* text) { return cleaner.replace(text); };

    std::string a20 = replaced("192.168.10.20"), a30 = replaced("192.168.10.30");
    EXPECT_NE(a20, "192.168.10.20");
    EXPECT_EQ(a20.substr(a20.rfind('.')), ".20");
    EXPECT_EQ(a20.substr(0, a20.rfind('.')), a30.substr(0, a30.rfind('.')));  // one /24
    // 10.20.0.0/16 is a route: its addresses stay in one /16, host part kept.
    std::string peer = replaced("10.20.5.5"), route = replaced("10.20.0.0");
    EXPECT_EQ(peer.substr(0, peer.find('.', peer.find('.') + 1)), route.substr(0, route.find('.', route.find('.') + 1)));
    EXPECT_EQ(peer.substr(peer.find('.', peer.find('.') + 1)), ".5.5");
    // IPv6: one /64 for both addresses; link-local stays link-local.
    std::string v6a = replaced("2001:470:1:2::20"), v6b = replaced("2001:470:1:2::99");
    EXPECT_EQ(v6a.substr(0, v6a.rfind(':')), v6b.substr(0, v6b.rfind(':')));
    EXPECT_EQ(replaced("fe80::5054:ff:feab:cdef").rfind("fe80::", 0), 0u);

    // The same identifier gives the same replacement wherever it stands.
    for (const std::string& same : {a20, replaced("web01"), replaced("52:54:00:ab:cd:ef"), replaced("DSK0001234")}) {
        size_t count = 0;
        for (size_t at = r.text.find(same); at != std::string::npos; at = r.text.find(same, at + 1)) ++count;
        EXPECT_GE(count, 2u) << same;
    }
    // Forms are kept: upper-case MAC, dashed MAC, dashed swapped UUID.
    std::string upper = replaced("52:54:00:AB:CD:EF");
    EXPECT_EQ(lower(upper), replaced("52:54:00:ab:cd:ef"));
    EXPECT_EQ(replaced("52-54-00-ab-cd-f0").find(':'), std::string::npos);
    EXPECT_EQ(replaced("4c4c4544-0042-3510-8051-b4c04f4a3132").size(), 36u);
    EXPECT_EQ(replaced("web01.corp.example.com"), replaced("web01") + "." + replaced("corp.example.com"));
}

TEST(ReportCleaner, ASavedMapGivesTheNextReportTheSameReplacements) {
    report_cleaner first(test_options());
    std::string report = build_report(machine_sections());
    cleaned_report r1 = clean(first, report);
    ASSERT_TRUE(r1.ok) << r1.problem;

    // The same report again: the same bytes.
    report_cleaner again(test_options());
    std::string problem;
    ASSERT_TRUE(again.load_map(first.map_json(), &problem)) << problem;
    EXPECT_EQ(clean(again, report).text, r1.text);

    // The next report names a new address and host: old ones keep their
    // replacements, new ones get others.
    report_cleaner next(test_options());
    ASSERT_TRUE(next.load_map(first.map_json(), &problem)) << problem;
    cleaned_report r2 = clean(next, build_report(machine_sections("new 192.168.10.40 and 172.16.9.9\n")));
    ASSERT_TRUE(r2.ok) << r2.problem;
    for (const char* id : {"192.168.10.20", "web01", "SN-778899", "52:54:00:ab:cd:ef", "2001:470:1:2::20", "alice"})
        EXPECT_EQ(next.replace(id), first.replace(id)) << id;
    std::string a40 = next.replace("192.168.10.40");
    EXPECT_EQ(a40.substr(0, a40.rfind('.')), next.replace("192.168.10.1").substr(0, a40.rfind('.')));
    std::string other = next.replace("172.16.9.9");
    EXPECT_NE(other, "172.16.9.9");
    EXPECT_EQ(r2.text.find("172.16.9.9"), std::string::npos);
    EXPECT_EQ(first.replace("172.16.9.9"), "172.16.9.9");
}

TEST(ReportCleaner, GivenHostNamesAndKeywordsAreReplacedAsWholeWords) {
    clean_options options = test_options();
    options.host_names = {"db02.corp.example.com"};
    options.keywords = {"Project Falcon", "ACME"};
    report_cleaner cleaner(options);
    cleaned_report r = clean(cleaner, build_report(machine_sections("db02 serves Project Falcon for ACMEX\n")));
    ASSERT_TRUE(r.ok) << r.problem;
    EXPECT_EQ(r.text.find("db02"), std::string::npos);
    EXPECT_EQ(r.text.find("Project Falcon"), std::string::npos);
    EXPECT_EQ(r.text.find(">ACME<"), std::string::npos);
    EXPECT_NE(r.text.find("ACMEX"), std::string::npos);
    EXPECT_EQ(cleaner.replaced().keywords, 2);
    EXPECT_EQ(cleaner.replaced().users, 1);
}

// The result file name holds identity values with '/' as '_'.
TEST(ReportCleaner, FileNamesLoseTheirIdentifiersToo) {
    std::vector<built_section> sections = machine_sections();
    sections[1].tables[0].rows[0][2] = "SN/778899";
    report_cleaner cleaner(test_options());
    ASSERT_TRUE(clean(cleaner, build_report(sections)).ok);
    std::string name = cleaner.replace("ACME-web01-SN_778899", true);
    EXPECT_EQ(name.find("778899"), std::string::npos) << name;
    EXPECT_EQ(name.find("web01"), std::string::npos) << name;
}

TEST(ReportCleaner, RefusesReportsItCannotVouchFor) {
    std::string report = build_report(machine_sections());
    std::string damaged = report;
    damaged.replace(damaged.find("SN-778899"), 9, "SN-778898");
    std::string foreign = report;
    foreign.insert(foreign.find("<SECTION"), "<NOTE>web01</NOTE>\n");
    struct refusal {
        std::string document;
        const char* problem;
    } cases[] = {
        {damaged, "does not verify"},
        {foreign, "<NOTE>"},
        {report.substr(0, report.size() / 2), "not well-formed"},
        {"<?xml version=\"1.0\"?>\n<OTHER></OTHER>\n", "root element"},
        {"", "not well-formed"},
    };
    for (const refusal& c : cases) {
        report_cleaner cleaner(test_options());
        cleaned_report r = clean(cleaner, c.document);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.problem.find(c.problem), std::string::npos) << r.problem;
    }
}

// Damaged reports (random bytes changed, cut short) never crash the cleaner,
// and whatever it accepts comes out verifying.
TEST(ReportCleaner, RandomDamageIsRefusedOrCleanedSoundly) {
    const std::string report = build_report(machine_sections());
    std::mt19937 random(17);
    for (int round = 0; round < 300; ++round) {
        std::string document = report;
        int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i)
            document[random() % document.size()] = static_cast<char>(random() % 256);
        if (round % 5 == 0) document.resize(random() % document.size());
        report_cleaner cleaner(test_options());
        cleaned_report r = clean(cleaner, document);
        if (r.ok) {
            EXPECT_TRUE(check_report(r.text).ok) << round;
        }
    }
}

TEST(IdentifierText, AddressesAreRecognisedByTheirWholeForm) {
    using kind = address_token::kind;
    struct scan_case {
        const char* text;
        size_t at;
        kind type;
        size_t length;
    } cases[] = {
        {"10.0.2.15", 0, kind::ipv4, 9},
        {"addr:10.0.2.15/24", 5, kind::ipv4, 9},
        {"::ffff:10.0.2.15", 7, kind::ipv4, 9},
        {"range 10.0.0.1-10.0.0.9", 15, kind::ipv4, 8},
        {"1.2.3.4.5", 0, kind::none, 0},      // a version, not an address
        {"v10.0.0.1", 1, kind::none, 0},      // inside a word
        {"10.0.2.256", 0, kind::none, 0},
        {"fe80::1%eth0", 0, kind::ipv6, 7},
        {"address fd00::2: up", 8, kind::ipv6, 7},
        {"dead:beef::1", 0, kind::ipv6, 12},
        {"::ffff:10.0.2.15", 0, kind::none, 0},  // the IPv4 tail is scanned alone
        {"std::string", 3, kind::none, 0},
        {"08:05:27", 0, kind::none, 0},
        {"52:54:00:12:34:56", 0, kind::mac, 17},
        {"52-54-00-AB-CD-EF,", 0, kind::mac, 17},
        {"52:54:00:12:34:56:78", 0, kind::none, 0},  // a longer hardware address
        {"80:52:54:00:12:34:56", 3, kind::none, 0},
    };
    for (const scan_case& c : cases) {
        address_token t = scan_address(c.text, c.at);
        EXPECT_EQ(t.type, c.type) << c.text;
        EXPECT_EQ(t.length, c.length) << c.text;
    }
}

TEST(CleanMap, ReadsBackWhatItSavesAndRefusesOtherFiles) {
    clean_map map;
    map.note_text(identifier_kind::host, "host1");  // a replacement must never equal an identifier
    map.note_text(identifier_kind::host, "web01");
    map.note_mac(0x525400abcdefull);
    map.note_ipv4(0x0A000005);  // 10.0.0.5: the first pool block holds it
    std::string problem;
    ASSERT_TRUE(map.assign(&problem)) << problem;
    for (const text_identifier& t : map.texts()) EXPECT_NE(lower(t.replacement), "host1");
    uint32_t v4;
    ASSERT_TRUE(map.ipv4(0x0A000005, &v4));
    EXPECT_NE(v4 >> 8, 0x0A0000u);

    clean_map read;
    ASSERT_TRUE(read.from_json(map.to_json(), &problem)) << problem;
    EXPECT_EQ(read.to_json(), map.to_json());

    const char* bad[] = {
        "", "{}", "[1, 2]", "{\"map\": \"something else\", \"identifiers\": []}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [{\"kind\": \"ipv4\", \"original\": \"1.2.3\", "
        "\"replacement\": \"10.0.0.1\"}]}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [{\"kind\": \"ipv4-network\", \"original\": "
        "\"1.2.3.4/24\", \"replacement\": \"10.0.0.0/24\"}]}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [{\"kind\": \"planet\", \"original\": \"a\", "
        "\"replacement\": \"b\"}]}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [[[[[[[[[[[[]]]]]]]]]]]]}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [{\"kind\": \"uuid\", \"original\": \"abc\", "
        "\"replacement\": \"00000000000000000000000000000001\"}]}",
        "{\"map\": \"sifterra clean map\", \"identifiers\": [{\"kind\": \"host\", \"original\": \"\\u00e9\"",
    };
    for (const char* text : bad) {
        clean_map refused = map;
        EXPECT_FALSE(refused.from_json(text, &problem)) << text;
        EXPECT_EQ(refused.to_json(), map.to_json());
    }
}

}  // namespace
