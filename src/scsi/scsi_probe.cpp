#include "scsi/scsi_probe.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/run_context.h"
#include "report/report_table.h"
#include "scsi/scsi_device_access.h"
#include "scsi/sg_io.h"

namespace {

constexpr int generic_node_count = 256;
constexpr size_t node_name_limit = 63;

// The families of ordinary device nodes, searched in this order: the first
// node that answers with a generic device's address names it.
struct node_family {
    const char* prefix;
    int count;
    bool letters;
};
constexpr node_family node_families[] = {
    {"/dev/sd", 128, true},  {"/dev/scd", 256, false}, {"/dev/sr", 256, false},
    {"/dev/nst", 32, false}, {"/dev/nosst", 32, false}, {"/dev/sch", 256, false},
};

struct type_name {
    unsigned char value;
    const char* text;
};
constexpr type_name peripheral_types[] = {
    {0, "Disk"},    {1, "Tape"},    {3, "Processor"},       {4, "Write-Once"}, {5, "CD-ROM"},
    {6, "Scanner"}, {7, "Magneto-Optical"}, {8, "Changer"}, {13, "Enclosure"},
};

struct column_layout {
    const char* name;
    ColumnType type;
    int width;  // 0: the name's length
};
constexpr column_layout device_columns[] = {
    {"Device", ASCII_STRING, 12},
    {"Vendor", ASCII_STRING, 8},
    {"Model", ASCII_STRING, 16},
    {"Revision", ASCII_STRING, 4},
    {"Type", ASCII_STRING, 16},
    {"Host", INTEGER, 0},
    {"Channel", INTEGER, 0},
    {"Target", INTEGER, 0},
    {"LUN", INTEGER, 0},
    {"Serial Number", ASCII_STRING, 16},
    {"Capacity", ASCII_STRING, 12},
};

constexpr size_t inquiry_length = 255;
constexpr unsigned char inquiry_command[] = {0x12, 0x00, 0x00, 0x00, 0xff, 0x00};
constexpr unsigned char serial_page_command[] = {0x12, 0x01, 0x80, 0x00, 0xff, 0x00};
constexpr unsigned char read_capacity_10[] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr size_t capacity_10_length = 8;
// SERVICE ACTION IN (16), READ CAPACITY (16), allocation length 32.
constexpr unsigned char read_capacity_16[] = {0x9e, 0x10, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0, 0, 0, 0x20, 0, 0};
constexpr size_t capacity_16_length = 32;
// Bytes of a serial number page reply compared with the standard INQUIRY data:
// a device that ignores the page request sends the standard data again.
constexpr size_t echo_compare_length = 20;
constexpr size_t serial_limit = 16;
constexpr size_t host_name_buffer = 255;

// A fixed INQUIRY field as text: unprintable bytes become blanks, blanks at
// both ends are dropped.
std::string clean_field(const unsigned char* bytes, size_t length) {
    std::string text(length, ' ');
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7e) text[i] = static_cast<char>(bytes[i]);
    size_t first = 0;
    while (first < text.size() && text[first] == ' ') ++first;
    size_t end = text.size();
    while (end > first && text[end - 1] == ' ') --end;
    return text.substr(first, end - first);
}

uint32_t big_endian_32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

uint64_t big_endian_64(const unsigned char* bytes) {
    return static_cast<uint64_t>(big_endian_32(bytes)) << 32 | big_endian_32(bytes + 4);
}

// Runs an ioctl; on failure writes message with the error text.
bool checked_ioctl(int fd, unsigned long request, void* argument, const char* message) {
    if (scsi_devices().ioctl(fd, request, argument) >= 0) return true;
    debug_printf(message, std::strerror(errno));
    return false;
}

// The driver's generation, version and emulation flag; false ends the collection.
bool check_driver(int fd, ScsiDeviceInfo& info) {
    int reserved = 0;
    if (scsi_devices().ioctl(fd, SG_GET_RESERVED_SIZE, &reserved) >= 0) {
        debug_printf("\treserved_size: %d\n", reserved);
    } else {
        debug_printf("SG_GET_RESERVED_SIZE ioctl failed: %s\n", std::strerror(errno));
        debug_printf("Running on old driver\n");
        info.old_driver = true;
    }

    if (!info.old_driver) {
        int version = 0;
        if (!checked_ioctl(fd, SG_GET_VERSION_NUM, &version, "SG_GET_VERSION_NUM ioctl failed: %s\n"))
            return false;
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.%d", version / 10000 % 100, version / 100 % 100,
                      version % 100);
        info.sg_version = text;
        debug_printf("\tsg version: %s (%d)\n", text, version);
    }

    int emulated = 0;
    if (!checked_ioctl(fd, SG_EMULATED_HOST, &emulated, "SG_EMULATED_HOST ioctl failed: %s"))
        return false;
    info.emulated_host = emulated;
    debug_printf("\temulated: %s\n", emulated ? "true" : "false");
    return true;
}

// Host, channel, target id and LUN, and the address words that ordinary
// nodes are matched by; false ends the collection.
bool read_address(int fd, ScsiDeviceInfo& info) {
    if (!info.old_driver) {
        sg_scsi_id id{};
        if (!checked_ioctl(fd, SG_GET_SCSI_ID, &id, "SG_GET_SCSI_ID ioctl failed: %s\n"))
            return false;
        info.host = id.host_no;
        info.channel = id.channel;
        info.target_id = id.scsi_id;
        info.lun = id.lun;
        debug_printf("\thost: %-3d channel: %-3d id: %-3d lun: %-3d type: %-3d \n"
                     "\tcmd_per_lun: %-3d queue_dept: %-3d\n",
                     id.host_no, id.channel, id.scsi_id, id.lun, id.scsi_type, id.h_cmd_per_lun,
                     id.d_queue_depth);
    }

    scsi_idlun idlun{};
    if (!checked_ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun, "SCSI_IOCTL_GET_IDLUN failed: %s\n"))
        return false;
    info.dev_id = idlun.dev_id;
    info.host_unique_id = idlun.host_unique_id;
    debug_printf("\tdev_id: 0x%010x\n\thost_unique_id: 0x%010x\n", idlun.dev_id,
                 idlun.host_unique_id);

    int bus = 0;
    if (!checked_ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &bus,
                       "SCSI_IOCTL_GET_BUS_NUMBER failed: %s\n"))
        return false;
    info.bus_number = bus;
    debug_printf("\tbus_number: %d\n", bus);

    if (info.old_driver) {
        info.host = bus;
        info.channel = static_cast<int32_t>(info.dev_id >> 16 & 0xff);
        info.target_id = static_cast<int32_t>(info.dev_id & 0xff);
        info.lun = static_cast<int32_t>(info.dev_id >> 8 & 0xff);
    }
    return true;
}

bool inquire(int fd, ScsiDeviceInfo& info, unsigned char* inquiry) {
    if (sg_command(fd, inquiry_command, sizeof inquiry_command, inquiry, inquiry_length) != 0)
        return false;
    info.vendor = clean_field(inquiry + 8, 8);
    info.model = clean_field(inquiry + 16, 16);
    info.revision = clean_field(inquiry + 32, 4);
    info.type = peripheral_type_text(inquiry[0]);
    debug_printf("\ttype: %d\n", inquiry[0]);
    debug_printf("\tvendor: %-.8s\n", info.vendor.c_str());
    debug_printf("\tmodel: %-.16s\n", info.model.c_str());
    debug_printf("\trevision: %-.4s\n", info.revision.c_str());
    return true;
}

void read_serial(int fd, ScsiDeviceInfo& info, const unsigned char* inquiry) {
    unsigned char page[inquiry_length] = {};
    if (sg_command(fd, serial_page_command, sizeof serial_page_command, page, sizeof page) != 0)
        return;
    if (std::memcmp(page, inquiry, echo_compare_length) == 0) return;
    size_t length = page[3] < serial_limit ? page[3] : serial_limit;
    info.serial = clean_field(page + 4, length);
}

void read_host_adapter(int fd, ScsiDeviceInfo& info) {
    // The adapter fills at most the length given in the first word and need
    // not end the name with a zero when it fills all of it: one spare byte.
    unsigned char buffer[host_name_buffer + 1] = {};
    uint32_t length = host_name_buffer;
    std::memcpy(buffer, &length, sizeof length);
    int rc = scsi_devices().ioctl(fd, SCSI_IOCTL_PROBE_HOST, buffer);
    if (rc < 0) {
        debug_printf("SCSI_IOCTL_PROBE_HOST failed: %s\n", std::strerror(errno));
        return;
    }
    info.host_adapter = reinterpret_cast<const char*>(buffer);
    debug_printf("host: %s, rc = %d\n", info.host_adapter.c_str(), rc);
}

// Bytes of the device, or false when it cannot say. A device too large for
// the ten-byte reply answers its last block as 0xffffffff and is asked again
// with the sixteen-byte command.
bool read_capacity_bytes(int fd, uint64_t& bytes) {
    unsigned char reply[capacity_16_length] = {};
    if (sg_command(fd, read_capacity_10, sizeof read_capacity_10, reply, capacity_10_length) != 0)
        return false;
    uint64_t last_block = big_endian_32(reply);
    uint32_t block_length = big_endian_32(reply + 4);
    debug_printf("capacity: lba %u sector_size: %u\n", static_cast<uint32_t>(last_block),
                 block_length);
    if (last_block == 0xffffffff) {
        if (sg_command(fd, read_capacity_16, sizeof read_capacity_16, reply, capacity_16_length) !=
            0)
            return false;
        last_block = big_endian_64(reply);
        block_length = big_endian_32(reply + 8);
        debug_printf("capacity (16): lba %llu sector_size: %u\n",
                     static_cast<unsigned long long>(last_block), block_length);
        if (last_block == UINT64_MAX) return false;
    }
    return !__builtin_mul_overflow(last_block + 1, static_cast<uint64_t>(block_length), &bytes);
}

std::unique_ptr<report_table> start_table(const ScsiDeviceInfo& info) {
    std::string title = info.host_adapter;
    if (title.empty()) {
        char text[32];
        std::snprintf(text, sizeof text, "SCSI Host %d", info.host);
        title = text;
    }
    auto table = std::make_unique<report_table>(run_context.report, title.c_str());
    table->start_heading();
    int column = 0;
    for (const column_layout& layout : device_columns) {
        table->add_column(layout.name, layout.type);
        if (layout.width > 0) table->set_column_width(column, layout.width);
        ++column;
    }
    table->end_heading();
    return table;
}

void write_row(report_table& table, const ScsiDeviceInfo& info, const SidEntry* sid) {
    table.start_row(info.generic_name.c_str());
    table.log_data(sid ? sid->name : info.generic_name.c_str());
    table.log_data(info.vendor.c_str());
    table.log_data(info.model.c_str());
    table.log_data(info.revision.c_str());
    table.log_data(info.type.c_str());
    table.log_data(info.host);
    table.log_data(info.channel);
    table.log_data(info.target_id);
    table.log_data(info.lun);
    table.log_data(info.serial.c_str());
    table.log_data(info.capacity.c_str());
    table.end_row();
}

// Can any generic node, numbered or lettered, be opened for reading?
bool generic_node_opens(bool letters) {
    for (int index = 0; index < generic_node_count; ++index) {
        std::string name = device_node_name("/dev/sg", index, letters);
        int fd = open_device(name.c_str(), O_RDONLY);
        if (fd >= 0) {
            scsi_devices().close(fd);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string device_node_name(const char* prefix, int index, bool letters) {
    char name[node_name_limit + 1];
    if (!letters)
        std::snprintf(name, sizeof name, "%s%d", prefix, index);
    else if (index >= 0 && index < 26)
        std::snprintf(name, sizeof name, "%s%c", prefix, 'a' + index);
    else if (index >= 26 && index < 26 * 27)
        std::snprintf(name, sizeof name, "%s%c%c", prefix, 'a' + index / 26 - 1, 'a' + index % 26);
    else
        std::snprintf(name, sizeof name, "%s%c%c", prefix, 'N', 'A');
    return name;
}

std::string format_capacity(uint64_t bytes) {
    struct unit {
        uint64_t from;
        uint64_t divisor;
        const char* name;
    };
    static constexpr unit units[] = {
        {1000000000000ULL, 100000000000ULL, "TB"},
        {1000000000ULL, 100000000ULL, "GB"},
        {1000000ULL, 100000ULL, "MB"},
        {1000ULL, 100ULL, "KB"},
    };
    char text[64];
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    for (const unit& u : units) {
        if (bytes < u.from) continue;
        uint64_t tenths = bytes / u.divisor;
        std::snprintf(text, sizeof text, "%llu.%llu%s", static_cast<unsigned long long>(tenths / 10),
                      static_cast<unsigned long long>(tenths % 10), u.name);
        break;
    }
    text[11] = '\0';
    return text;
}

std::string peripheral_type_text(unsigned char type_byte) {
    for (const type_name& t : peripheral_types)
        if (t.value == type_byte) return t.text;
    char text[16];
    std::snprintf(text, sizeof text, "Unknown (%02x)", type_byte);
    return text;
}

bool collect_device(int index, bool letters, ScsiDeviceInfo& info) {
    info = ScsiDeviceInfo{};
    info.generic_name = device_node_name("/dev/sg", index, letters);
    int fd = open_device(info.generic_name.c_str(), O_RDWR);
    if (fd < 0) return false;

    unsigned char inquiry[inquiry_length] = {};
    bool reported = check_driver(fd, info) && read_address(fd, info) && inquire(fd, info, inquiry);
    if (reported) {
        read_serial(fd, info, inquiry);
        read_host_adapter(fd, info);
        uint64_t bytes = 0;
        if (read_capacity_bytes(fd, bytes)) info.capacity = format_capacity(bytes);
    }
    scsi_devices().close(fd);
    return reported;
}

scsi_probe::scsi_probe(probe_section& section, const char* probe_name, int32_t probe_level)
    : probe(section, probe_name, probe_level) {}

scsi_probe::~scsi_probe() { clear_sid_list(); }

bool scsi_probe::test() {
    return generic_node_opens(false) || generic_node_opens(true);
}

bool scsi_probe::run() {
    debug_printf("%s\n", "bool scsi_probe::run ()");
    build_sid_list();
    return report_pass(false) || report_pass(true);
}

void scsi_probe::clear_sid_list() {
    while (sid_head_) {
        SidEntry* next = sid_head_->next;
        delete sid_head_;
        sid_head_ = next;
    }
    sid_tail_ = nullptr;
}

// Every ordinary device node that answers with its SCSI address, so that a
// generic device can be shown under the name people know it by.
void scsi_probe::build_sid_list() {
    clear_sid_list();
    for (const node_family& family : node_families) {
        for (int index = 0; index < family.count; ++index) {
            std::string name = device_node_name(family.prefix, index, family.letters);
            int fd = open_device(name.c_str(), O_RDONLY);
            if (fd < 0) continue;
            scsi_idlun idlun{};
            bool answered = scsi_devices().ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) >= 0;
            scsi_devices().close(fd);
            if (!answered) continue;
            SidEntry* entry = new (std::nothrow) SidEntry;
            if (!entry) {
                debug_printf("out of memory - mapping will not work\n");
                return;
            }
            std::snprintf(entry->name, sizeof entry->name, "%s", name.c_str());
            entry->dev_id = idlun.dev_id;
            entry->host_unique_id = idlun.host_unique_id;
            debug_printf("adding sid %s %x %x\n", entry->name, entry->dev_id,
                         entry->host_unique_id);
            if (sid_tail_)
                sid_tail_->next = entry;
            else
                sid_head_ = entry;
            sid_tail_ = entry;
        }
    }
}

const SidEntry* scsi_probe::find_sid(uint32_t dev_id, uint32_t host_unique_id) const {
    debug_printf("find: idlun: %x host_unique_id: %x\n", dev_id, host_unique_id);
    const SidEntry* found = nullptr;
    for (const SidEntry* entry = sid_head_; entry && !found; entry = entry->next) {
        debug_printf("\t%s: %x %x\n", entry->name, entry->dev_id, entry->host_unique_id);
        if (entry->dev_id == dev_id && entry->host_unique_id == host_unique_id) found = entry;
    }
    debug_printf("found sid %p\n", static_cast<const void*>(found));
    return found;
}

// One pass over the generic nodes: a table per run of devices on the same
// host adapter, a row per device.
bool scsi_probe::report_pass(bool letters) {
    std::unique_ptr<report_table> table;
    int32_t table_host = 0;
    bool reported = false;
    for (int index = 0; index < generic_node_count; ++index) {
        ScsiDeviceInfo info;
        if (!collect_device(index, letters, info)) continue;
        debug_printf("SCSI DEVICE %d.%d.%d.%d\n", info.host, info.channel, info.target_id,
                     info.lun);
        const SidEntry* sid = find_sid(info.dev_id, info.host_unique_id);
        if (!table || info.host != table_host) {
            table.reset();
            table = start_table(info);
            table_host = info.host;
        }
        write_row(*table, info, sid);
        reported = true;
    }
    return reported;
}
