// Identity of the machine and its operating system: firmware identity block,
// SMBIOS, uname and the distribution's release files.
#pragma once

#include <string>

struct host_identity {
    char computer_name[255] = {};
    char current_user[257] = {};   // filled by the system summary
    std::string os_name;           // owned texts: emptied by release_host_identity
    char os_version[256] = {};
    std::string os_release;
    std::string os_issue;
    char os_type[255] = {};
    char os_vendor[257] = {};
    std::string system_vendor;
    std::string system_serial;
    std::string system_model;
    std::string bios_version;      // the block's build identifier, else SMBIOS BIOS Information
    std::string bios_date;         // SMBIOS BIOS Information release date
};

// The firmware identity block ("\xAA\x55VPD" in the 0xF0000 window).
struct bios_vpd {
    bool valid = false;
    bool attempted = false;
    char vendor[16] = {};
    char model[8] = {};
    char serial[8] = {};
    char build_id[10] = {};
};

void identify_host(host_identity& identity);
void release_host_identity(host_identity& identity);

// Reads the block once; true when it was found and its fields are well formed.
bool read_bios_vpd(bios_vpd& vpd);
// As read_bios_vpd, on a copy of the 64 KiB window.
bool parse_bios_vpd(bios_vpd& vpd, const unsigned char* window, int window_size);

// Fills vendor, name and release line (256 bytes each) from the release files.
void identify_distribution(char* vendor, char* name, char* line);
// First non-empty line of path (at most 255 characters) into buffer (256
// bytes); false when the file cannot be opened or holds no such line.
bool read_first_line(const char* path, char* buffer);

// Replaces the "/etc" directory the release files are read from; null
// restores it. Tests only.
void set_etc_root(const char* directory);
