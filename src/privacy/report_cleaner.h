// Cleaning a report before it leaves the machine: the identifiers it holds
// are replaced consistently everywhere (cells, row keys, names, embedded
// files and command output) and every checksum is computed again, so the
// copy verifies. Best effort: see the README for what is and is not
// replaced.
//
// Two passes over the report, both streaming through the report reader. The
// first checks every checksum and collects the machine's own identifiers
// from the tables where they live: host names (system summary, host names
// table, and any given), addresses and networks (network tables, and every
// address in any text), MAC addresses, serial numbers, UUIDs and asset tags
// (every column so named), the user names of people's accounts (process
// list and current user, uid 1000 and above), and any given keyword. The
// second writes the report again with each of them replaced, the secrets of
// report/secret_scrubber.h masked in embedded files, and checksums summed by
// the writer's own routines.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "privacy/clean_map.h"
#include "privacy/identifier_text.h"

// The user id of an account name; false when the name is not known.
using account_lookup = bool (*)(const std::string& name, unsigned* uid);

// The accounts whose names begin with prefix (ps shows "verylongname" as
// "verylon+"), with their user ids.
using account_prefix_lookup = std::vector<std::pair<std::string, unsigned>> (*)(const std::string& prefix);

struct clean_options {
    std::vector<std::string> host_names;  // more host names (short or fully qualified)
    std::vector<std::string> keywords;    // more words to replace
    std::vector<std::string> machine_ids; // the machine id (/etc/machine-id), hex or UUID form
    account_lookup lookup = nullptr;      // null: the password database of this machine
    account_prefix_lookup prefix_lookup = nullptr;  // null: /etc/passwd of this machine
};

class report_cleaner {
public:
    explicit report_cleaner(clean_options options);
    ~report_cleaner();
    report_cleaner(const report_cleaner&) = delete;
    report_cleaner& operator=(const report_cleaner&) = delete;

    // Reads a map saved by an earlier cleaning, whose replacements are then
    // kept. False, with the reason, when it is not one.
    bool load_map(std::string_view json, std::string* problem);
    // Cleans the report read from in (a file: it is read twice) into out.
    // False, with the reason, when the report is not well-formed, does not
    // verify, or cannot be read or written; out then holds no usable report.
    bool clean(FILE* in, FILE* out, std::string* problem);
    // After clean: a text with the identifiers replaced; as_file_name also
    // finds them in the form a result file name gives them ('/' and control
    // characters as '_').
    std::string replace(std::string_view text, bool as_file_name = false) const;
    // After clean: the map to keep (JSON) and how many identifiers it holds.
    std::string map_json() const { return map_.to_json(); }
    // Writes the map as a new private file (mode 0600); a file or link
    // already under the name is replaced, never written through.
    bool save_map(const std::string& path, std::string* problem) const;
    clean_map::counts replaced() const { return map_.replaced(); }

    // The longest identifier that is replaced; longer ones are left alone.
    static constexpr size_t max_identifier = max_identifier_length;

private:
    bool discover(FILE* in, std::string* problem);
    bool rewrite(FILE* in, FILE* out, std::string* problem);

    clean_options options_;
    clean_map map_;
    std::unique_ptr<identifier_replacer> replacer_;
};

// One line for the console and the README: what cleaning does not replace.
extern const char* const cleaning_caveat;
