// The other ways machines write their identifiers: dashed IPv4 in cloud host
// names, the hexadecimal of /proc/net, switch-style and bare MAC addresses,
// the machine id and user names that ps cuts short.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "privacy/identifier_text.h"
#include "privacy/report_cleaner.h"
#include "report/report_builder.h"
#include "report/report_check.h"

namespace {

TEST(IdentifierForms, OtherFormsAreRecognisedWithTheirShape) {
    using kind = address_token::kind;
    using form = address_token::form;
    struct scan_case {
        const char* text;
        size_t at;
        kind type;
        form written;
        size_t length;
        bool known_only;
        uint32_t v4;
        uint64_t mac;
    } cases[] = {
        {"ip-192-0-2-2.ec2.internal", 3, kind::ipv4, form::dashed, 9, false, 0xC0000202, 0},
        {"host 192-0-2-2 up", 5, kind::ipv4, form::dashed, 9, true, 0xC0000202, 0},
        {"2024-01-02-03", 0, kind::none, form::usual, 0, false, 0, 0},  // a date
        {"ip-10-0-2-15-9", 3, kind::none, form::usual, 0, false, 0, 0},
        {"   0: 0100007F:0016 00000000:0000", 6, kind::ipv4, form::kernel_hex, 8, true, 0x7F000001, 0},
        {"eth0\t0202000A\t00000000", 5, kind::ipv4, form::kernel_hex, 8, true, 0x0A000202, 0},
        {"4c4c4544-0042-3510-8051-b4c04f4a3132", 0, kind::none, form::usual, 0, false, 0, 0},  // a UUID's group
        {"0x0100007F", 2, kind::none, form::usual, 0, false, 0, 0},
        {"mac 02fc.0000.0001 on", 4, kind::mac, form::dotted, 14, false, 0, 0x02fc00000001},
        {"02FC.0000.0001.", 0, kind::mac, form::dotted, 14, false, 0, 0x02fc00000001},
        {"02fc.0000.0001.2", 0, kind::none, form::usual, 0, false, 0, 0},
        {"ether 02fc00000001\n", 6, kind::mac, form::bare, 12, true, 0, 0x02fc00000001},
        {"02fc000000012", 0, kind::none, form::usual, 0, false, 0, 0},
        {"4c4c4544-0042-3510-8051-b4c04f4a3132", 24, kind::none, form::usual, 0, false, 0, 0},
    };
    for (const scan_case& c : cases) {
        address_token t = scan_address(c.text, c.at);
        EXPECT_EQ(t.type, c.type) << c.text;
        if (t.type == kind::none || c.type == kind::none) continue;
        EXPECT_EQ(t.written, c.written) << c.text;
        EXPECT_EQ(t.length, c.length) << c.text;
        EXPECT_EQ(t.known_only, c.known_only) << c.text;
        EXPECT_EQ(t.v4, c.v4) << c.text;
        EXPECT_EQ(t.mac, c.mac) << c.text;
        // Written back in the same form it gives the same text.
        std::string back = address_in_form(t, t.v4, t.mac);
        EXPECT_EQ(back, std::string(c.text).substr(c.at, c.length)) << c.text;
    }
}

bool accounts(const std::string& name, unsigned* uid) {
    if (name == "verylongname") *uid = 1004;
    else if (name == "systemd-timesync") *uid = 997;
    else if (name == "root") *uid = 0;
    else return false;
    return true;
}

std::vector<std::pair<std::string, unsigned>> accounts_by_prefix(const std::string& prefix) {
    std::vector<std::pair<std::string, unsigned>> all = {{"verylongname", 1004}, {"systemd-timesync", 997}};
    std::vector<std::pair<std::string, unsigned>> found;
    for (const auto& account : all)
        if (account.first.rfind(prefix, 0) == 0) found.push_back(account);
    return found;
}

std::string cleaned(const std::string& report, const clean_options& options, std::string* problem) {
    report_cleaner cleaner(options);
    FILE* in = fmemopen(const_cast<char*>(report.data()), report.size(), "rb");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    bool ok = cleaner.clean(in, out, problem);
    std::fclose(in);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return ok ? text : "";
}

TEST(IdentifierForms, NoneOfThemSurvivesCleaning) {
    const std::string machine_id = "5c1f0d9e8a7b4c3d9e2f1a0b3c4d5e6f";
    const std::vector<built_section> sections = {
        {"Network Devices",
         {{"Network Interfaces", {{"Interface", ASCII_STRING}, {"Address", ASCII_STRING}},
           {{"eth0", "eth0", "02:fc:00:00:00:01"}}},
          {"Network Addresses", {{"Address", ASCII_STRING}, {"Netmask", ASCII_STRING}},
           {{"eth0", "192.0.2.2", "255.255.255.0"}}},
          {"Network Routing Table", {{"Destination", ASCII_STRING}, {"Gateway", ASCII_STRING}, {"Netmask", ASCII_STRING}},
           {{"1", "192.0.2.0", "0.0.0.0", "255.255.255.0"}, {"2", "0.0.0.0", "192.0.2.1", "0.0.0.0"}}}},
         {{"/proc/net/route", "Iface\tDestination\tGateway\neth0\t000200C0\t00000000\neth0\t00000000\t010200C0\n"},
          {"/proc/net/tcp", "  0: 020200C0:0016 0100007F:A2B4 01\n"},
          {"/etc/hostname", "ip-192-0-2-2\n"},
          {"switch", "port 7 learned 02fc.0000.0001 and 02FC00000001\n"}}},
        {"Host Identity",
         {{"Identity", {{"Machine ID", ASCII_STRING}}, {{"id", machine_id}}}},
         {{"/etc/machine-id", machine_id + "\n"},
          {"journal", "_MACHINE_ID=" + machine_id + " boot 5c1f0d9e-8a7b-4c3d-9e2f-1a0b3c4d5e6f\n"}}},
        {"Running Processes",
         {},
         {{"ps auxw", "USER       PID COMMAND\nroot         1 init\nverylon+   300 app\nsystemd+   400 timesyncd\n"}}},
    };
    clean_options options;
    options.lookup = accounts;
    options.prefix_lookup = accounts_by_prefix;
    std::string problem;
    const std::string text = cleaned(build_report(sections), options, &problem);
    ASSERT_FALSE(text.empty()) << problem;
    for (const char* gone : {"192-0-2-2", "020200C0", "000200C0", "010200C0", "02fc.0000.0001", "02FC00000001",
                             "5c1f0d9e8a7b4c3d9e2f1a0b3c4d5e6f", "5c1f0d9e-8a7b", "verylon+"})
        EXPECT_EQ(text.find(gone), std::string::npos) << gone << "\n" << text;
    // The forms stay forms, and what is not an identifier stays.
    for (const char* kept : {"ip-10-", "0100007F:A2B4", "00000000", "systemd+", "learned 02", ".0000.", "_MACHINE_ID="})
        EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n" << text;
    EXPECT_TRUE(check_report(text).ok);
}

}  // namespace
