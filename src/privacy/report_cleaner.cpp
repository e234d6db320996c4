#include "privacy/report_cleaner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>

#include "base/accounts.h"
#include "base/fresh_file.h"
#include "privacy/identifier_text.h"
#include "report/report.h"
#include "report/report_reader.h"
#include "report/secret_scrubber.h"
#include "report/xml.h"

const char* const cleaning_caveat =
    "Cleaning is best effort: it replaces the host names, domain, IPv4 and IPv6 addresses, MAC addresses, "
    "serial numbers, UUIDs and asset tags, user names of people's accounts and the keywords it knows of; "
    "anything else that names the machine, its owner or its network (other hosts' names, other user names, "
    "file-system UUIDs, names in free text) stays. Check the report before you send it.";

namespace {

constexpr size_t npos = std::string_view::npos;

std::string lower_case(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool contains(std::string_view text, std::string_view part) { return lower_case(text).find(part) != npos; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool one_character(std::string_view text) {
    return text.find_first_not_of(text.empty() ? ' ' : text[0]) == npos;
}

// ---- placeholders ----

// Values the firmware and tools give where there is no identifier.
constexpr const char* placeholders[] = {
    "unknown", "none", "n/a", "na", "not specified", "not available", "not applicable", "not present",
    "to be filled by o.e.m.", "to be filled by oem", "default string", "oem", "empty", "system serial number",
    "chassis serial number", "base board serial number", "serial number", "asset tag", "asset tag number",
    "no asset tag", "no asset information", "0123456789", "123456789", "1234567890", "not settable",
    "localhost", "localhost.localdomain", "localhost6", "localhost6.localdomain6", "(none)", "localdomain",
};

bool placeholder(std::string_view value) {
    std::string key = lower_case(value);
    for (const char* p : placeholders)
        if (key == p) return true;
    return false;
}

// A serial number, asset tag or UUID worth replacing.
bool serial_value(std::string_view value) {
    return value.size() >= 3 && value.size() <= report_cleaner::max_identifier && !placeholder(value) &&
           !one_character(value);
}

// The report's own sections name kernel and module parameters by their
// kernel names; those names are kept, their values are cleaned.
struct kept_columns {
    const char* table;
    const char* columns[2];
};
constexpr kept_columns parameter_names[] = {
    {"Kernel Parameters", {"Name", nullptr}},
    {"Module Parameters", {"Module", "Parameter"}},
};

const kept_columns* parameter_table(std::string_view table) {
    for (const kept_columns& k : parameter_names)
        if (table == k.table) return &k;
    return nullptr;
}

bool kept_column(const kept_columns* table, std::string_view column) {
    if (!table) return false;
    for (const char* c : table->columns)
        if (c && column == c) return true;
    return false;
}

bool default_lookup(const std::string& name, unsigned* uid) { return account_user_id(name, uid); }

// The password file's names that begin with prefix (no name service).
std::vector<std::pair<std::string, unsigned>> default_prefix_lookup(const std::string& prefix) {
    return account_users_starting_with(prefix);
}

// A column or file that holds the machine id (systemd's /etc/machine-id).
bool machine_id_name(std::string_view name) {
    std::string key = lower_case(name);
    for (char& c : key)
        if (c == '_' || c == ' ') c = '-';
    return key.find("machine-id") != npos;
}

// People's accounts: uid 1000 and above, without nobody and the range that
// systems keep for their own dynamic service users.
bool person_uid(unsigned uid) {
    return uid >= 1000 && !(uid >= 60000 && uid <= 65535) && uid < 4294967294u;
}

// ---- the first pass ----

class identifier_finder {
public:
    identifier_finder(clean_map& map, const clean_options& options) : map_(map), options_(options) {}

    bool read(FILE* in, std::string* problem) {
        report_reader reader(in);
        for (;;) {
            report_event_kind kind = reader.next();
            const report_event& e = reader.event();
            if (kind == report_event_kind::done) break;
            if (kind == report_event_kind::error) {
                *problem = "the report is not well-formed: " + reader.error();
                return false;
            }
            if (!verified(reader, problem) || !take(e, problem)) return false;
        }
        note_given_names();
        return true;
    }

private:
    // A report whose checksums do not match is not cleaned: new checksums
    // would hide the damage.
    static bool verified(const report_reader& reader, std::string* problem) {
        const report_event& e = reader.event();
        if (!carries_checksum(e.kind) || (e.checksum.ok() && e.rows_match)) return true;
        *problem = "the report does not verify (" + reader.where() + "): it is not cleaned";
        return false;
    }

    bool take(const report_event& e, std::string* problem) {
        switch (e.kind) {
        case report_event_kind::document_start:
            if (e.name == "GATHERED_DATA") return true;
            *problem = "not a report: the root element is <" + std::string(e.name) + ">";
            return false;
        case report_event_kind::other_start:
            *problem = "the report holds an element it should not (<" + std::string(e.name) + ">): it is not cleaned";
            return false;
        case report_event_kind::table_start:
            table_ = e.id;
            scan(e.id);
            return true;
        case report_event_kind::row_start:
            row_.clear();
            scan(e.id);
            return true;
        case report_event_kind::cell:
            cell(e);
            return true;
        case report_event_kind::row_end:
            row_done();
            return true;
        case report_event_kind::file_start:
            process_list_ = e.id == "ps auxw";
            machine_id_file_ = machine_id_name(e.id);
            machine_id_text_.clear();
            heading_seen_ = false;
            user_column_ = -1;
            line_.clear();
            scan(e.id);
            return true;
        case report_event_kind::file_data:
            if (machine_id_file_ && machine_id_text_.size() < 128) machine_id_text_.append(e.text.substr(0, 128));
            file_piece(e.text, false);
            return true;
        case report_event_kind::file_end:
            if (machine_id_file_) note_machine_id(machine_id_text_);
            file_piece("", true);
            return true;
        case report_event_kind::section_start:
        case report_event_kind::tree_start:
        case report_event_kind::tree_node_start:
            scan(e.id);
            return true;
        case report_event_kind::tree_leaf:
            scan(e.id);
            scan(e.text);
            return true;
        default:
            return true;
        }
    }

    void scan(std::string_view text) { scan_range(text, 0, text.size()); }

    size_t scan_range(std::string_view text, size_t from, size_t limit) {
        for (size_t at = from; at < limit; ++at) {
            address_token t = scan_address(text, at);
            if (t.known_only) t.type = address_token::kind::none;
            switch (t.type) {
            case address_token::kind::ipv4: map_.note_ipv4(t.v4); break;
            case address_token::kind::ipv6: map_.note_ipv6(t.v6); break;
            case address_token::kind::mac: map_.note_mac(t.mac); break;
            case address_token::kind::none: continue;
            }
            at += t.length - 1;
        }
        return limit;
    }

    void cell(const report_event& e) {
        std::string_view column = e.id, text = e.text;
        // Versions such as 1.2.3.4 are not addresses.
        if (!contains(column, "version") && !contains(column, "revision")) scan(text);
        if (row_.size() < 64) row_.emplace_back(std::string(column), std::string(text));
        std::string_view value = trimmed(text);
        if (machine_id_name(column)) note_machine_id(value);
        if (contains(column, "uuid")) {
            std::string digits = uuid_digits(value);
            if (!digits.empty() && !one_character(digits)) {
                map_.note_text(identifier_kind::uuid, std::min(digits, swapped_uuid(digits)));
                return;
            }
        }
        if ((contains(column, "serial") || contains(column, "uuid") || contains(column, "asset tag")) &&
            serial_value(value))
            map_.note_text(identifier_kind::serial, value);
    }

    std::string_view row_value(const char* column) const {
        for (const auto& [name, text] : row_)
            if (name == column) return text;
        return {};
    }

    void note_network(std::string_view address, std::string_view netmask) {
        uint32_t v4, mask4;
        ipv6_value v6, mask6;
        if (parse_ipv4(address, &v4) && parse_ipv4(netmask, &mask4)) {
            map_.note_ipv4_network(v4, ipv4_prefix(mask4));
        } else if (parse_ipv6(address, &v6) && parse_ipv6(netmask, &mask6)) {
            map_.note_ipv6_network(v6, ipv6_prefix(mask6));
        }
    }

    void row_done() {
        if (table_ == "System Summary") {
            note_host(row_value("Computer Name"));
            users_.insert(std::string(trimmed(row_value("Current User"))));
        } else if (table_ == "Host Names") {
            if (row_value("Status") == "OK") note_host(row_value("Name"));
        } else if (table_ == "Network Addresses") {
            note_network(row_value("Address"), row_value("Netmask"));
        } else if (table_ == "Network Routing Table") {
            note_network(row_value("Destination"), row_value("Netmask"));
        } else if (table_ == "Network Interfaces") {
            // Hardware addresses that are not 6-byte MAC addresses
            // (InfiniBand, FireWire) are replaced as they are written.
            std::string_view address = trimmed(row_value("Address"));
            if (address.size() > 17 && address.size() <= report_cleaner::max_identifier &&
                address.find_first_not_of("0:") != npos)
                map_.note_text(identifier_kind::hardware_address, address);
        }
    }

    // The machine id, in its 32-digit and its UUID form (replaced in both).
    void note_machine_id(std::string_view text) {
        std::string digits = uuid_digits(trimmed(trimmed_lines(text)));
        if (!digits.empty() && !one_character(digits))
            map_.note_text(identifier_kind::uuid, std::min(digits, swapped_uuid(digits)));
    }

    static std::string_view trimmed_lines(std::string_view text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        return text;
    }

    void note_host(std::string_view name) {
        name = trimmed(name);
        uint32_t v4;
        ipv6_value v6;
        if (name.empty() || name.size() > report_cleaner::max_identifier || placeholder(name) ||
            parse_ipv4(name, &v4) || parse_ipv6(name, &v6))
            return;
        size_t dot = name.find('.');
        map_.note_text(identifier_kind::host, name.substr(0, dot));
        if (dot == npos) return;
        // A domain of one label ("lan") is a common word, not the machine's.
        std::string_view domain = name.substr(dot + 1);
        if (domain.find('.') != npos && !placeholder(domain)) map_.note_text(identifier_kind::domain, domain);
    }

    // The process list: the column headed USER names the user of every
    // process.
    void file_piece(std::string_view piece, bool last) {
        joiner_.put(piece, last, [this](std::string_view text, size_t from, size_t limit) {
            return scan_range(text, from, limit);
        });
        if (!process_list_) return;
        for (char c : piece) {
            if (c != '\n') {
                if (line_.size() < 4096) line_ += c;
                continue;
            }
            process_line();
        }
        if (last) process_line();
    }

    void process_line() {
        std::vector<std::string_view> words;
        std::string_view rest = line_;
        while (!(rest = trimmed(rest)).empty() && words.size() < 16) {
            size_t end = rest.find_first_of(" \t");
            words.push_back(rest.substr(0, end));
            rest = end == npos ? std::string_view() : rest.substr(end);
        }
        if (user_column_ < 0 && !heading_seen_) {
            heading_seen_ = true;
            auto user = std::find(words.begin(), words.end(), "USER");
            if (user != words.end()) user_column_ = static_cast<int>(user - words.begin());
        } else if (user_column_ >= 0 && static_cast<size_t>(user_column_) < words.size()) {
            users_.insert(std::string(words[static_cast<size_t>(user_column_)]));
        }
        line_.clear();
    }

    void note_given_names() {
        for (const std::string& name : options_.host_names) note_host(name);
        for (const std::string& word : options_.keywords)
            if (!trimmed(word).empty()) map_.note_text(identifier_kind::keyword, trimmed(word));
        for (const std::string& id : options_.machine_ids) note_machine_id(id);
        account_lookup lookup = options_.lookup ? options_.lookup : default_lookup;
        for (const std::string& user : users_) {
            unsigned uid;
            if (user.empty() || user.find_first_not_of("0123456789") == npos || user.size() > 64) continue;
            if (cut_user_name(user)) {
                note_cut_user(user, lookup);
                continue;
            }
            if (lookup(user, &uid) && person_uid(uid)) map_.note_text(identifier_kind::user, user);
        }
    }

    // ps cuts a user name longer than its column to 7 characters and '+'.
    static bool cut_user_name(const std::string& user) { return user.size() == 8 && user.back() == '+'; }

    // A cut name is replaced when a person's account has a name that it is
    // the start of; the full name is replaced too.
    void note_cut_user(const std::string& user, account_lookup lookup) {
        const std::string prefix = user.substr(0, 7);
        account_prefix_lookup accounts = options_.prefix_lookup ? options_.prefix_lookup : default_prefix_lookup;
        bool person = false;
        for (const auto& [name, uid] : accounts(prefix)) {
            if (name.size() <= 8 || !person_uid(uid)) continue;
            unsigned known;
            if (lookup(name, &known) && !person_uid(known)) continue;
            map_.note_text(identifier_kind::user, name);
            person = true;
        }
        if (person) map_.note_text(identifier_kind::user, user);
    }

    clean_map& map_;
    const clean_options& options_;
    std::string table_;
    std::vector<std::pair<std::string, std::string>> row_;
    piece_joiner joiner_{49};
    bool process_list_ = false;
    bool heading_seen_ = false;
    int user_column_ = -1;
    std::string line_;
    std::set<std::string> users_;
    bool machine_id_file_ = false;
    std::string machine_id_text_;
};

// ---- the second pass ----

class report_writer {
public:
    report_writer(FILE* out, const identifier_replacer& replacer)
        : out_(out), replacer_(replacer), joiner_(replacer.reach()) {}

    bool write(FILE* in, std::string* problem) {
        report_reader reader(in);
        for (;;) {
            report_event_kind kind = reader.next();
            if (kind == report_event_kind::done) break;
            if (kind == report_event_kind::error) {
                *problem = "the report is not well-formed: " + reader.error();
                return false;
            }
            const report_event& e = reader.event();
            if (e.text_cut) {
                *problem = "a value in the report is too long to be cleaned";
                return false;
            }
            take(e);
        }
        return true;
    }

private:
    std::string clean(std::string_view text) const { return replacer_.replace_all(text); }

    void start(const report_event& e, std::string_view id) {
        if (e.has_id)
            std::fprintf(out_, "<%.*s ID=\"%s\">\n", static_cast<int>(e.name.size()), e.name.data(),
                         xml_attribute_value(std::string(id).c_str()).c_str());
        else
            std::fprintf(out_, "<%.*s>\n", static_cast<int>(e.name.size()), e.name.data());
    }

    void end(std::string_view name) { std::fprintf(out_, "</%.*s>\n", static_cast<int>(name.size()), name.data()); }

    void element(const char* name, const char* text) {
        std::fprintf(out_, "<%s>%s</%s>\n", name, xml_text(text).c_str(), name);
    }

    void checksum_end(std::string_view name, const char* format, uint32_t sum) {
        char text[16];
        std::snprintf(text, sizeof text, format, sum);
        element("CHK", text);
        end(name);
    }

    // A value element (a cell or a leaf): ID and width as read, the text given.
    void value(const report_event& e, const std::string& id, const std::string& text) {
        std::string attributes;
        if (e.has_id) attributes = " ID=\"" + xml_attribute_value(id.c_str()) + "\"";
        if (e.width > 0) attributes += " W=\"" + std::to_string(e.width) + "\"";
        std::fprintf(out_, "<%.*s%s>%s</%.*s>\n", static_cast<int>(e.name.size()), e.name.data(), attributes.c_str(),
                     xml_text(text.c_str()).c_str(), static_cast<int>(e.name.size()), e.name.data());
    }

    static uint16_t text_sum(const std::string& text) {
        return static_cast<uint16_t>(text_checksum(xml_valid_text(text.c_str()).c_str()));
    }

    void take(const report_event& e) {
        switch (e.kind) {
        case report_event_kind::document_start:
            write_xml_declaration(out_);
            start(e, e.id);
            break;
        case report_event_kind::version: element(std::string(e.name).c_str(), std::string(e.text).c_str()); break;
        case report_event_kind::section_start:
            section_sum_ = 0;
            start(e, clean(e.id));
            break;
        case report_event_kind::section_end:
            document_sum_ += section_sum_;
            checksum_end(e.name, "%8X", section_sum_);
            break;
        case report_event_kind::table_start:
            table_sum_ = 0;
            parameters_ = parameter_table(e.id);
            start(e, clean(e.id));
            break;
        case report_event_kind::table_columns: element("COLS", std::string(e.text).c_str()); break;
        case report_event_kind::row_start:
            row_sum_ = 0;
            start(e, parameters_ ? std::string(e.id) : clean(e.id));
            break;
        case report_event_kind::cell: {
            bool text_cell = e.name == "STR" || e.name == "ASC";
            std::string text = text_cell && !kept_column(parameters_, e.id) ? clean(e.text) : std::string(e.text);
            row_sum_ = static_cast<uint16_t>(row_sum_ + text_sum(text));
            value(e, std::string(e.id), text);
            break;
        }
        case report_event_kind::row_end:
            table_sum_ = static_cast<uint16_t>(table_sum_ + row_sum_);
            checksum_end(e.name, "%4X", row_sum_);
            break;
        case report_event_kind::table_end:
            section_sum_ += table_sum_;
            parameters_ = nullptr;
            element("ROWS", std::string(e.declared_rows).c_str());
            checksum_end(e.name, "%4X", table_sum_);
            break;
        case report_event_kind::file_start:
            start(e, clean(e.id));
            break;
        case report_event_kind::file_data:
            if (!cdata_) cdata_ = std::make_unique<cdata_writer>(out_);
            file_piece(e.text, false);
            break;
        case report_event_kind::file_end: {
            uint32_t sum = 0;
            if (cdata_) {
                file_piece("", true);
                sum = cdata_->finish();
                cdata_.reset();
            }
            section_sum_ += sum;
            checksum_end(e.name, "%8X", sum);
            break;
        }
        case report_event_kind::tree_start:
            tree_sums_.assign(1, 0);
            start(e, clean(e.id));
            break;
        case report_event_kind::tree_node_start:
            tree_sums_.push_back(0);
            start(e, clean(e.id));
            break;
        case report_event_kind::tree_leaf: {
            std::string text = clean(e.text);
            tree_sums_.back() = static_cast<uint16_t>(tree_sums_.back() + text_sum(text));
            value(e, clean(e.id), text);
            break;
        }
        case report_event_kind::tree_node_end: {
            uint16_t sum = tree_sums_.back();
            tree_sums_.pop_back();
            tree_sums_.back() = static_cast<uint16_t>(tree_sums_.back() + sum);
            checksum_end(e.name, "%4x", sum);
            break;
        }
        case report_event_kind::tree_end:
            section_sum_ += tree_sums_.front();
            checksum_end(e.name, "%4x", tree_sums_.front());
            break;
        case report_event_kind::document_end:
            checksum_end(e.name, "%8X", document_sum_);
            break;
        default:
            break;
        }
    }

    // File text: secrets masked first, then identifiers replaced.
    void file_piece(std::string_view piece, bool last) {
        scrubbed_.clear();
        scrubber_.put(piece.data(), piece.size(), scrubbed_);
        if (last) scrubber_.finish(scrubbed_);
        joiner_.put(scrubbed_, last, [this](std::string_view text, size_t from, size_t limit) {
            replaced_.clear();
            size_t done = replacer_.replace(text, from, limit, replaced_);
            cdata_->put(replaced_);
            return done;
        });
    }

    FILE* out_;
    const identifier_replacer& replacer_;
    piece_joiner joiner_;
    secret_scrubber scrubber_;
    std::string scrubbed_, replaced_;
    std::unique_ptr<cdata_writer> cdata_;
    const kept_columns* parameters_ = nullptr;
    uint32_t document_sum_ = 0, section_sum_ = 0;
    uint16_t table_sum_ = 0, row_sum_ = 0;
    std::vector<uint16_t> tree_sums_{0};
};

}  // namespace

report_cleaner::report_cleaner(clean_options options) : options_(std::move(options)) {}

report_cleaner::~report_cleaner() = default;

bool report_cleaner::load_map(std::string_view json, std::string* problem) { return map_.from_json(json, problem); }

bool report_cleaner::discover(FILE* in, std::string* problem) {
    identifier_finder finder(map_, options_);
    if (!finder.read(in, problem) || !map_.assign(problem)) return false;
    replacer_ = std::make_unique<identifier_replacer>(map_);
    return true;
}

bool report_cleaner::rewrite(FILE* in, FILE* out, std::string* problem) {
    report_writer writer(out, *replacer_);
    if (!writer.write(in, problem)) return false;
    if (std::fflush(out) != 0 || std::ferror(out)) {
        *problem = "the cleaned report cannot be written";
        return false;
    }
    return true;
}

bool report_cleaner::clean(FILE* in, FILE* out, std::string* problem) {
    if (!in || !out) {
        *problem = "no report to clean";
        return false;
    }
    std::rewind(in);
    if (!discover(in, problem)) return false;
    std::rewind(in);
    return rewrite(in, out, problem);
}

bool report_cleaner::save_map(const std::string& path, std::string* problem) const {
    std::string json = map_.to_json();
    FILE* f = fopen_fresh(path.c_str(), "wb", 0600);
    bool written = f && std::fwrite(json.data(), 1, json.size(), f) == json.size();
    if (f && std::fclose(f) != 0) written = false;
    if (written) return true;
    *problem = path + ": cannot be written: " + std::strerror(errno);
    if (f) std::remove(path.c_str());
    return false;
}

std::string report_cleaner::replace(std::string_view text, bool as_file_name) const {
    return replacer_ ? replacer_->replace_all(text, as_file_name) : std::string(text);
}
