#include "privacy/identifier_text.h"

#include <cstdio>

namespace {

constexpr size_t npos = std::string_view::npos;

bool digit(char c) { return c >= '0' && c <= '9'; }
bool hex(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }


// Dotted (192.0.2.2) or, with separator '-', dashed (ip-192-0-2-2).
address_token scan_ipv4(std::string_view text, size_t at, char separator = '.') {
    address_token t;
    size_t end = at;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (end >= text.size() || text[end] != separator) return t;
            ++end;
        }
        size_t start = end;
        while (end < text.size() && digit(text[end]) && end - start < 4) ++end;
        if (end == start || end - start > 3) return t;
    }
    // A longer dotted run (a version, an OID) is not an address.
    if (end < text.size() &&
        (ascii_alnum(text[end]) || (text[end] == separator && end + 1 < text.size() && digit(text[end + 1]))))
        return t;
    std::string dotted(text.substr(at, end - at));
    for (char& c : dotted)
        if (c == separator) c = '.';
    if (!parse_ipv4(dotted, &t.v4)) return t;
    t.type = address_token::kind::ipv4;
    t.length = end - at;
    if (separator != '.') {
        t.written = address_token::form::dashed;
        // Only a host name's "ip-" part says for sure that this is an address.
        t.known_only = !(at >= 3 && ascii_lower(text[at - 3]) == 'i' && ascii_lower(text[at - 2]) == 'p' &&
                         text[at - 1] == '-' && (at == 3 || !ascii_alnum(text[at - 4])));
    }
    return t;
}

// A run of exactly count hexadecimal digits, not part of a longer word or
// of a dashed group (a UUID's); its value.
bool hex_word(std::string_view text, size_t at, size_t count, uint64_t* value, bool* upper, bool colon_after = false) {
    if (text.size() - at < count) return false;
    if (at > 0 && text[at - 1] == '-') return false;
    size_t end = at + count;
    if (end < text.size() && (ascii_alnum(text[end]) || text[end] == '-' || (text[end] == ':' && !colon_after)))
        return false;
    uint64_t v = 0;
    for (size_t i = at; i < end; ++i) {
        char c = text[i];
        if (!hex(c)) return false;
        *upper |= c >= 'A' && c <= 'F';
        v = v << 4 | static_cast<uint64_t>(digit(c) ? c - '0' : ascii_lower(c) - 'a' + 10);
    }
    *value = v;
    return true;
}

// 0100007F as /proc/net writes 127.0.0.1: the bytes in memory order.
address_token scan_kernel_hex_ipv4(std::string_view text, size_t at) {
    address_token t;
    uint64_t v = 0;
    // "0100007F:0016": the port follows after a colon.
    if (!hex_word(text, at, 8, &v, &t.upper, true)) return t;
    uint32_t raw = static_cast<uint32_t>(v);
    t.v4 = __builtin_bswap32(raw);
    t.type = address_token::kind::ipv4;
    t.written = address_token::form::kernel_hex;
    t.length = 8;
    t.known_only = true;
    return t;
}

// 5254.0012.3456 and 525400123456.
address_token scan_other_mac(std::string_view text, size_t at) {
    address_token t;
    uint64_t v = 0, part = 0;
    bool dotted = text.size() - at >= 14 && text[at + 4] == '.' && text[at + 9] == '.';
    if (dotted) {
        for (size_t group = 0; group < 3; ++group) {
            size_t start = at + group * 5;
            for (size_t i = start; i < start + 4; ++i)
                if (!hex(text[i])) return t;
            if (group < 2 && text[start + 4] != '.') return t;
        }
        size_t end = at + 14;
        if (end < text.size() && (ascii_alnum(text[end]) || (text[end] == '.' && end + 1 < text.size() &&
                                                             hex(text[end + 1]))))
            return t;
        for (size_t group = 0; group < 3; ++group) {
            bool ignored = false;
            std::string_view digits = text.substr(at + group * 5, 4);
            if (!hex_word(digits, 0, 4, &part, &ignored)) return t;
            t.upper |= ignored;
            v = v << 16 | part;
        }
        t.written = address_token::form::dotted;
        t.length = 14;
    } else {
        if (!hex_word(text, at, 12, &v, &t.upper)) return t;
        t.written = address_token::form::bare;
        t.length = 12;
        t.known_only = true;
    }
    t.type = address_token::kind::mac;
    t.mac = v;
    return t;
}

address_token scan_ipv6(std::string_view text, size_t at) {
    address_token t;
    size_t end = at, colons = 0;
    while (end < text.size() && end - at <= 40 && (hex(text[end]) || text[end] == ':')) colons += text[end++] == ':';
    if (colons < 2 || end - at > 39) return t;
    // An IPv4 tail (::ffff:10.0.0.1) is left to the IPv4 scan.
    if (end < text.size() && (ascii_alnum(text[end]) || text[end] == '.')) return t;
    size_t length = end - at;
    // "fe80::1:" at the end of a sentence: the last colon is not the address's.
    if (!parse_ipv6(text.substr(at, length), &t.v6)) {
        if (text[end - 1] != ':' || text[end - 2] == ':' || !parse_ipv6(text.substr(at, --length), &t.v6)) return t;
    }
    t.type = address_token::kind::ipv6;
    t.length = length;
    return t;
}

address_token scan_mac(std::string_view text, size_t at) {
    address_token t;
    if (text.size() - at < 17) return t;
    char separator = text[at + 2];
    if (separator != ':' && separator != '-') return t;
    uint64_t value = 0;
    bool upper = false;
    for (size_t i = 0; i < 17; ++i) {
        char c = text[at + i];
        if (i % 3 == 2) {
            if (c != separator) return t;
            continue;
        }
        if (!hex(c)) return t;
        upper |= c >= 'A' && c <= 'F';
        value = value << 4 | static_cast<uint64_t>(digit(c) ? c - '0' : ascii_lower(c) - 'a' + 10);
    }
    size_t end = at + 17;
    if (end < text.size() && (ascii_alnum(text[end]) || text[end] == separator)) return t;
    t.type = address_token::kind::mac;
    t.length = 17;
    t.mac = value;
    t.separator = separator;
    t.upper = upper;
    return t;
}

std::string mac_in_form(uint64_t value, const address_token& form) {
    std::string text = mac_text(value);
    for (char& c : text) {
        if (c == ':') c = form.separator;
        if (form.upper && c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string dashed_uuid(const std::string& d) {
    return d.substr(0, 8) + "-" + d.substr(8, 4) + "-" + d.substr(12, 4) + "-" + d.substr(16, 4) + "-" + d.substr(20);
}

// A result file name holds identity values with '/' and control characters
// as '_'.
std::string file_name_form(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
    }
    return out;
}

}  // namespace

address_token scan_address(std::string_view text, size_t at) {
    char c = text[at];
    char before = at > 0 ? text[at - 1] : ' ';
    if (ascii_alnum(before) || before == '.' || (!hex(c) && c != ':')) return {};
    if (digit(c)) {
        address_token v4 = scan_ipv4(text, at);
        if (v4.type != address_token::kind::none) return v4;
        v4 = scan_ipv4(text, at, '-');
        if (v4.type != address_token::kind::none) return v4;
    }
    if (before == ':') return {};
    if (before != '-') {
        address_token mac = scan_mac(text, at);
        if (mac.type != address_token::kind::none) return mac;
        if (c != ':') {
            mac = scan_other_mac(text, at);
            if (mac.type != address_token::kind::none) return mac;
            address_token v4 = scan_kernel_hex_ipv4(text, at);
            if (v4.type != address_token::kind::none) return v4;
        }
    }
    return scan_ipv6(text, at);
}

std::string address_in_form(const address_token& form, uint32_t v4, uint64_t mac) {
    char text[32];
    std::string out;
    const bool upper = form.upper;
    switch (form.written) {
    case address_token::form::usual:
        if (form.type == address_token::kind::ipv4) return ipv4_text(v4);
        return mac_in_form(mac, form);
    case address_token::form::dashed:
        out = ipv4_text(v4);
        for (char& ch : out)
            if (ch == '.') ch = '-';
        return out;
    case address_token::form::kernel_hex:
        std::snprintf(text, sizeof text, upper ? "%08X" : "%08x", __builtin_bswap32(v4));
        return text;
    case address_token::form::dotted:
        std::snprintf(text, sizeof text, upper ? "%04X.%04X.%04X" : "%04x.%04x.%04x",
                      static_cast<unsigned>(mac >> 32) & 0xFFFF, static_cast<unsigned>(mac >> 16) & 0xFFFF,
                      static_cast<unsigned>(mac) & 0xFFFF);
        return text;
    case address_token::form::bare:
        std::snprintf(text, sizeof text, upper ? "%012llX" : "%012llx", static_cast<unsigned long long>(mac));
        return text;
    }
    return out;
}

std::string uuid_digits(std::string_view text) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (text.size() == 36 && dash_place) {
            if (c != '-') return "";
            continue;
        }
        if (!hex(c)) return "";
        digits += ascii_lower(c);
    }
    return digits.size() == 32 ? digits : "";
}

std::string swapped_uuid(const std::string& d) {
    auto pair = [&d](size_t i) { return d.substr(i * 2, 2); };
    std::string out;
    for (size_t i : {3, 2, 1, 0, 5, 4, 7, 6}) out += pair(i);
    return out + d.substr(16);
}

void literal_trie::add(std::string_view pattern, int index) {
    if (pattern.empty()) return;
    int node = 0;
    for (char c : pattern) {
        uint64_t key = static_cast<uint64_t>(node) << 8 | static_cast<unsigned char>(ascii_lower(c));
        auto it = edges_.find(key);
        if (it == edges_.end()) {
            it = edges_.emplace(key, static_cast<int>(ends_.size())).first;
            ends_.push_back(-1);
            last_alnum_.push_back(false);
        }
        node = it->second;
    }
    ends_[static_cast<size_t>(node)] = index;
    last_alnum_[static_cast<size_t>(node)] = ascii_alnum(pattern.back());
    starts_[static_cast<unsigned char>(ascii_lower(pattern.front()))] = true;
    longest_ = std::max(longest_, pattern.size());
}

int literal_trie::match(std::string_view text, size_t at, size_t* length) const {
    if (!starts_[static_cast<unsigned char>(ascii_lower(text[at]))]) return -1;
    int node = 0, found = -1;
    for (size_t i = at; i < text.size(); ++i) {
        auto it = edges_.find(static_cast<uint64_t>(node) << 8 | static_cast<unsigned char>(ascii_lower(text[i])));
        if (it == edges_.end()) break;
        node = it->second;
        int index = ends_[static_cast<size_t>(node)];
        bool boundary = i + 1 == text.size() || !last_alnum_[static_cast<size_t>(node)] || !ascii_alnum(text[i + 1]);
        if (index >= 0 && boundary) {
            found = index;
            *length = i + 1 - at;
        }
    }
    return found;
}

identifier_replacer::identifier_replacer(const clean_map& map) : map_(map) {
    for (const text_identifier& t : map.texts()) {
        if (t.original.size() > max_identifier_length) continue;
        if (t.kind != identifier_kind::uuid) {
            add(t.original, t.replacement);
            continue;
        }
        // Each UUID in both byte orders, with and without dashes.
        for (bool swap : {false, true}) {
            std::string from = swap ? swapped_uuid(t.original) : t.original;
            std::string to = swap ? swapped_uuid(t.replacement) : t.replacement;
            add(from, to);
            add(dashed_uuid(from), dashed_uuid(to));
        }
    }
    for (size_t i = 0; i < replacements_.size(); ++i) {
        std::string form = file_name_form(originals_[i]);
        if (form != originals_[i]) name_forms_.add(form, static_cast<int>(i));
    }
}

size_t identifier_replacer::replace(std::string_view text, size_t from, size_t limit, std::string& out,
                                    const literal_trie* extra) const {
    size_t copied = from;
    for (size_t at = from; at < limit && at < text.size();) {
        if (at > 0 && ascii_alnum(text[at]) && ascii_alnum(text[at - 1])) {
            ++at;
            continue;
        }
        size_t length = 0;
        int index = literals_.match(text, at, &length);
        size_t extra_length = 0;
        int extra_index = extra ? extra->match(text, at, &extra_length) : -1;
        if (extra_index >= 0 && extra_length > length) {
            index = extra_index;
            length = extra_length;
        }
        std::string token_text;
        address_token token = scan_address(text, at);
        if (token.type != address_token::kind::none && token.length >= length && replacement_of(token, &token_text)) {
            out.append(text.substr(copied, at - copied)).append(token_text);
            at = copied = at + token.length;
        } else if (index >= 0) {
            out.append(text.substr(copied, at - copied)).append(replacements_[static_cast<size_t>(index)]);
            at = copied = at + length;
        } else {
            ++at;
        }
    }
    size_t end = std::max(copied, std::min(limit, text.size()));
    out.append(text.substr(copied, end - copied));
    return end;
}

std::string identifier_replacer::replace_all(std::string_view text, bool as_file_name) const {
    std::string out;
    out.reserve(text.size());
    replace(text, 0, text.size(), out, as_file_name ? &name_forms_ : nullptr);
    return out;
}

void identifier_replacer::add(const std::string& original, const std::string& replacement) {
    literals_.add(original, static_cast<int>(replacements_.size()));
    originals_.push_back(original);
    replacements_.push_back(replacement);
}

bool identifier_replacer::replacement_of(const address_token& t, std::string* text) const {
    uint32_t v4;
    ipv6_value v6;
    uint64_t mac;
    switch (t.type) {
    case address_token::kind::ipv4:
        if (!map_.ipv4(t.v4, &v4)) return false;
        *text = address_in_form(t, v4, 0);
        return true;
    case address_token::kind::ipv6:
        if (!map_.ipv6(t.v6, &v6)) return false;
        *text = ipv6_text(v6);
        return true;
    case address_token::kind::mac:
        if (!map_.mac(t.mac, &mac)) return false;
        *text = address_in_form(t, 0, mac);
        return true;
    case address_token::kind::none:
        break;
    }
    return false;
}
