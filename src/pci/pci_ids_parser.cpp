#include "pci/pci_ids_parser.h"

#include <cstdio>
#include <unordered_map>

namespace {

struct subsystem_line {
    uint16_t sub_vendor;
    uint16_t sub_device;
    std::string_view name;
};

struct device_entry {
    uint16_t id;
    std::string_view name;
    std::vector<subsystem_line> subsystems;
};

struct vendor_entry {
    uint16_t id;
    std::string_view name;
    std::vector<device_entry> devices;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads four hexadecimal digits at the start of text and removes them.
bool take_id(std::string_view& text, uint16_t& id) {
    if (text.size() < 4) return false;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_digit(text[i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    id = static_cast<uint16_t>(value);
    text.remove_prefix(4);
    return true;
}

// The name after the two blanks that follow an ID: not empty, no control
// characters.
bool take_name(std::string_view text, std::string_view& name) {
    if (text.size() < 3 || text[0] != ' ' || text[1] != ' ') return false;
    name = text.substr(2);
    if (name.find_first_not_of(' ') == std::string_view::npos) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

std::string at_line(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

std::string hex4(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

// Reads the vendor, device and subsystem lines up to the class section.
bool read_entries(std::string_view list, std::vector<vendor_entry>& vendors, std::string& error) {
    size_t line_number = 0;
    while (!list.empty()) {
        size_t end = list.find('\n');
        std::string_view line = list.substr(0, end);
        list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
        ++line_number;
        if (line.empty() || line[0] == '#') continue;
        if (line.substr(0, 2) == "C ") break;

        size_t tabs = line.find_first_not_of('\t');
        if (tabs == std::string_view::npos) tabs = line.size();
        line.remove_prefix(tabs);
        uint16_t id = 0, second = 0;
        std::string_view name;
        if (tabs == 0) {
            if (!take_id(line, id) || !take_name(line, name)) {
                error = at_line(line_number, "malformed vendor line (expected \"vvvv  name\")");
                return false;
            }
            if (!vendors.empty() && id <= vendors.back().id) {
                error = at_line(line_number, "vendor " + hex4(id) + " is not above the vendor before it");
                return false;
            }
            vendors.push_back({id, name, {}});
        } else if (tabs == 1) {
            if (!take_id(line, id) || !take_name(line, name)) {
                error = at_line(line_number, "malformed device line (expected \"<tab>dddd  name\")");
                return false;
            }
            if (vendors.empty()) {
                error = at_line(line_number, "device line before any vendor line");
                return false;
            }
            auto& devices = vendors.back().devices;
            if (!devices.empty() && id <= devices.back().id) {
                error = at_line(line_number, "device " + hex4(id) + " is not above the device before it");
                return false;
            }
            devices.push_back({id, name, {}});
        } else if (tabs == 2) {
            bool ok = take_id(line, id) && !line.empty() && line[0] == ' ';
            if (ok) line.remove_prefix(1);
            if (!ok || !take_id(line, second) || !take_name(line, name)) {
                error = at_line(line_number, "malformed subsystem line (expected \"<tab><tab>vvvv dddd  name\")");
                return false;
            }
            if (vendors.empty() || vendors.back().devices.empty()) {
                error = at_line(line_number, "subsystem line outside a device");
                return false;
            }
            vendors.back().devices.back().subsystems.push_back({id, second, name});
        } else {
            error = at_line(line_number, "more than two tabs at the start of the line");
            return false;
        }
    }
    if (vendors.empty()) {
        error = at_line(line_number, "the list holds no vendor lines");
        return false;
    }
    return true;
}

// Appends rows whose names are kept once each in the texts.
class row_writer {
public:
    explicit row_writer(pci_name_data& out) : out_(out) {}

    void add(char kind, uint16_t id, uint16_t second, std::string_view name) {
        auto [at, added] = offsets_.try_emplace(std::string(name), static_cast<uint32_t>(out_.texts.size()));
        if (added) {
            out_.texts.append(name);
            out_.texts.push_back('\0');
        }
        out_.rows.push_back({kind, id, second, at->second});
    }

private:
    pci_name_data& out_;
    std::unordered_map<std::string, uint32_t> offsets_;
};

void add_subsystem_rows(const std::vector<subsystem_line>& lines, const std::vector<int>& vendor_of_id,
                        const std::vector<vendor_entry>& vendors, row_writer& rows) {
    // The lines of each subsystem vendor, the vendors in order of first appearance.
    std::vector<std::vector<const subsystem_line*>> groups;
    std::unordered_map<uint16_t, size_t> group_of;
    for (const subsystem_line& line : lines) {
        auto [at, added] = group_of.try_emplace(line.sub_vendor, groups.size());
        if (added) groups.emplace_back();
        groups[at->second].push_back(&line);
    }
    for (const auto& group : groups) {
        uint16_t sub_vendor = group.front()->sub_vendor;
        int vendor = vendor_of_id[sub_vendor];
        if (vendor >= 0) {
            rows.add('O', sub_vendor, 0, vendors[static_cast<size_t>(vendor)].name);
            for (const subsystem_line* line : group) rows.add('S', line->sub_device, 0, line->name);
        } else {
            for (const subsystem_line* line : group) rows.add('X', sub_vendor, line->sub_device, line->name);
        }
    }
}

// Writes name as the body of a C++ string literal: printable ASCII as it is,
// everything else (and '?', which could start a trigraph) as three-digit
// octal escapes, which never run into the character after them.
void append_literal_body(std::string& out, std::string_view name) {
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\' && c != '?') {
            out.push_back(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
            out.append(escape);
        }
    }
}

}  // namespace

bool parse_pci_ids(std::string_view list, pci_name_data& out, std::string& error) {
    out = {};
    std::vector<vendor_entry> vendors;
    if (!read_entries(list, vendors, error)) return false;
    std::vector<int> vendor_of_id(65536, -1);
    for (size_t i = 0; i < vendors.size(); ++i) vendor_of_id[vendors[i].id] = static_cast<int>(i);

    row_writer rows(out);
    for (const vendor_entry& vendor : vendors) {
        rows.add('V', vendor.id, 0, vendor.name);
        for (const device_entry& device : vendor.devices) {
            rows.add('D', device.id, 0, device.name);
            add_subsystem_rows(device.subsystems, vendor_of_id, vendors, rows);
        }
    }
    return true;
}

std::string pci_name_source(const pci_name_data& data, const std::string& origin) {
    std::string out;
    out.reserve(data.texts.size() * 2 + data.rows.size() * 32);
    out += "// Generated from " + origin + " by pci_ids_gen at build time; do not edit.\n";
    out += "#include \"pci/pci_names.h\"\n\n";
    out += "const char pci_name_texts[] =\n";
    size_t start = 0;
    while (start < data.texts.size()) {
        size_t end = data.texts.find('\0', start);
        out += '"';
        append_literal_body(out, std::string_view(data.texts).substr(start, end - start));
        out += "\\000\"\n";
        start = end + 1;
    }
    out += ";\n\nconst pci_name_row pci_name_table[] = {\n";
    char row[64];
    for (const pci_name_row& r : data.rows) {
        std::snprintf(row, sizeof row, "{'%c',0x%04X,0x%04X,%u},\n", r.kind, static_cast<unsigned>(r.id),
                      static_cast<unsigned>(r.second_id), static_cast<unsigned>(r.name));
        out += row;
    }
    out += "};\n\nconst size_t pci_name_table_rows = sizeof pci_name_table / sizeof pci_name_table[0];\n";
    return out;
}
