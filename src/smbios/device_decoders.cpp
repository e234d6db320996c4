// Built-in Pointing Device (type 21), Portable Battery (22), System Reset
// (23), Hardware Security (24), System Power Controls (25), the voltage,
// temperature and current probes (26, 28, 29), Cooling Device (27),
// Out-of-Band Remote Access (30) and System Boot Information (32). Most
// fields are shown raw.
#include "smbios/smbios_decode.h"
#include "smbios/smbios_texts.h"

namespace {

constexpr column_def pointing_columns[] = {
    enum_column("Type", 4, pointing_type_texts, 11),
    enum_column("Interface", 5, pointing_interface_texts, 19),
    number_column("Number of Buttons", 6),
};
constexpr table_def pointing_def{"Built-In Pointing Device Information", "POINTING_DEVICE_INSTANCE",
                                   pointing_columns};

// The manufacturer string (byte 5) and chemistry byte (9) are left out; the
// smart-battery fields from 16 on are read only on tables of revision 2.2
// and later.
constexpr column_def battery_columns[] = {
    string_column("Location", 4),
    string_column("Mfg Date", 6),
    string_column("Serial Number", 7),
    string_column("Dev Name", 8),
    number_column("Capacity", 10, 2),
    number_column("Design Voltage", 12, 2),
    string_column("Ver Number", 14),
    number_column("Max Err in Data", 15),
    hex_column("SBDS SN", 16, 2, "%04Xh").only_from_2_2(),
    hex_column("SBDS Mfg Date", 18, 2, "%04Xh").only_from_2_2(),
    hex_column("Chemistry", 20, 1, "%02Xh").only_from_2_2(),
    hex_column("Cap Mult", 21, 1, "%02Xh").only_from_2_2(),
    hex_column("OEM Data", 22, 4, "%08Xh").only_from_2_2(),
};
constexpr table_def battery_def{"Portable Battery Information", "BATTERY_INSTANCE", battery_columns};

constexpr column_def reset_columns[] = {
    hex_column("Capabilities", 4, 1, "%02Xh"),
    number_column("Reset Count", 5, 2),
    number_column("Reset Limit", 7, 2),
    number_column("Timer interval", 9, 2),
    number_column("Timeout", 11, 2),
};
constexpr table_def reset_def{"System Reset Information", "RESET_INFO_INSTANCE", reset_columns};

constexpr column_def security_columns[] = {hex_column("Settings", 4, 1, "%02Xh")};
constexpr table_def security_def{"Hardware Security Information", "SECURITY_INFO_INSTANCE", security_columns};

constexpr column_def power_on_columns[] = {
    number_column("Month", 4), number_column("Day", 5),    number_column("Hour", 6),
    number_column("Minute", 7), number_column("Second", 8),
};
constexpr table_def power_on_def{"Next Scheduled Power On Information", "POWER_CONTROL_INSTANCE",
                                   power_on_columns};

// The layout the voltage, temperature and current probes share.
constexpr column_def probe_columns[] = {
    string_column("Description", 4, 30),
    hex_column("Locn & Status", 5, 1, "%02Xh"),
    hex_column("Max Value", 6, 2, "%04Xh"),
    hex_column("Min Value", 8, 2, "%04Xh"),
    hex_column("Resolution", 10, 2, "%04Xh"),
    hex_column("Tolerance", 12, 2, "%04Xh"),
    hex_column("Accuracy", 14, 2, "%04Xh"),
    hex_column("OEM Data ", 16, 4, "%08Xh"),
};
constexpr table_def voltage_def{"Voltage Probes", "VOLTAGE_PROBE_INSTANCE", probe_columns};
constexpr table_def temperature_def{"Temperature Probes", "TEMPERATURE_PROBE_INSTANCE", probe_columns};
constexpr table_def current_def{"Electrical Current Probes", "CURRENT_PROBE_INSTANCE", probe_columns};

constexpr column_def cooling_columns[] = {
    hex_column("Temp Probe Handle", 4, 2, "%04Xh"),
    hex_column("Device Type & Status", 6, 1, "%02Xh"),
    hex_column("Cooling Unit Group", 7, 1, "%02Xh"),
    hex_column("OEM Data ", 8, 4, "%08Xh"),
};
constexpr table_def cooling_def{"Cooling Devices", "FAN_INSTANCE", cooling_columns};

constexpr column_def remote_access_columns[] = {
    string_column("Manufacturer Name", 4, 50),
    number_column("Connections", 5),
};
constexpr table_def remote_access_def{"Out-of-Band Remote Access", "REMOTE_ACCESS_INSTANCE",
                                        remote_access_columns};

// The first byte of the boot status field.
constexpr column_def boot_status_columns[] = {hex_column("Boot Status", 10, 1, "%02Xh")};
constexpr table_def boot_status_def{"Boot Status", "BOOT_STATUS_INSTANCE", boot_status_columns};

constexpr smbios_decoder decoders[] = {
    {21, &pointing_def},    {22, &battery_def},     {23, &reset_def},       {24, &security_def},
    {25, &power_on_def},    {26, &voltage_def},     {27, &cooling_def},     {28, &temperature_def},
    {29, &current_def},     {30, &remote_access_def}, {32, &boot_status_def},
};

}  // namespace

const std::span<const smbios_decoder> device_decoders{decoders};
