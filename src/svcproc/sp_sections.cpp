#include "svcproc/sp_sections.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/run_context.h"
#include "report/report.h"
#include "report/report_table.h"
#include "svcproc/sp_access.h"

namespace {

const char* const unknown = "Unknown";

struct column_def {
    const char* name;
    ColumnType type;
    int width;  // 0: the name's length
};

template <size_t N>
void define_columns(report_table& table, const column_def (&columns)[N]) {
    table.start_heading();
    for (size_t i = 0; i < N; ++i) {
        table.add_column(columns[i].name, columns[i].type);
        if (columns[i].width) table.set_column_width(static_cast<int>(i), columns[i].width);
    }
    table.end_heading();
}

struct code_name {
    unsigned code;
    const char* name;
};

template <size_t N>
const char* name_of(const code_name (&names)[N], unsigned code, const char* otherwise) {
    for (const code_name& entry : names)
        if (entry.code == code) return entry.name;
    return otherwise;
}

std::string decimal(long value) { return std::to_string(value); }

// A key: the bytes of prefix followed by the given bytes (all nonzero).
std::string key_of(const char* prefix, int byte1, int byte2 = 0) {
    std::string key = prefix;
    key += static_cast<char>(byte1);
    if (byte2) key += static_cast<char>(byte2);
    return key;
}

// A block read: offset 0, length 128, both 16-bit little-endian.
const uint8_t block_read_data[4] = {0x00, 0x00, 0x80, 0x00};

int read_block(sp_connection& connection, sp_request& block, const std::string& key) {
    sp_build_request(block, sp_read_object, key.c_str(), block_read_data, sizeof block_read_data);
    return sp_transact(connection, &block);
}

int read_object(sp_connection& connection, sp_request& block, const std::string& key,
                uint8_t command = sp_read_object) {
    sp_build_request(block, command, key.c_str());
    return sp_transact(connection, &block);
}

// Firmware and system VPD: one row each, written only when the read worked.

const column_def firmware_vpd_columns[] = {
    {"Build ID", ASCII_STRING, 0}, {"Date", ASCII_STRING, 8}, {"Revision", INTEGER, 0}};

const column_def system_vpd_columns[] = {{"Build ID", ASCII_STRING, 0},
                                          {"Model/Type", ASCII_STRING, 0},
                                          {"Serial Number", ASCII_STRING, 0},
                                          {"Planar Unique ID", ASCII_STRING, 0}};

void write_vpd(FILE* report, sp_connection& connection, sp_request& block) {
    if (read_object(connection, block, "\x04\x03\x05\x06\x01") == 0) {
        report_table table(report, "Service Processor Firmware VPD");
        define_columns(table, firmware_vpd_columns);
        table.start_row("");
        table.log_data(block.reply_text(0, 7).c_str());
        table.log_data(block.reply_text(23, 8).c_str());
        table.log_data(int32_t{block.reply_byte(31)});
        table.end_row();
    }
    if (read_object(connection, block, "\x04\x03\x05\x01") == 0) {
        report_table table(report, "Service Processor System VPD");
        define_columns(table, system_vpd_columns);
        table.start_row("");
        table.log_data(block.reply_text(13, 9).c_str());
        table.log_data(block.reply_text(40, 7).c_str());
        table.log_data(block.reply_text(22, 7).c_str());
        table.log_data(block.reply_text(29, 11).c_str());
        table.end_row();
    }
}

// Memory modules, from their serial presence detect data.

// JEDEC manufacturer codes of the first bank, with their odd-parity bit.
const code_name module_makers[] = {
    {0x01, "AMD"}, {0x02, "AMI"}, {0x83, "Fairchild"}, {0x04, "Fujitsu"}, {0x85, "GTE"}, {0x86, "Harris"},
    {0x07, "Hitachi"}, {0x08, "Inmos"}, {0x89, "Intel"}, {0x8A, "I.T.T."}, {0x0B, "Intersil"},
    {0x8C, "Monolithic Memories"}, {0x0D, "Mostek"}, {0x0E, "Motorola"}, {0x8F, "National"}, {0x10, "NEC"},
    {0x91, "RCA"}, {0x92, "Raytheon"}, {0x13, "Rockwell"}, {0x94, "Seeq"}, {0x15, "Signetics"},
    {0x16, "Synertek"}, {0x97, "Texas Instruments"}, {0x98, "Toshiba"}, {0x19, "Xicor"}, {0x1A, "Zilog"},
    {0x9B, "Eurotechnique"}, {0x1C, "Mitsubishi"}, {0x9D, "Lucent"}, {0x9E, "Exel"}, {0x1F, "Atmel"},
    {0x20, "SGS/Thomson"}, {0xA1, "Lattice Semi."}, {0xA2, "NCR"}, {0x23, "Wafer Scale Integration"},
    {0xA4, "Varnholt"}, {0x25, "Tristar"}, {0x26, "Visic"}, {0xA7, "Intl. CMOS Technology"}, {0xA8, "SSSI"},
    {0x29, "MicrochipTechnology"}, {0x2A, "Ricoh"}, {0xAB, "VLSI"}, {0x2C, "Micron Technology"},
    {0xAD, "Hyundai Electronics"}, {0xAE, "OKI Semiconductor"}, {0x2F, "ACTEL"}, {0xB0, "Sharp"},
    {0x31, "Catalyst"}, {0x32, "Panasonic"}, {0xB3, "IDT"}, {0x34, "Cypress"}, {0xB5, "DEC"},
    {0xB6, "LSI Logic"}, {0x37, "Plessey"}, {0x38, "UTMC"}, {0xB9, "Thinking Machine"}, {0xBA, "Thomson CSF"},
    {0x3B, "Integrated CMOS(Vertex)"}, {0xBC, "Honeywell"}, {0x3D, "Tektronix"}, {0x3E, "Sun Microsystems"},
    {0xBF, "SST"}, {0x40, "MOSEL"}, {0xC1, "Infineon"}, {0xC2, "Macronix"}, {0x43, "Xerox"},
    {0xC4, "Plus Logic"}, {0x45, "SunDisk"}, {0x46, "Elan Circuit Tech."}, {0xC7, "European Silicon Str."},
    {0xC8, "Apple Computer"}, {0xC9, "Xilinx"}, {0x4A, "Compaq"}, {0xCB, "Protocol Engines"}, {0x4C, "SCI"},
    {0xCD, "Seiko Instruments"}, {0xCE, "Samsung"}, {0x4F, "I 3 Design System"}, {0xD0, "Klic"},
    {0x51, "Crosspoint Solutions"}, {0x52, "Alliance Semiconductor"}, {0xD3, "Tandem"},
    {0x54, "Hewlett-Packard"}, {0xD5, "Intg. Silicon Solutions"}, {0xD6, "Brooktree"}, {0x57, "New Media"},
    {0x58, "MHS Electronic"}, {0xD9, "Performance Semi."}, {0xDA, "Winbond Electronic"},
    {0x5B, "Kawasaki Steel"}, {0xDC, "Bright Micro"}, {0x5D, "TECMAR"}, {0x5E, "Exar"}, {0xDF, "PCMCIA"},
    {0xE0, "Goldstar"}, {0x61, "Northern Telecom"}, {0x62, "Sanyo"}, {0xE3, "Array Microsystems"},
    {0x64, "Crystal Semiconductor"}, {0xE5, "Analog Devices"}, {0xE6, "PMC-Sierra"}, {0x67, "Asparix"},
    {0x68, "Convex Computer"}, {0xE9, "Quality Semiconductor"}, {0xEA, "Nimbus Technology"},
    {0x6B, "Transwitch"}, {0xEC, "ITT Intermetall"}, {0x6D, "Cannon"}, {0x6E, "Altera"}, {0xEF, "NEXCOM"},
    {0x70, "QUALCOMM"}, {0xF1, "Sony"}, {0xF2, "Cray Research"}, {0x73, "Austria Micro"}, {0xF4, "Vitesse"},
    {0x75, "Aster Electronics"}, {0x76, "Bay Networks"}, {0xF7, "Zentrum Mikroeleckt."}, {0xF8, "TRW"},
    {0x79, "Thesys"}, {0x7A, "Solbourne Computer"}, {0xFB, "Allied-Signal"}, {0x7C, "Dialog"},
    {0xFD, "Media Vision"}, {0xFE, "Level One Communication"},
};
static_assert(std::size(module_makers) == 126);

const code_name module_types[] = {{2, "EDO"}, {4, "SDRAM"}};

const column_def dimm_columns[] = {
    {"DIMM", INTEGER, 0},           {"Size MB", INTEGER, 0},         {"Speed MHz", INTEGER, 0},
    {"Type", STRING, 7},            {"Manufacturer", STRING, 25},    {"Part Number", ASCII_STRING, 18},
    {"Revision", ASCII_STRING, 0},  {"Serial Number", ASCII_STRING, 0}};

constexpr int dimm_slots = 32;

void write_dimm_row(report_table& table, int slot, const sp_request& block) {
    auto spd = [&block](size_t i) { return block.reply_byte(i); };
    std::string instance = decimal(slot);
    table.start_row(instance.c_str());
    table.log_data(slot);
    table.log_data(spd(5) * spd(17) * spd(31));
    table.log_data(int32_t{spd(126)});
    table.log_data(name_of(module_types, spd(2), unknown));
    table.log_data(name_of(module_makers, spd(64), unknown));
    table.log_data(block.reply_text(73, 18).c_str());
    table.log_data(block.reply_text(91, 2).c_str());
    unsigned long serial = spd(95) | spd(96) << 8 | spd(97) << 16 | static_cast<unsigned long>(spd(98)) << 24;
    char serial_text[16];
    std::snprintf(serial_text, sizeof serial_text, "%08lX", serial);
    table.log_data(serial_text);
    table.end_row();
}

void write_dimms(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "Memory DIMMS", "DIMM_INSTANCE");
    define_columns(table, dimm_columns);
    for (int slot = 1; slot <= dimm_slots; ++slot) {
        if (read_block(connection, block, key_of("\x04\x03\x05\x0B", slot)) != 0) continue;
        if (block.status == sp_status_no_object) break;
        if (block.status != sp_status_ok) continue;
        write_dimm_row(table, slot, block);
    }
}

// Field-replaceable units.

struct fru_device {
    const char* name;
    const char* key;  // with more than one unit, its last byte becomes the unit number
    int count;
};

const fru_device fru_devices[] = {
    {"Planar", "\x04\x03\x05\x02", 1},
    {"PCI Card", "\x04\x03\x05\x02\x01", 1},
    {"Front Panel", "\x04\x03\x05\x02\x02\x01", 1},
    {"Super IO", "\x04\x03\x05\x02\x03\x01", 1},
    {"Connecting Card", "\x04\x03\x05\x02\x04\x01", 2},
    {"Memory Card", "\x04\x03\x05\x02\x05\x01", 2},
    {"CPU Card", "\x04\x03\x05\x02\x06\x01", 2},
    {"LED Card", "\x04\x03\x05\x02\x07\x01", 1},
    {"CPU / Memory Card", "\x04\x03\x05\x03\x01", 2},
    {"PSU", "\x04\x03\x05\x0C\x01", 4},
    {"Power Backplane", "\x04\x03\x05\x0D\x01", 2},
    {"DASD Backplane", "\x04\x03\x05\x0E\x01", 3},
    {"CPU", "\x04\x03\x05\x0F\x02\x01", 8},
};

const column_def fru_columns[] = {{"Device", ASCII_STRING, 25},       {"Part Number", ASCII_STRING, 0},
                                   {"FRU Number", ASCII_STRING, 0},    {"Serial Number", ASCII_STRING, 0},
                                   {"Manufacturer", ASCII_STRING, 0},  {"Slot", ASCII_STRING, 0}};

void write_fru_row(report_table& table, const std::string& device, const sp_request& block) {
    table.start_row(device.c_str());
    table.log_data(device.c_str());
    table.log_data(block.reply_text(14, 12).c_str());
    table.log_data(block.reply_text(26, 12).c_str());
    table.log_data((block.reply_text(44, 6) + block.reply_text(38, 6)).c_str());
    table.log_data(block.reply_text(50, 4).c_str());
    table.log_data(decimal(block.reply_byte(54)).c_str());
    table.end_row();
}

void write_fru_data(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "FRU data", "FRU_INSTANCE");
    define_columns(table, fru_columns);
    for (const fru_device& device : fru_devices) {
        for (int unit = 1; unit <= device.count; ++unit) {
            std::string key = device.key;
            if (device.count > 1) key.back() = static_cast<char>(unit);
            if (read_block(connection, block, key) != 0) continue;
            if (block.status == sp_status_no_object) break;
            if (block.status != sp_status_ok) continue;
            std::string name = device.name;
            write_fru_row(table, device.count > 1 ? name + " " + decimal(unit) + " VPD" : name + " VPD", block);
        }
    }
}

// Voltages and temperatures: a reading is a signed 16-bit value in
// hundredths.

struct reading {
    const char* name;  // with a count, a format taking the instance number
    const char* key;   // with a count, the instance number is appended
    int count;         // 0: a single reading
};

const reading voltage_readings[] = {
    {"Planar +5v", "\x02\x02\x01\x01", 0},  {"Planar +3v", "\x02\x02\x01\x02", 0},
    {"Planar +12v", "\x02\x02\x01\x03", 0}, {"Planar -12v", "\x02\x02\x01\x04", 0},
    {"Planar -5v", "\x02\x02\x01\x05", 0},  {"Planar +2.5v", "\x02\x02\x01\x06", 0},
    {"VRM %02d", "\x02\x02\x03", 16},
};

const reading temperature_readings[] = {
    {"Planar Temperature", "\x02\x01\x01\x01", 0},
    {"Corbel Temperature", "\x02\x01\x01\x02", 0},
    {"Ambient Temperature", "\x02\x01\x01\x03", 0},
    {"CPU %d Temperature", "\x02\x01\x02", 16},
    {"DASD %d Temperature", "\x02\x01\x04", 4},
    {"Power Supply %d Temperature", "\x02\x01\x03", 4},
    {"Front Panel Ambient Temperature", "\x02\x01\x05\x01", 0},
    {"Fan Panel Ambient Temperature", "\x02\x01\x05\x02", 0},
};

constexpr uint16_t reading_size = 2;

// Writes the reading's row when the read gave exactly two bytes; returns the
// reply's status either way.
uint8_t write_reading(report_table& table, sp_connection& connection, sp_request& block, const char* name,
                      const std::string& key) {
    if (read_object(connection, block, key) == 0 && block.data_size() == reading_size) {
        auto hundredths = static_cast<int16_t>(block.reply_byte(0) | block.reply_byte(1) << 8);
        char value[32];
        std::snprintf(value, sizeof value, "%3.2f", hundredths / 100.0);
        table.start_row(name);
        table.log_data(name);
        table.log_data(value);
        table.end_row();
    }
    return block.status;
}

template <size_t N>
void write_readings(report_table& table, sp_connection& connection, sp_request& block,
                    const reading (&readings)[N]) {
    for (const reading& item : readings) {
        if (item.count == 0) {
            write_reading(table, connection, block, item.name, item.key);
            continue;
        }
        for (int n = 1; n <= item.count; ++n) {
            char name[64];
            std::snprintf(name, sizeof name, item.name, n);
            if (write_reading(table, connection, block, name, key_of(item.key, n)) == sp_status_no_object) break;
        }
    }
}

const column_def voltage_columns[] = {{"Power Rail", ASCII_STRING, 12}, {"Voltage (Volts)", ASCII_STRING, 0}};
const column_def temperature_columns[] = {{"Area", ASCII_STRING, 31}, {"Temperature (C)", ASCII_STRING, 0}};

void write_voltages(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "Voltages", "VOLTAGE_READING");
    define_columns(table, voltage_columns);
    write_readings(table, connection, block, voltage_readings);
}

void write_temperatures(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "System Temperatures", "TEMPERATURE_READING");
    define_columns(table, temperature_columns);
    write_readings(table, connection, block, temperature_readings);
}

// Fans: one reply byte per fan, its speed in percent.

const column_def fan_columns[] = {{"Fan", INTEGER, 0}, {"Speed  ", STRING, 0}};

void write_fans(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "Fan Status", "FAN_SPEED");
    define_columns(table, fan_columns);
    if (read_object(connection, block, "\x02\x03") != 0) return;
    size_t in_block = sizeof block.payload - block.key_length;
    size_t fans = std::min<size_t>(block.data_size(), in_block);
    for (size_t i = 0; i < fans; ++i) {
        int fan = static_cast<int>(i) + 1;
        int speed = block.reply_byte(i);
        char shown[16] = "Unknown";
        if (speed >= 1 && speed <= 100) std::snprintf(shown, sizeof shown, "%d%%", speed);
        std::string instance = decimal(fan);
        table.start_row(instance.c_str());
        table.log_data(fan);
        table.log_data(shown);
        table.end_row();
    }
}

// Dial-out and dial-in entries: one read per field. Passwords and PINs are
// shown only by their length.

constexpr int dial_entries = 12;

std::string text_or_unknown(sp_connection& connection, const std::string& key, size_t max_length) {
    std::string text;
    return sp_get_text(connection, key.c_str(), text, max_length) ? text : unknown;
}

std::string secret_length(sp_connection& connection, const std::string& key) {
    std::string secret;
    if (!sp_get_text(connection, key.c_str(), secret, 16)) return unknown;
    char shown[32];
    std::snprintf(shown, sizeof shown, "%d %s", static_cast<int>(secret.size()), "chars");
    return shown;
}

const code_name dial_out_states[] = {{0, "Invalid"}, {1, "Disabled"}, {2, "Enabled"}};
const code_name dial_out_types[] = {{0, "Num Pager"}, {1, "Alpha Pager"}, {2, "Modem"}, {3, "SNMP"}};

// The name of the byte read with key, or "Unknown" when the read failed.
template <size_t N>
const char* byte_name(sp_connection& connection, const std::string& key, const code_name (&names)[N],
                      const char* otherwise) {
    uint8_t value;
    if (!sp_get_byte(connection, key.c_str(), &value)) return unknown;
    return name_of(names, value, otherwise);
}

const column_def dial_out_columns[] = {
    {"Entry", INTEGER, 0},          {"Description", STRING, 32},    {"Status", STRING, 8},
    {"Phone # or LAN Addr", STRING, 50}, {"Type", STRING, 11},      {"Login ID", ASCII_STRING, 16},
    {"Password", STRING, 8},        {"Pager PIN", STRING, 8}};

void write_dial_out(FILE* report, sp_connection& connection, sp_request&) {
    report_table table(report, "Dial Out Settings", "DIAL_OUT_ENTRY");
    define_columns(table, dial_out_columns);
    for (int entry = 1; entry <= dial_entries; ++entry) {
        auto field = [entry](int byte) { return key_of("\x04\x01\x03", entry, byte); };
        std::string instance = decimal(entry);
        table.start_row(instance.c_str());
        table.log_data(entry);
        table.log_data(text_or_unknown(connection, field(3), 32).c_str());
        table.log_data(byte_name(connection, field(1), dial_out_states, unknown));
        table.log_data(text_or_unknown(connection, field(2), 50).c_str());
        table.log_data(byte_name(connection, field(4), dial_out_types, "Invalid"));
        table.log_data(text_or_unknown(connection, field(5), 16).c_str());
        table.log_data(secret_length(connection, field(6)).c_str());
        table.log_data(secret_length(connection, field(7)).c_str());
        table.end_row();
    }
}

struct alert {
    const char* name;
    const char* key;
};

const alert dial_out_alerts[] = {
    {"Temperature", "\x04\x02\x01\x01"},
    {"Voltage", "\x04\x02\x01\x02"},
    {"Tamper", "\x04\x02\x01\x03"},
    {"Multiple Fan Failure", "\x04\x02\x01\x04"},
    {"Power Failure", "\x04\x02\x01\x05"},
    {"Hard Drive", "\x04\x02\x01\x06"},
    {"VRM Failure", "\x04\x02\x01\x07"},
    {"Non-Redundant Power", "\x04\x02\x02\x01"},
    {"Single Fan Failure", "\x04\x02\x02\x02"},
    {"Non-critical Temperature", "\x04\x02\x02\x03"},
    {"Non-critical Voltage", "\x04\x02\x02\x04"},
    {"POST Hang", "\x04\x02\x03\x01"},
    {"OS Hang", "\x04\x02\x03\x02"},
    {"Application-logged Error", "\x04\x02\x03\x03"},
    {"System Powered Off", "\x04\x02\x03\x04"},
    {"System Powered On", "\x04\x02\x03\x05"},
    {"System Boot Failure", "\x04\x02\x03\x06"},
    {"Loader Watchdog Failure", "\x04\x02\x03\x07"},
    {"PFA", "\x04\x02\x03\x08"},
};

const column_def alert_columns[] = {{"Alert", STRING, 25}, {"Status", STRING, 8}};

void write_alerts(FILE* report, sp_connection& connection, sp_request&) {
    report_table table(report, "Dial Out Alerts", "DIAL_OUT_ALERT_ENTRY");
    define_columns(table, alert_columns);
    for (const alert& item : dial_out_alerts) {
        uint8_t enabled;
        const char* status = unknown;
        if (sp_get_byte(connection, item.key, &enabled)) status = enabled ? "Enabled" : "Disabled";
        table.start_row(item.name);
        table.log_data(item.name);
        table.log_data(status);
        table.end_row();
    }
}

const column_def dial_in_columns[] = {
    {"Entry", INTEGER, 0},      {"Login ID", STRING, 16},  {"Password", STRING, 8},
    {"Last Login", STRING, 20}, {"Read Only", STRING, 0},  {"Dial Back", STRING, 0},
    {"Dial Back Phone #", STRING, 40}};

void write_dial_in(FILE* report, sp_connection& connection, sp_request&) {
    report_table table(report, "Dial In Settings", "DIAL_IN_ENTRY");
    define_columns(table, dial_in_columns);
    for (int entry = 1; entry <= dial_entries; ++entry) {
        auto field = [entry](int byte) { return key_of("\x04\x01\x04", entry, byte); };
        std::string last_login;
        if (!sp_get_datetime(connection, field(3).c_str(), last_login)) last_login = unknown;
        uint8_t flags;
        bool have_flags = sp_get_byte(connection, field(4).c_str(), &flags);
        auto flag = [&](uint8_t bit) { return !have_flags ? unknown : (flags & bit) ? "Yes" : "No"; };

        std::string instance = decimal(entry);
        table.start_row(instance.c_str());
        table.log_data(entry);
        table.log_data(text_or_unknown(connection, field(1), 16).c_str());
        table.log_data(secret_length(connection, field(2)).c_str());
        table.log_data(last_login.c_str());
        table.log_data(flag(0x01));
        table.log_data(flag(0x02));
        table.log_data(text_or_unknown(connection, field(5), 40).c_str());
        table.end_row();
    }
}

// The machine's and the service processor's clocks, then the error log.

const column_def clock_columns[] = {{"Source", ASCII_STRING, 23}, {"MM/DD/YY HH:MM:SS", ASCII_STRING, 17}};

void write_clock_row(report_table& table, const char* source, const char* time) {
    table.start_row(source);
    table.log_data(source);
    table.log_data(time);
    table.end_row();
}

void write_timestamps(FILE* report, sp_connection& connection) {
    report_table table(report, "Timestamps", "CLOCK_READING");
    define_columns(table, clock_columns);
    std::time_t now = clock_now();
    std::tm local{};
    localtime_r(&now, &local);
    // Two-digit years count from 2000; a clock set before 2000 shows its
    // year within its own century rather than a wrapped-around number.
    int year = local.tm_year + 1900;
    unsigned short_year = static_cast<unsigned>(year >= 2000 ? year - 2000 : year % 100);
    char system_time[48];
    std::snprintf(system_time, sizeof system_time, "%02u/%02u/%02u %02u:%02u:%02u",
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday), short_year,
                  static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec));
    write_clock_row(table, "System Clock", system_time);
    std::string processor_time;
    if (sp_get_datetime(connection, "\x04\x04\x01", processor_time))
        write_clock_row(table, "Service Processor Clock", processor_time.c_str());
}

const column_def log_columns[] = {{"Entry", INTEGER, 0},
                                   {"Severity", ASCII_STRING, 0},
                                   {"Source", ASCII_STRING, 8},
                                   {"MM/DD/YY HH:MM:SS", ASCII_STRING, 17},
                                   {"Message", ASCII_STRING, 100}};

// Offsets in a log entry.
constexpr size_t log_source_at = 2;
constexpr size_t log_severity_at = 11;
constexpr size_t log_message_at = 19;
constexpr size_t log_second_part_gap = 5;  // the first text's terminator and four skipped bytes
constexpr size_t unbounded = sp_block_size;

std::string log_date(const sp_request& entry) {
    char date[64];
    std::snprintf(date, sizeof date, "%02d/%02d/%02d %02d:%02d:%02d", entry.reply_byte(13), entry.reply_byte(14),
                  entry.reply_byte(12), entry.reply_byte(16), entry.reply_byte(17), entry.reply_byte(18));
    return date;
}

// The first message text, and the second one when the entry's length leaves
// room for it after the four bytes that follow the first.
std::string log_message(const sp_request& entry) {
    long length = static_cast<int16_t>(entry.reply_byte(0) | entry.reply_byte(1) << 8);
    std::string message = entry.reply_text(log_message_at, unbounded);
    size_t second_at = log_message_at + message.size() + log_second_part_gap;
    if (static_cast<long>(second_at) < length)
        message += entry.reply_text(second_at, static_cast<size_t>(length) - second_at);
    return message;
}

void write_error_log(FILE* report, sp_connection& connection, sp_request& block) {
    report_table table(report, "Service Processor Error Log", "LOG_ENTRY");
    define_columns(table, log_columns);
    std::string previous_date;
    int same_date = 0;
    for (int entry = 1; entry <= sp_log_entry_limit; ++entry) {
        if (read_object(connection, block, "\x03\x02", entry == 1 ? sp_read_object : sp_read_next) != 0 ||
            block.data_size() == 0)
            break;
        std::string date = log_date(block);
        same_date = date == previous_date ? same_date + 1 : 1;
        previous_date = date;
        std::string instance = date + " " + decimal(same_date);
        char severity[2] = {static_cast<char>(block.reply_byte(log_severity_at)), 0};
        table.start_row(instance.c_str());
        table.log_data(entry);
        table.log_data(severity);
        table.log_data(block.reply_text(log_source_at, unbounded).c_str());
        table.log_data(date.c_str());
        table.log_data(log_message(block).c_str());
        table.end_row();
    }
}

void write_clocks_and_log(FILE* report, sp_connection& connection, sp_request& block) {
    write_timestamps(report, connection);
    write_error_log(report, connection, block);
}

struct group_writer {
    uint16_t bit;
    void (*write)(FILE* report, sp_connection& connection, sp_request& block);
};

const group_writer groups[] = {
    {sp_group_vpd, write_vpd},
    {sp_group_dimms, write_dimms},
    {sp_group_fru, write_fru_data},
    {sp_group_voltages, write_voltages},
    {sp_group_temperatures, write_temperatures},
    {sp_group_fans, write_fans},
    {sp_group_dial_out, write_dial_out},
    {sp_group_alerts, write_alerts},
    {sp_group_dial_in, write_dial_in},
    {sp_group_clocks_and_log, write_clocks_and_log},
};

}  // namespace

const char* gather_service_processor(FILE* report, uint16_t selector) {
    sp_connection connection;
    sp_init(connection);
    if (!sp_open(connection, 16)) return "Not Found";

    begin_section(report, "SERVICE PROCESSOR INFORMATION");
    auto block = std::make_unique<sp_request>();
    for (const group_writer& group : groups)
        if (selector & group.bit) group.write(report, connection, *block);
    sp_close(connection);
    end_section(report);
    return "OK";
}
