#include "host/host_identity.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pci/physical_memory.h"
#include "smbios/smbios_table.h"

namespace {

const char* const default_etc_root = "/etc";
std::string etc_root = default_etc_root;

constexpr uint32_t bios_window_base = 0xF0000;
constexpr int bios_window_size = 65536;
const unsigned char vpd_signature[5] = {0xAA, 0x55, 'V', 'P', 'D'};
constexpr int vpd_block_size = 47;  // signature to the end of the model field

struct distribution {
    const char* file;  // release file under the /etc root, or null for /etc/issue words
    const char* issue_word;
    const char* name;
    const char* vendor;
};

const distribution distributions[] = {
    {"debian_version", nullptr, "Debian", "Debian"},
    {"redhat-release", nullptr, "Red Hat", "Red Hat, Inc."},
    {"SuSE-release", nullptr, "SuSE", "SuSE Linux AG"},
    {"turbolinux-release", nullptr, "TurboLinux", "TurboLinux, Inc."},
    {nullptr, "Caldera", "Caldera", "Caldera Systems, Inc."},
    {nullptr, "Mandrake", "Mandrake", "MandrakeSoft, S.A."},
    {nullptr, "Slackware", "Slackware", "Slackware Linux, Inc."},
};

void copy_text(char* out, size_t size, const char* text) {
    std::snprintf(out, size, "%s", text);
}

// Copies count bytes as a terminated text (it ends early at a zero byte).
void copy_field(char* out, const unsigned char* field, size_t count) {
    std::memcpy(out, field, count);
    out[count] = 0;
}

bool is_identity_char(unsigned char c) {
    return std::isalnum(c) || std::isspace(c);
}

bool all_identity_chars(const char* text) {
    for (; *text; ++text)
        if (!is_identity_char(static_cast<unsigned char>(*text))) return false;
    return true;
}

bool well_formed_fixed(const char* text, size_t length) {
    return std::strlen(text) == length && all_identity_chars(text);
}

// Leading white space is removed unless the text is all white space;
// trailing white space is removed but the first character always stays.
std::string trimmed(const char* text) {
    std::string value = text;
    size_t first = 0;
    while (first < value.size() && std::isspace(static_cast<unsigned char>(value[first]))) ++first;
    if (first < value.size()) value.erase(0, first);
    size_t end = value.size();
    while (end > 1 && std::isspace(static_cast<unsigned char>(value[end - 1]))) --end;
    value.resize(end);
    return value;
}

std::string etc_path(const char* file) {
    return etc_root + "/" + file;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Version and release date of the first BIOS Information structure; a
// missing or empty text stays "Unknown".
void identify_bios(smbios_table& table, host_identity& identity, bool version_known) {
    const uint8_t* bios = table.structure_at(0, 0);
    if (!bios) return;
    auto text_of = [&](unsigned offset) {
        uint8_t number = smbios_table::field_byte(bios, offset);
        return number ? trimmed(table.string_at(number, bios)) : std::string();
    };
    std::string version = text_of(5), date = text_of(8);
    if (!version_known && !version.empty()) identity.bios_version = version;
    if (!date.empty()) identity.bios_date = date;
}

void identify_hardware(host_identity& identity) {
    bios_vpd vpd;
    bool block = read_bios_vpd(vpd);
    if (block) {
        identity.system_vendor = vpd.vendor;
        identity.system_model = vpd.model;
        identity.system_serial = vpd.serial;
        std::string build = trimmed(vpd.build_id);
        if (!build.empty()) identity.bios_version = build;
    }
    auto table = std::make_unique<smbios_table>();
    if (!table->load()) return;
    identify_bios(*table, identity, identity.bios_version != "Unknown");
    if (block) return;
    identity.system_vendor = trimmed(table->system_vendor());
    identity.system_model = trimmed(table->system_model());
    identity.system_serial = trimmed(table->system_serial());
}

void identify_kernel(host_identity& identity) {
    struct utsname names;
    if (uname(&names) != 0) {
        copy_text(identity.os_version, sizeof identity.os_version, "Unknown");
        copy_text(identity.computer_name, sizeof identity.computer_name, "Unknown");
        return;
    }
    std::snprintf(identity.os_version, sizeof identity.os_version, "%s (%s)", names.release, names.machine);
    identity.os_name = names.sysname;
    copy_text(identity.computer_name, sizeof identity.computer_name, names.nodename);
    identity.os_release = names.version;
}

}  // namespace

void set_etc_root(const char* directory) {
    etc_root = directory ? directory : default_etc_root;
}

void identify_host(host_identity& identity) {
    identity.system_vendor = "Unknown";
    identity.system_model = "Unknown";
    identity.system_serial = "Unknown";
    identity.os_release = "Unknown";
    identity.os_issue = "Unknown";
    identity.os_name = "Linux";
    identity.bios_version = "Unknown";
    identity.bios_date = "Unknown";
    identify_hardware(identity);
    identify_kernel(identity);
    char vendor[256] = "", name[256] = "", line[256] = "";
    identify_distribution(vendor, name, line);
    copy_text(identity.os_vendor, sizeof identity.os_vendor, vendor);
    copy_text(identity.os_type, sizeof identity.os_type, ("Linux (" + std::string(name) + ")").c_str());
    identity.os_issue = line;
}

void release_host_identity(host_identity& identity) {
    for (std::string* text : {&identity.os_name, &identity.os_release, &identity.os_issue,
                              &identity.system_vendor, &identity.system_serial, &identity.system_model,
                              &identity.bios_version, &identity.bios_date}) {
        text->clear();
        text->shrink_to_fit();
    }
}

bool read_bios_vpd(bios_vpd& vpd) {
    if (vpd.attempted) return vpd.valid;
    unsigned char* window = read_physical(bios_window_base, bios_window_size);
    if (!window) {
        vpd.attempted = true;
        vpd.valid = false;
        return false;
    }
    bool valid = parse_bios_vpd(vpd, window, bios_window_size);
    std::free(window);
    return valid;
}

// The first signature whose block lies wholly inside the window; its build
// identifier, serial number and model must be letters, digits and white
// space, the last two exactly 7 characters long.
bool parse_bios_vpd(bios_vpd& vpd, const unsigned char* window, int window_size) {
    if (vpd.attempted) return vpd.valid;
    vpd.attempted = true;
    vpd.valid = false;
    const unsigned char* block = nullptr;
    for (int at = 0; at + vpd_block_size <= window_size; ++at) {
        if (window[at] == vpd_signature[0] && std::memcmp(window + at, vpd_signature, sizeof vpd_signature) == 0) {
            block = window + at;
            break;
        }
    }
    if (!block) return false;
    copy_field(vpd.build_id, block + 13, 9);
    copy_field(vpd.serial, block + 22, 7);
    copy_field(vpd.model, block + 40, 7);
    copy_text(vpd.vendor, sizeof vpd.vendor, "Varnholt");
    vpd.valid = all_identity_chars(vpd.build_id) && well_formed_fixed(vpd.serial, 7) &&
                well_formed_fixed(vpd.model, 7);
    return vpd.valid;
}

bool read_first_line(const char* path, char* buffer) {
    FILE* file = std::fopen(path, "r");
    if (!file) return false;
    char line[256];
    size_t length = 0;
    int c;
    while ((c = std::getc(file)) != EOF) {
        if (c == '\n') {
            if (length > 0) break;
            continue;
        }
        if (length < 255) line[length++] = static_cast<char>(c);
    }
    std::fclose(file);
    if (length == 0) return false;
    line[length] = 0;
    std::memcpy(buffer, line, length + 1);
    return true;
}

void identify_distribution(char* vendor, char* name, char* line) {
    copy_text(vendor, 256, "Unknown");
    copy_text(name, 256, "generic");
    copy_text(line, 256, "Unknown");
    for (const distribution& release : distributions) {
        if (!release.file) break;
        std::string path = etc_path(release.file);
        if (!exists(path)) continue;
        copy_text(vendor, 256, release.vendor);
        copy_text(name, 256, release.name);
        if (!read_first_line(path.c_str(), line)) copy_text(line, 256, "Unknown");
        return;
    }
    std::string issue = etc_path("issue");
    if (!exists(issue) || !read_first_line(issue.c_str(), line)) return;
    for (const distribution& release : distributions) {
        if (release.file) continue;
        if (std::strncmp(line, release.issue_word, std::strlen(release.issue_word)) == 0) {
            copy_text(vendor, 256, release.vendor);
            copy_text(name, 256, release.name);
            return;
        }
    }
    copy_text(line, 256, "Unknown");
}
