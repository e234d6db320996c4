#include "base/accounts.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const default_folder = "/etc";
std::string folder = default_folder;

// A password or group file larger than this is read no further.
constexpr long file_cap = 64L << 20;
constexpr size_t line_cap = 4096;

// The first two fields and the third as a number: name, id. False for
// comments, empty lines, the "+"/"-" lines of the old compat syntax, and
// lines whose id is not a plain decimal number that fits. Of a line longer
// than the buffer only its start is given (whole false): its id must end
// within it.
bool parse_line(const char* line, bool whole, std::string& name, unsigned* id) {
    const char* end_name = std::strchr(line, ':');
    if (!end_name || end_name == line || line[0] == '#' || line[0] == '+' || line[0] == '-') return false;
    const char* end_password = std::strchr(end_name + 1, ':');
    if (!end_password) return false;
    const char* digit = end_password + 1;
    unsigned long long value = 0;
    const char* at = digit;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + static_cast<unsigned>(*at - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    if (at == digit || (*at != ':' && *at != '\n' && !(*at == 0 && whole))) return false;
    name.assign(line, static_cast<size_t>(end_name - line));
    *id = static_cast<unsigned>(value);
    return true;
}

// Calls match(name, id) for each entry of the file until it says true.
template <typename Match>
bool find_entry(const char* file, Match match) {
    std::string path = folder + "/" + file;
    FILE* in = std::fopen(path.c_str(), "re");
    if (!in) return false;
    char line[line_cap];
    std::string name;
    unsigned id = 0;
    bool found = false;
    bool continued = false;  // the rest of a line longer than the buffer
    while (!found && std::ftell(in) < file_cap && std::fgets(line, sizeof line, in)) {
        bool whole = std::strchr(line, '\n') != nullptr || std::feof(in);
        if (!continued && parse_line(line, whole, name, &id)) found = match(name, id);
        continued = !whole;
    }
    std::fclose(in);
    return found;
}

}  // namespace

std::string account_user_name(unsigned uid) {
    std::string found;
    find_entry("passwd", [&](const std::string& name, unsigned id) {
        if (id != uid) return false;
        found = name;
        return true;
    });
    return found;
}

bool account_user_id(const std::string& name, unsigned* uid) {
    return find_entry("passwd", [&](const std::string& entry, unsigned id) {
        if (entry != name) return false;
        *uid = id;
        return true;
    });
}

std::vector<std::pair<std::string, unsigned>> account_users_starting_with(const std::string& prefix) {
    std::vector<std::pair<std::string, unsigned>> found;
    find_entry("passwd", [&](const std::string& name, unsigned id) {
        if (name.compare(0, prefix.size(), prefix) == 0) found.emplace_back(name, id);
        return false;
    });
    return found;
}

std::string account_group_name(unsigned gid) {
    std::string found;
    find_entry("group", [&](const std::string& name, unsigned id) {
        if (id != gid) return false;
        found = name;
        return true;
    });
    return found;
}

void set_account_folder(const char* replacement) { folder = replacement ? replacement : default_folder; }
