// The service-processor section, rendered in mode 4 from the stand-in
// library's answers.
#include "svcproc/sp_sections.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "base/run_context.h"
#include "report/report.h"
#include "sp_test_support.h"
#include "support/temp_dir.h"

namespace {

std::time_t fixed_time = 0;
std::time_t fixed_clock() { return fixed_time; }

class SectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_report_state();
        set_output_mode(4);
        if (const char* tz = std::getenv("TZ")) saved_tz = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        reset_report_state();
        set_clock_source(nullptr);
        if (saved_tz.empty())
            unsetenv("TZ");
        else
            setenv("TZ", saved_tz.c_str(), 1);
        tzset();
    }

    std::string render(uint16_t selector, const char* expected_status = "OK") {
        captured_stream out;
        EXPECT_STREQ(gather_service_processor(out.get(), selector), expected_status);
        return out.text();
    }

    // The table element with the given title, or "".
    static std::string table(const std::string& text, const std::string& title) {
        size_t start = text.find("<TABLE ID=\"" + title + "\">");
        if (start == std::string::npos) return "";
        return text.substr(start, text.find("</TABLE>", start) + 8 - start);
    }
    // The row element with the given ID, or "".
    static std::string row(const std::string& text, const std::string& id) {
        size_t start = text.find("<ROW ID=\"" + id + "\">");
        if (start == std::string::npos) return "";
        return text.substr(start, text.find("</ROW>", start) - start);
    }
    static bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
    static std::string rows(int count) { return "<ROWS>" + std::to_string(count) + "</ROWS>"; }

    // A reply of size bytes, zero except where set.
    static bytes reply(size_t size, std::initializer_list<std::pair<size_t, std::string>> texts = {}) {
        bytes data(size, 0);
        for (const auto& [at, text] : texts) std::copy(text.begin(), text.end(), data.begin() + at);
        return data;
    }

    fake_library library;
    std::string saved_tz;
};

TEST_F(SectionTest, SelectorChoosesTheGroups) {
    bytes firmware = reply(32, {{0, "FWBUILD"}, {23, "20230315"}});
    firmware[31] = 7;
    library.add("\x04\x03\x05\x06\x01", firmware);
    library.add("\x04\x03\x05\x01", reply(47, {{13, "SYSBUILD1"}, {22, "SER1234"}, {29, "PLANAR00001"},
                                               {40, "8670ABC"}}));

    std::string text = render(sp_group_vpd);
    EXPECT_EQ(text.rfind("<SECTION ID=\"SERVICE PROCESSOR INFORMATION\">\n<TABLE", 0), 0u) << text;
    size_t tables = 0;
    for (size_t at = text.find("<TABLE "); at != std::string::npos; at = text.find("<TABLE ", at + 1)) ++tables;
    EXPECT_EQ(tables, 2u) << text;
    std::string fw = table(text, "Service Processor Firmware VPD");
    EXPECT_TRUE(has(fw, "<ROW ID=\"\">\n<ASC ID=\"Build ID\" W=\"8\">FWBUILD</ASC>\n"
                        "<ASC ID=\"Date\" W=\"8\">20230315</ASC>\n<DEC ID=\"Revision\" W=\"8\">7</DEC>"))
        << fw;
    std::string sys = table(text, "Service Processor System VPD");
    EXPECT_TRUE(has(sys, ">SYSBUILD1</ASC>\n<ASC ID=\"Model/Type\" W=\"10\">8670ABC</ASC>\n"
                         "<ASC ID=\"Serial Number\" W=\"13\">SER1234</ASC>\n"
                         "<ASC ID=\"Planar Unique ID\" W=\"16\">PLANAR00001</ASC>"))
        << sys;

    EXPECT_EQ(render(0), "<SECTION ID=\"SERVICE PROCESSOR INFORMATION\">\n<CHK>       0</CHK>\n</SECTION>\n");
}

TEST_F(SectionTest, VpdTablesAreLeftOutWhenTheirReadFails) {
    library.add("\x04\x03\x05\x06\x01", {}, 0, 3);
    library.add("\x04\x03\x05\x01", {}, 0, 3);
    EXPECT_EQ(render(sp_group_vpd), "<SECTION ID=\"SERVICE PROCESSOR INFORMATION\">\n<CHK>       0</CHK>\n</SECTION>\n");
}

TEST_F(SectionTest, DimmsUpToTheFirstMissingSlot) {
    bytes spd = reply(128, {{73, "MT16LSDT3264AG-13E"}, {91, "B1"}});
    spd[2] = 4, spd[5] = 2, spd[17] = 4, spd[31] = 32, spd[126] = 100, spd[64] = 0x2C;
    spd[95] = 0x78, spd[96] = 0x56, spd[97] = 0x34, spd[98] = 0xF2;
    library.add("\x04\x03\x05\x0B\x01", spd);
    spd[2] = 2, spd[64] = 0x2D;  // EDO, a code without its parity bit
    library.add("\x04\x03\x05\x0B\x02", spd);
    library.add("\x04\x03\x05\x0B\x03", {}, sp_status_no_object);
    library.add("\x04\x03\x05\x0B\x04", spd);

    std::string dimms = table(render(sp_group_dimms), "Memory DIMMS");
    EXPECT_TRUE(has(dimms, rows(2))) << dimms;
    EXPECT_TRUE(has(row(dimms, "1"), "<DEC ID=\"DIMM\" W=\"4\">1</DEC>\n<DEC ID=\"Size MB\" W=\"7\">256</DEC>\n"
                                     "<DEC ID=\"Speed MHz\" W=\"9\">100</DEC>\n<STR ID=\"Type\" W=\"7\">SDRAM</STR>\n"
                                     "<STR ID=\"Manufacturer\" W=\"25\">Micron Technology</STR>\n"
                                     "<ASC ID=\"Part Number\" W=\"18\">MT16LSDT3264AG-13E</ASC>\n"
                                     "<ASC ID=\"Revision\" W=\"8\">B1</ASC>\n"
                                     "<ASC ID=\"Serial Number\" W=\"13\">F2345678</ASC>"))
        << dimms;
    EXPECT_TRUE(has(row(dimms, "2"), ">EDO</STR>\n<STR ID=\"Manufacturer\" W=\"25\">Unknown</STR>")) << dimms;
    std::string asked = library.requests();
    EXPECT_TRUE(has(asked, "02 0403050B01 00008000\n")) << asked;  // block reads of 128 bytes
    EXPECT_FALSE(has(asked, "0403050B04")) << asked;
}

TEST_F(SectionTest, FruUnitsSkipFailuresAndStopAtTheFirstMissing) {
    bytes fru = reply(55, {{14, "PN0123456789"}, {26, "FRU012345678"}, {38, "SERLOW"}, {44, "SERHI_"}, {50, "IBMX"}});
    fru[54] = 3;
    library.add("\x04\x03\x05\x02", fru);
    library.add("\x04\x03\x05\x0C\x01", {}, 0, 4);  // PSU 1: the read fails
    library.add("\x04\x03\x05\x0C\x02", fru);
    library.add("\x04\x03\x05\x0C\x03", {}, sp_status_no_object);
    library.add("\x04\x03\x05\x0C\x04", fru);

    std::string text = table(render(sp_group_fru), "FRU data");
    std::string planar = row(text, "Planar VPD");
    EXPECT_TRUE(has(planar, "<ASC ID=\"Device\" W=\"25\">Planar VPD</ASC>\n"
                            "<ASC ID=\"Part Number\" W=\"11\">PN0123456789</ASC>\n"
                            "<ASC ID=\"FRU Number\" W=\"10\">FRU012345678</ASC>\n"
                            "<ASC ID=\"Serial Number\" W=\"13\">SERHI_SERLOW</ASC>\n"
                            "<ASC ID=\"Manufacturer\" W=\"12\">IBMX</ASC>\n<ASC ID=\"Slot\" W=\"4\">3</ASC>"))
        << text;
    EXPECT_TRUE(has(text, "<ROW ID=\"PSU 2 VPD\">\n<ASC ID=\"Device\" W=\"25\">PSU 2 VPD</ASC>")) << text;
    EXPECT_TRUE(has(text, rows(2))) << text;
    EXPECT_FALSE(has(library.requests(), "0403050C04"));
    EXPECT_TRUE(has(library.requests(), "02 0403050F0201 00008000\n"));  // the first CPU
    EXPECT_FALSE(has(library.requests(), "0403050F0202"));
}

TEST_F(SectionTest, ReadingsNeedTwoBytesAndSeriesStopAtTheFirstMissing) {
    library.add("\x02\x02\x01\x01", {0x00, 0x02});  // 512
    library.add("\x02\x02\x01\x02", {0x00, 0x02, 0x00, 0x00});
    library.add("\x02\x02\x01\x04", {0x50, 0xFB});  // -1200
    library.add("\x02\x02\x03\x01", {0x2C, 0x01});
    library.add("\x02\x02\x03\x02", {}, sp_status_no_object);
    library.add("\x02\x02\x03\x03", {0x2C, 0x01});
    library.add("\x02\x01\x02\x01", {0xC4, 0x09});

    std::string text = render(sp_group_voltages | sp_group_temperatures);
    std::string volts = table(text, "Voltages");
    EXPECT_TRUE(has(volts, "<ROW ID=\"Planar +5v\">\n<ASC ID=\"Power Rail\" W=\"12\">Planar +5v</ASC>\n"
                           "<ASC ID=\"Voltage (Volts)\" W=\"15\">5.12</ASC>"))
        << volts;
    EXPECT_TRUE(has(row(volts, "Planar -12v"), ">-12.00</ASC>")) << volts;
    EXPECT_TRUE(has(row(volts, "VRM 01"), ">3.00</ASC>")) << volts;
    EXPECT_TRUE(has(volts, rows(3))) << volts;
    EXPECT_FALSE(has(library.requests(), "02020303")) << library.requests();
    std::string temperatures = table(text, "System Temperatures");
    EXPECT_TRUE(has(temperatures, "<ROW ID=\"CPU 1 Temperature\">\n<ASC ID=\"Area\" W=\"31\">CPU 1 Temperature</ASC>\n"
                                  "<ASC ID=\"Temperature (C)\" W=\"15\">25.00</ASC>"))
        << temperatures;
    EXPECT_TRUE(has(temperatures, rows(1))) << temperatures;
    EXPECT_TRUE(has(library.requests(), "02010502")) << library.requests();  // the last reading asked
}

TEST_F(SectionTest, FanSpeedsInPercent) {
    library.add("\x02\x03", {0, 101, 100, 75});
    std::string fans = table(render(sp_group_fans), "Fan Status");
    const char* expected[] = {"Unknown", "Unknown", "100%", "75%"};
    for (int fan = 1; fan <= 4; ++fan)
        EXPECT_TRUE(has(row(fans, std::to_string(fan)),
                        "<DEC ID=\"Fan\" W=\"3\">" + std::to_string(fan) + "</DEC>\n<STR ID=\"Speed  \" W=\"7\">" +
                            expected[fan - 1] + "</STR>"))
            << fans;
    EXPECT_TRUE(has(fans, rows(4)));
}

TEST_F(SectionTest, DialSettingsShowSecretsOnlyByLength) {
    library.add_text("\x04\x01\x03\x01\x03", "Service desk");
    library.add("\x04\x01\x03\x01\x01", {2});
    library.add_text("\x04\x01\x03\x01\x02", "5551234");
    library.add("\x04\x01\x03\x01\x04", {7});
    library.add_text("\x04\x01\x03\x01\x05", "operator");
    library.add_text("\x04\x01\x03\x01\x06", "Hunter22");
    library.add_text("\x04\x01\x03\x01\x07", "");
    library.add("\x04\x01\x03\x02\x06", {}, 0, 5);  // entry 2: the password read fails
    library.add_text("\x04\x01\x04\x01\x01", "dialer");
    library.add_text("\x04\x01\x04\x01\x02", "Tr0ub4dor&3");
    library.add("\x04\x01\x04\x01\x03", {23, 3, 15, 0, 8, 5, 9});
    library.add("\x04\x01\x04\x01\x04", {0x02});
    library.add("\x04\x01\x04\x02\x04", {}, 0, 5);  // entry 2: the flags read fails

    captured_stream trace;
    FILE* saved_log = debug_log;
    debug_log = trace.get();
    std::string text = render(sp_group_dial_out | sp_group_dial_in);
    debug_log = saved_log;

    std::string out = table(text, "Dial Out Settings");
    EXPECT_TRUE(has(row(out, "1"), "<STR ID=\"Description\" W=\"32\">Service desk</STR>\n"
                                   "<STR ID=\"Status\" W=\"8\">Enabled</STR>\n"
                                   "<STR ID=\"Phone # or LAN Addr\" W=\"50\">5551234</STR>\n"
                                   "<STR ID=\"Type\" W=\"11\">Invalid</STR>\n"
                                   "<ASC ID=\"Login ID\" W=\"16\">operator</ASC>\n"
                                   "<STR ID=\"Password\" W=\"8\">8 chars</STR>\n"
                                   "<STR ID=\"Pager PIN\" W=\"9\">0 chars</STR>"))
        << out;
    EXPECT_TRUE(has(row(out, "2"), "<STR ID=\"Password\" W=\"8\">Unknown</STR>")) << out;
    EXPECT_TRUE(has(out, rows(12)));

    std::string in = table(text, "Dial In Settings");
    EXPECT_TRUE(has(row(in, "1"), "<STR ID=\"Login ID\" W=\"16\">dialer</STR>\n"
                                  "<STR ID=\"Password\" W=\"8\">11 chars</STR>\n"
                                  "<STR ID=\"Last Login\" W=\"20\">03/15/23 08:05:09</STR>\n"
                                  "<STR ID=\"Read Only\" W=\"9\">No</STR>\n<STR ID=\"Dial Back\" W=\"9\">Yes</STR>"))
        << in;
    EXPECT_TRUE(has(row(in, "2"), "<STR ID=\"Last Login\" W=\"20\">Unknown</STR>\n"
                                  "<STR ID=\"Read Only\" W=\"9\">Unknown</STR>\n"
                                  "<STR ID=\"Dial Back\" W=\"9\">Unknown</STR>"))
        << in;

    for (const char* secret : {"Hunter22", "Tr0ub4dor"}) {
        EXPECT_FALSE(has(text, secret)) << secret;
        EXPECT_FALSE(has(trace.text(), secret)) << secret;
    }
}

TEST_F(SectionTest, AlertsEnabledDisabledOrUnknown) {
    library.add("\x04\x02\x01\x01", {1});
    library.add("\x04\x02\x01\x02", {0});
    library.add("\x04\x02\x03\x08", {}, 0, 5);
    std::string alerts = table(render(sp_group_alerts), "Dial Out Alerts");
    EXPECT_TRUE(has(alerts, "<ROW ID=\"Temperature\">\n<STR ID=\"Alert\" W=\"25\">Temperature</STR>\n"
                            "<STR ID=\"Status\" W=\"8\">Enabled</STR>"))
        << alerts;
    EXPECT_TRUE(has(row(alerts, "Voltage"), ">Disabled</STR>"));
    EXPECT_TRUE(has(row(alerts, "PFA"), ">Unknown</STR>"));
    EXPECT_TRUE(has(alerts, rows(19)));
}

TEST_F(SectionTest, ClocksOfTheMachineAndTheServiceProcessor) {
    const struct {
        std::time_t now;
        const char* shown;
    } rows_[] = {{1721039400, "07/15/24 10:30:00"}, {0, "01/01/70 00:00:00"}};
    set_clock_source(fixed_clock);
    for (const auto& r : rows_) {
        fixed_time = r.now;
        std::string clocks = table(render(sp_group_clocks_and_log), "Timestamps");
        EXPECT_TRUE(has(clocks, "<ROW ID=\"System Clock\">\n<ASC ID=\"Source\" W=\"23\">System Clock</ASC>\n"
                                "<ASC ID=\"MM/DD/YY HH:MM:SS\" W=\"17\">" +
                                    std::string(r.shown) + "</ASC>"))
            << clocks;
        EXPECT_TRUE(has(clocks, rows(1))) << clocks;
    }
    library.add("\x04\x04\x01", {24, 7, 15, 1, 10, 31, 2});
    EXPECT_TRUE(has(render(sp_group_clocks_and_log), "<ROW ID=\"Service Processor Clock\">\n"
                                                     "<ASC ID=\"Source\" W=\"23\">Service Processor Clock</ASC>\n"
                                                     "<ASC ID=\"MM/DD/YY HH:MM:SS\" W=\"17\">07/15/24 10:31:02</ASC>"));
}

// One error-log entry: length, source, severity, date and the two message
// texts, with four bytes between them.
bytes log_entry(int length, const std::string& source, char severity, int minute, const std::string& first,
                const std::string& second) {
    std::string entry(19, '\0');
    entry[0] = static_cast<char>(length), entry[1] = static_cast<char>(length >> 8);
    entry.replace(2, source.size(), source);
    entry[11] = severity;
    entry[12] = 23, entry[13] = 3, entry[14] = 15, entry[16] = 10, entry[17] = static_cast<char>(minute);
    entry[18] = 30;
    entry += first + std::string("\0xxxx", 5) + second + '\0';
    return bytes(entry.begin(), entry.end());
}

TEST_F(SectionTest, ErrorLogNumbersEntriesOfTheSameTime) {
    library.add("\x03\x02", log_entry(19 + 4 + 5 + 3, "SP", 'E', 20, "Boot", "OK!"));
    library.add("\x03\x02", log_entry(19 + 4 + 5, "SP", 'W', 20, "Fans", "hidden"));  // the first text fills it
    library.add("\x03\x02", log_entry(19 + 4 + 5 + 2, "POST", 'I', 20, "Temp", "HIGH"));
    library.add("\x03\x02", log_entry(-1, "SP", 'E', 21, "Next", "hidden"));

    std::string log = table(render(sp_group_clocks_and_log), "Service Processor Error Log");
    EXPECT_TRUE(has(log, "<ROW ID=\"03/15/23 10:20:30 1\">\n<DEC ID=\"Entry\" W=\"5\">1</DEC>\n"
                         "<ASC ID=\"Severity\" W=\"8\">E</ASC>\n<ASC ID=\"Source\" W=\"8\">SP</ASC>\n"
                         "<ASC ID=\"MM/DD/YY HH:MM:SS\" W=\"17\">03/15/23 10:20:30</ASC>\n"
                         "<ASC ID=\"Message\" W=\"100\">BootOK!</ASC>"))
        << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:20:30 2"), ">2</DEC>\n<ASC ID=\"Severity\" W=\"8\">W</ASC>")) << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:20:30 2"), ">Fans</ASC>")) << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:20:30 3"), ">3</DEC>")) << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:20:30 3"), ">TempHI</ASC>")) << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:21:30 1"), ">4</DEC>")) << log;
    EXPECT_TRUE(has(row(log, "03/15/23 10:21:30 1"), ">Next</ASC>")) << log;
    EXPECT_TRUE(has(log, rows(4))) << log;
    EXPECT_EQ(library.requests(), std::string("02 040401 \n02 0302 \n03 0302 \n03 0302 \n03 0302 \n03 0302 \n"));
}

TEST_F(SectionTest, ErrorLogThatNeverEndsIsCut) {
    library.add("\x03\x02", log_entry(30, "SP", 'E', 20, "Loop", ""));
    library.repeat_last(1);
    std::string log = table(render(sp_group_clocks_and_log), "Service Processor Error Log");
    EXPECT_TRUE(has(log, rows(sp_log_entry_limit))) << log.substr(log.size() - 200);
}

TEST_F(SectionTest, RefusedDriverMeansNotFoundAndNothingWritten) {
    library.reset(1);
    EXPECT_EQ(render(sp_all_groups, "Not Found"), "");
}

TEST_F(SectionTest, WholeSectionOverThePorts) {
    set_sp_library_name("/nonexistent/libsvcp.so");
    port_device simulated;
    with_port_device use(simulated);
    simulated.replies.push_back(reply_frame(2, {2, 3}, 0, {50, 0}));
    std::string fans = table(render(sp_group_fans), "Fan Status");
    EXPECT_TRUE(has(row(fans, "1"), ">50%</STR>")) << fans;
    EXPECT_TRUE(has(row(fans, "2"), ">Unknown</STR>")) << fans;

    port_device absent;
    absent.idle_status = 0xFF;
    with_port_device none(absent);
    EXPECT_EQ(render(sp_all_groups, "Not Found"), "");
}

}  // namespace
