#include "privacy/clean_map.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

struct kind_name {
    identifier_kind kind;
    const char* name;
    const char* replacement_format;  // printf format of the counter
};

constexpr kind_name kind_names[] = {
    {identifier_kind::host, "host", "host%d"},
    {identifier_kind::domain, "domain", "domain%d.example"},
    {identifier_kind::serial, "serial", "SERIAL%d"},
    {identifier_kind::uuid, "uuid", "%032x"},
    {identifier_kind::user, "user", "user%d"},
    {identifier_kind::keyword, "keyword", "keyword%d"},
    {identifier_kind::hardware_address, "hardware-address", nullptr},
};

const kind_name* find_kind(identifier_kind kind) {
    for (const kind_name& k : kind_names)
        if (k.kind == kind) return &k;
    return nullptr;
}

const kind_name* find_kind(std::string_view name) {
    for (const kind_name& k : kind_names)
        if (name == k.name) return &k;
    return nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex_digits(std::string_view text, size_t count) {
    if (text.size() != count) return false;
    for (char c : text)
        if (hex_value(c) < 0) return false;
    return true;
}

std::string lower_case(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A hardware address of octets separated by ':' with the counter in its
// last octets: the locally administered form, which names no vendor.
std::string hardware_replacement(size_t octets, unsigned counter) {
    std::string out;
    for (size_t i = 0; i < octets; ++i) {
        unsigned byte = i == 0 ? 0x02 : 0;
        size_t from_end = octets - 1 - i;
        if (from_end < 4) byte = (counter >> (8 * from_end)) & 0xFF;
        char text[4];
        std::snprintf(text, sizeof text, i ? ":%02x" : "%02x", byte);
        out += text;
    }
    return out;
}

// ---- address spaces ----

template <typename V>
V prefix_mask(int prefix) {
    constexpr int bits = address_space<V>::bits;
    if (prefix <= 0) return 0;
    return static_cast<V>(~static_cast<V>(0) << (bits - prefix));
}

template <typename V>
struct family {
    V pool_first, pool_last;  // replacement blocks come from here
    int default_prefix;       // the network of an address outside every known one
    int min_prefix;           // shorter networks are not taken as known
    bool (*special)(V);       // never replaced
    bool (*kept_network)(V);  // the network stays, the host part is replaced
    bool map_hosts;           // replace large host parts (interface identifiers)
};

bool never(uint32_t) { return false; }
bool link_local(ipv6_value a) { return (a >> 118) == (static_cast<ipv6_value>(0xfe80) >> 6); }

const family<uint32_t> ipv4_family{0x0A000000u, 0xDFFFFFFFu, 24, 8, clean_map::special_ipv4, never, false};
const family<ipv6_value> ipv6_family{static_cast<ipv6_value>(0x20010db8) << 96,
                                     (static_cast<ipv6_value>(0x20010db8) << 96) |
                                         ~(static_cast<ipv6_value>(~0u) << 96),
                                     64, 32, clean_map::special_ipv6, link_local, true};

// Adds the block [first, last] to a set of disjoint blocks, merging.
template <typename V>
void take(std::map<V, V>& taken, V first, V last) {
    auto it = taken.upper_bound(first);
    if (it != taken.begin()) {
        auto before = std::prev(it);
        if (before->second >= first || (before->second + 1 == first && before->second != ~static_cast<V>(0))) {
            first = before->first;
            if (before->second > last) last = before->second;
            it = taken.erase(before);
        }
    }
    while (it != taken.end() && (it->first <= last || (last != ~static_cast<V>(0) && it->first == last + 1))) {
        if (it->second > last) last = it->second;
        it = taken.erase(it);
    }
    taken[first] = last;
}

// The taken block that overlaps [first, last], if any.
template <typename V>
const std::pair<const V, V>* overlap(const std::map<V, V>& taken, V first, V last) {
    auto it = taken.upper_bound(last);
    if (it == taken.begin()) return nullptr;
    --it;
    return it->second >= first ? &*it : nullptr;
}

// The lowest free block of the prefix in the pool, now taken; false when
// the pool has none left.
template <typename V>
bool fresh_block(address_space<V>& space, const family<V>& f, int prefix, V* base) {
    const V size = static_cast<V>(1) << (address_space<V>::bits - prefix);
    auto cursor = space.cursors.find(prefix);
    V at = cursor == space.cursors.end() ? f.pool_first : cursor->second;
    for (;;) {
        at = (at + size - 1) & ~(size - 1);
        if (at < f.pool_first || at > f.pool_last || f.pool_last - at < size - 1) return false;
        const auto* busy = overlap(space.taken, at, static_cast<V>(at + size - 1));
        if (!busy) break;
        if (busy->second >= f.pool_last) return false;
        at = busy->second + 1;
    }
    take(space.taken, at, static_cast<V>(at + size - 1));
    space.cursors[prefix] = at + size;
    *base = at;
    return true;
}

// The longest mapped network holding the address, or null.
template <typename V>
const std::pair<const std::pair<int, V>, V>* mapped_network(const address_space<V>& space, V address,
                                                            int longest) {
    for (int prefix = longest; prefix >= 1; --prefix) {
        auto it = space.networks.find({prefix, static_cast<V>(address & prefix_mask<V>(prefix))});
        if (it != space.networks.end()) return &*it;
    }
    return nullptr;
}

// Replacement host parts start at ::1:0:0, above the small ones that stay.
constexpr uint64_t first_mapped_host = 1ull << 32;

template <typename V>
V replaced_host(address_space<V>& space, const family<V>& f, V host, int host_bits) {
    if (!f.map_hosts || host_bits < 48 || host < 0x10000) return host;
    auto it = space.hosts.find(host);
    if (it != space.hosts.end()) return it->second;
    if (space.next_host == 0) space.next_host = static_cast<V>(first_mapped_host);
    return space.hosts[host] = space.next_host++;
}

template <typename V>
bool assign_space(address_space<V>& space, const family<V>& f, std::string* problem, const char* name) {
    constexpr int bits = address_space<V>::bits;
    // Nothing of the report (and nothing a saved map named) is handed out.
    for (V a : space.noted) take(space.taken, a, a);
    for (const auto& [prefix, base] : space.noted_networks)
        take(space.taken, base, static_cast<V>(base | ~prefix_mask<V>(prefix)));
    // Wider networks first, so that a network inside a mapped one keeps its
    // place there.
    for (const auto& [prefix, base] : space.noted_networks) {
        if (space.networks.count({prefix, base})) continue;
        V replacement;
        if (f.kept_network(base)) {
            replacement = base;
        } else if (const auto* parent = mapped_network(space, base, prefix - 1)) {
            V parent_mask = prefix_mask<V>(parent->first.first);
            replacement = static_cast<V>(parent->second | (base & ~parent_mask));
        } else if (!fresh_block(space, f, prefix, &replacement)) {
            *problem = std::string("no more ") + name + " replacement networks";
            return false;
        }
        space.networks[{prefix, base}] = replacement;
    }
    for (V a : space.noted) {
        if (f.special(a) || space.addresses.count(a)) continue;
        const auto* network = mapped_network(space, a, bits - 1);
        if (!network) {
            int prefix = f.default_prefix;
            V base = static_cast<V>(a & prefix_mask<V>(prefix));
            V replacement = base;
            if (!f.kept_network(base) && !fresh_block(space, f, prefix, &replacement)) {
                *problem = std::string("no more ") + name + " replacement networks";
                return false;
            }
            network = &*space.networks.emplace(std::make_pair(prefix, base), replacement).first;
        }
        int prefix = network->first.first;
        V host = static_cast<V>(a & ~prefix_mask<V>(prefix));
        space.addresses[a] = static_cast<V>(network->second | replaced_host(space, f, host, bits - prefix));
    }
    return true;
}

template <typename V>
bool lookup(const std::map<V, V>& map, V key, V* value) {
    auto it = map.find(key);
    if (it == map.end()) return false;
    *value = it->second;
    return true;
}

// Marks what a saved map handed out, and what it replaced, as taken.
template <typename V>
void protect_loaded(address_space<V>& space) {
    for (const auto& [network, replacement] : space.networks) {
        V last = static_cast<V>(~prefix_mask<V>(network.first));
        take(space.taken, replacement, static_cast<V>(replacement | last));
        take(space.taken, network.second, static_cast<V>(network.second | last));
    }
    for (const auto& [original, replacement] : space.addresses) {
        take(space.taken, original, original);
        take(space.taken, replacement, replacement);
    }
    for (const auto& [original, replacement] : space.hosts)
        if (replacement >= space.next_host) space.next_host = replacement + 1;
}

// ---- JSON ----

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void json_entry(std::string& out, const char* kind, std::string_view original, std::string_view replacement) {
    out += out.back() == '[' ? "\n" : ",\n";
    out += "  {\"kind\": " + json_string(kind) + ", \"original\": " + json_string(original) +
           ", \"replacement\": " + json_string(replacement) + "}";
}

// A small reader for the map's own JSON: objects, arrays, strings, and other
// scalars skipped. Nesting and sizes are bounded, so a damaged or hostile
// map file cannot exhaust the stack.
class json_reader {
public:
    explicit json_reader(std::string_view text) : text_(text) {}

    struct entry {
        std::string kind, original, replacement;
    };

    bool read(std::vector<entry>* entries) {
        entries_ = entries;
        if (!value(0, role::top)) return false;
        blanks();
        if (at_ != text_.size()) return fail("text after the map");
        return title_ == "sifterra clean map" || fail("not a cleaning map");
    }
    const std::string& error() const { return error_; }

private:
    enum class role { top, plain, identifier_list, identifier };

    bool fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at byte " + std::to_string(at_);
        return false;
    }
    void blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
            ++at_;
    }
    bool literal(char c) {
        blanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool string(std::string* out) {
        if (!literal('"')) return fail("expected a string");
        out->clear();
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size()) break;
            char e = text_[at_++];
            static constexpr const char escapes[] = "\"\\/bfnrt";
            static constexpr const char meanings[] = "\"\\/\b\f\n\r\t";
            const char* plain = e ? std::strchr(escapes, e) : nullptr;
            unsigned code = 0;
            if (plain) {
                *out += meanings[plain - escapes];
                continue;
            }
            if (e != 'u' || text_.size() - at_ < 4) return fail("bad escape");
            for (int i = 0; i < 4; ++i) {
                int digit = hex_value(text_[at_++]);
                if (digit < 0) return fail("bad escape");
                code = code << 4 | static_cast<unsigned>(digit);
            }
            if (code > 0x7F) return fail("a character escape above 127");
            *out += static_cast<char>(code);
        }
        return literal('"') || fail("unterminated string");
    }
    bool value(int depth, role r) {
        if (depth > 8) return fail("nested too deeply");
        blanks();
        if (at_ >= text_.size()) return fail("the map ends early");
        char c = text_[at_];
        if (c == '{') return object(depth, r);
        if (c == '[') {
            ++at_;
            if (literal(']')) return true;
            do {
                if (!value(depth + 1, r == role::identifier_list ? role::identifier : role::plain)) return false;
            } while (literal(','));
            return literal(']') || fail("expected ']'");
        }
        if (c == '"') {
            std::string ignored;
            return string(&ignored);
        }
        size_t start = at_;
        while (at_ < text_.size() && std::strchr("-+.0123456789eEtrufalsn", text_[at_]) && text_[at_]) ++at_;
        return at_ > start || fail("unexpected character");
    }
    bool object(int depth, role r) {
        ++at_;
        entry e;
        if (!literal('}')) {
            do {
                std::string key;
                if (!string(&key) || !literal(':')) return fail("expected a key");
                std::string* field = nullptr;
                if (r == role::identifier)
                    field = key == "kind" ? &e.kind : key == "original" ? &e.original
                          : key == "replacement" ? &e.replacement : nullptr;
                if (r == role::top && key == "map") field = &title_;
                role inner = r == role::top && key == "identifiers" ? role::identifier_list : role::plain;
                if (!(field ? string(field) : value(depth + 1, inner))) return false;
            } while (literal(','));
            if (!literal('}')) return fail("expected '}'");
        }
        if (r == role::identifier) entries_->push_back(e);
        return true;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string error_;
    std::string title_;
    std::vector<entry>* entries_ = nullptr;
};

std::string with_prefix(std::string address, int prefix) {
    char text[8];
    std::snprintf(text, sizeof text, "/%d", prefix);
    return address.append(text);
}

// "base/prefix".
template <typename V>
bool parse_network(std::string_view text, bool (*parse)(std::string_view, V*), int* prefix, V* base) {
    size_t slash = text.find('/');
    if (slash == std::string_view::npos || slash + 1 >= text.size() || text.size() - slash > 4) return false;
    int value = 0;
    for (char c : text.substr(slash + 1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value >= address_space<V>::bits || !parse(text.substr(0, slash), base)) return false;
    *prefix = value;
    return (*base & ~prefix_mask<V>(value)) == 0;
}

bool parse_mac(std::string_view text, uint64_t* value) {
    if (text.size() != 17) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < 17; ++i) {
        char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
            continue;
        }
        int digit = hex_value(c);
        if (digit < 0) return false;
        v = v << 4 | static_cast<uint64_t>(digit);
    }
    *value = v;
    return true;
}

// An entry of original and replacement, both read with parse.
template <typename V>
bool read_pair(const json_reader::entry& e, bool (*parse)(std::string_view, V*), std::map<V, V>& into) {
    V original, replacement;
    if (!parse(e.original, &original) || !parse(e.replacement, &replacement)) return false;
    into[original] = replacement;
    return true;
}

template <typename V>
bool read_network(const json_reader::entry& e, bool (*parse)(std::string_view, V*), address_space<V>& space) {
    int prefix = 0, replacement_prefix = 0;
    V base, replacement;
    if (!parse_network<V>(e.original, parse, &prefix, &base) ||
        !parse_network<V>(e.replacement, parse, &replacement_prefix, &replacement) || prefix != replacement_prefix)
        return false;
    space.networks[{prefix, base}] = replacement;
    return true;
}

}  // namespace

// ---- address texts ----

std::string ipv4_text(uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

std::string ipv6_text(ipv6_value a) {
    unsigned char bytes[16];
    for (int i = 15; i >= 0; --i, a >>= 8) bytes[i] = static_cast<unsigned char>(a & 0xFF);
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, bytes, text, sizeof text) ? text : "";
}

bool parse_ipv4(std::string_view text, uint32_t* address) {
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
        size_t digits = 0;
        unsigned octet = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            octet = octet * 10 + static_cast<unsigned>(text[at++] - '0');
            ++digits;
        }
        if (digits == 0 || octet > 255) return false;
        value = value << 8 | octet;
    }
    if (at != text.size()) return false;
    *address = value;
    return true;
}

bool parse_ipv6(std::string_view text, ipv6_value* address) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    char copy[INET6_ADDRSTRLEN];
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = 0;
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, copy, bytes) != 1) return false;
    ipv6_value value = 0;
    for (unsigned char b : bytes) value = value << 8 | b;
    *address = value;
    return true;
}

int ipv4_prefix(uint32_t netmask) {
    for (int prefix = 0; prefix <= 32; ++prefix)
        if (prefix_mask<uint32_t>(prefix) == netmask) return prefix;
    return -1;
}

int ipv6_prefix(ipv6_value netmask) {
    for (int prefix = 0; prefix <= 128; ++prefix)
        if (prefix_mask<ipv6_value>(prefix) == netmask) return prefix;
    return -1;
}

std::string mac_text(uint64_t a) {
    char text[20];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", static_cast<unsigned>(a >> 40) & 0xFF,
                  static_cast<unsigned>(a >> 32) & 0xFF, static_cast<unsigned>(a >> 24) & 0xFF,
                  static_cast<unsigned>(a >> 16) & 0xFF, static_cast<unsigned>(a >> 8) & 0xFF,
                  static_cast<unsigned>(a) & 0xFF);
    return text;
}

// ---- clean_map ----

bool clean_map::special_ipv4(uint32_t a) {
    uint32_t top = a >> 24;
    return top == 0 || top == 127 || a >= 0xE0000000u || a == 0x80000000u || a == 0xC0000000u;
}

bool clean_map::special_ipv6(ipv6_value a) {
    unsigned top = static_cast<unsigned>(a >> 120);
    return top == 0 || top == 0xFF;
}

bool clean_map::special_mac(uint64_t a) {
    return a == 0 || a == 0xFFFFFFFFFFFFull || ((a >> 40) & 1) != 0;
}

bool clean_map::add_text(identifier_kind kind, std::string_view original, std::string_view replacement) {
    std::string key = lower_case(original);
    auto it = text_index_.find(key);
    if (it != text_index_.end()) {
        text_identifier& known = texts_[it->second];
        if (known.replacement.empty() && !replacement.empty()) {
            known.replacement = replacement;
            used_replacements_.insert(lower_case(replacement));
        }
        return false;
    }
    text_index_.emplace(key, texts_.size());
    texts_.push_back({kind, std::string(original), std::string(replacement)});
    if (!replacement.empty()) used_replacements_.insert(lower_case(replacement));
    return true;
}

void clean_map::note_text(identifier_kind kind, std::string_view original) {
    if (!original.empty()) add_text(kind, original, "");
}

void clean_map::note_mac(uint64_t mac) {
    if (!special_mac(mac)) noted_macs_.insert(mac);
}

void clean_map::note_ipv4(uint32_t address) {
    if (!special_ipv4(address)) v4_.noted.insert(address);
}

void clean_map::note_ipv4_network(uint32_t address, int prefix) {
    if (prefix < ipv4_family.min_prefix || prefix >= 32 || special_ipv4(address)) return;
    v4_.noted_networks.insert({prefix, address & prefix_mask<uint32_t>(prefix)});
}

void clean_map::note_ipv6(ipv6_value address) {
    if (!special_ipv6(address)) v6_.noted.insert(address);
}

void clean_map::note_ipv6_network(ipv6_value address, int prefix) {
    if (prefix < ipv6_family.min_prefix || prefix >= 128 || special_ipv6(address)) return;
    v6_.noted_networks.insert({prefix, address & prefix_mask<ipv6_value>(prefix)});
}

bool clean_map::assign(std::string* problem) {
    std::vector<unsigned> counters(std::size(kind_names), 1);
    for (text_identifier& t : texts_) {
        if (!t.replacement.empty()) continue;
        const kind_name* k = find_kind(t.kind);
        unsigned& counter = counters[static_cast<size_t>(k - kind_names)];
        std::string candidate;
        do {
            char text[64];
            if (k->replacement_format)
                std::snprintf(text, sizeof text, k->replacement_format, counter);
            candidate = k->replacement_format ? text : hardware_replacement((t.original.size() + 1) / 3, counter);
            ++counter;
        } while (text_index_.count(lower_case(candidate)) || used_replacements_.count(lower_case(candidate)));
        t.replacement = candidate;
        used_replacements_.insert(lower_case(candidate));
    }
    std::set<uint64_t> used;
    for (const auto& [original, replacement] : macs_) used.insert(replacement);
    uint64_t next = 0x020000000001ull;
    for (uint64_t m : noted_macs_) {
        if (macs_.count(m)) continue;
        while (noted_macs_.count(next) || macs_.count(next) || used.count(next)) ++next;
        macs_[m] = next;
        used.insert(next++);
    }
    return assign_space(v4_, ipv4_family, problem, "IPv4") && assign_space(v6_, ipv6_family, problem, "IPv6");
}

bool clean_map::ipv4(uint32_t address, uint32_t* replacement) const {
    return lookup(v4_.addresses, address, replacement);
}

bool clean_map::ipv6(ipv6_value address, ipv6_value* replacement) const {
    return lookup(v6_.addresses, address, replacement);
}

bool clean_map::mac(uint64_t address, uint64_t* replacement) const { return lookup(macs_, address, replacement); }

bool clean_map::known_text(std::string_view text) const {
    std::string key = lower_case(text);
    return text_index_.count(key) || used_replacements_.count(key);
}

clean_map::counts clean_map::replaced() const {
    counts c;
    for (const text_identifier& t : texts_) {
        switch (t.kind) {
        case identifier_kind::host:
        case identifier_kind::domain: ++c.host_names; break;
        case identifier_kind::serial:
        case identifier_kind::uuid: ++c.serials; break;
        case identifier_kind::user: ++c.users; break;
        case identifier_kind::keyword: ++c.keywords; break;
        case identifier_kind::hardware_address: ++c.hardware_addresses; break;
        }
    }
    c.hardware_addresses += static_cast<int>(macs_.size());
    c.addresses = static_cast<int>(v4_.addresses.size() + v6_.addresses.size());
    return c;
}

std::string clean_map::to_json() const {
    std::string out = "{\"map\": \"sifterra clean map\", \"version\": 1,\n\"identifiers\": [";
    for (const text_identifier& t : texts_) json_entry(out, find_kind(t.kind)->name, t.original, t.replacement);
    for (const auto& [original, replacement] : macs_) json_entry(out, "mac", mac_text(original), mac_text(replacement));
    for (const auto& [network, replacement] : v4_.networks)
        json_entry(out, "ipv4-network", with_prefix(ipv4_text(network.second), network.first),
                   with_prefix(ipv4_text(replacement), network.first));
    for (const auto& [original, replacement] : v4_.addresses)
        json_entry(out, "ipv4", ipv4_text(original), ipv4_text(replacement));
    for (const auto& [network, replacement] : v6_.networks)
        json_entry(out, "ipv6-network", with_prefix(ipv6_text(network.second), network.first),
                   with_prefix(ipv6_text(replacement), network.first));
    for (const auto& [original, replacement] : v6_.hosts)
        json_entry(out, "ipv6-host", ipv6_text(original), ipv6_text(replacement));
    for (const auto& [original, replacement] : v6_.addresses)
        json_entry(out, "ipv6", ipv6_text(original), ipv6_text(replacement));
    return out + "\n]}\n";
}

bool clean_map::from_json(std::string_view json, std::string* problem) {
    std::vector<json_reader::entry> entries;
    json_reader reader(json);
    if (!reader.read(&entries)) {
        *problem = reader.error();
        return false;
    }
    clean_map loaded = *this;
    for (size_t i = 0; i < entries.size(); ++i) {
        const json_reader::entry& e = entries[i];
        bool ok = !e.original.empty() && !e.replacement.empty();
        if (!ok) {
        } else if (const kind_name* k = find_kind(e.kind)) {
            ok = k->kind != identifier_kind::uuid || (hex_digits(e.original, 32) && hex_digits(e.replacement, 32));
            if (ok) loaded.add_text(k->kind, e.original, e.replacement);
        } else if (e.kind == "mac") {
            ok = read_pair<uint64_t>(e, parse_mac, loaded.macs_);
        } else if (e.kind == "ipv4") {
            ok = read_pair<uint32_t>(e, parse_ipv4, loaded.v4_.addresses);
        } else if (e.kind == "ipv4-network") {
            ok = read_network<uint32_t>(e, parse_ipv4, loaded.v4_);
        } else if (e.kind == "ipv6") {
            ok = read_pair<ipv6_value>(e, parse_ipv6, loaded.v6_.addresses);
        } else if (e.kind == "ipv6-network") {
            ok = read_network<ipv6_value>(e, parse_ipv6, loaded.v6_);
        } else if (e.kind == "ipv6-host") {
            ok = read_pair<ipv6_value>(e, parse_ipv6, loaded.v6_.hosts);
        } else {
            ok = false;
        }
        if (!ok) {
            *problem = "identifier " + std::to_string(i + 1) + " (kind \"" + e.kind + "\") is not readable";
            return false;
        }
    }
    // What the saved map handed out, and what it replaced, is never handed
    // out again.
    protect_loaded(loaded.v4_);
    protect_loaded(loaded.v6_);
    *this = std::move(loaded);
    return true;
}
