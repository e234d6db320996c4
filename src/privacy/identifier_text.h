// Identifiers in text. Addresses are recognised by their form (IPv4, IPv6
// and MAC addresses), names by a byte trie matched without regard to case
// and only as whole words; identifier_replacer rewrites a text with the
// replacements of a clean_map, whole or as it arrives in pieces.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "privacy/clean_map.h"

// The longest identifier that is replaced; longer ones are left alone.
inline constexpr size_t max_identifier_length = 256;

inline bool ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

struct address_token {
    enum class kind { none, ipv4, ipv6, mac } type = kind::none;
    // How it is written: the usual form, or one of the other forms tools
    // and names use.
    enum class form {
        usual,       // 192.0.2.2, fe80::1, 52:54:00:12:34:56 or 52-54-00-12-34-56
        dashed,      // ip-192-0-2-2 (cloud host names)
        kernel_hex,  // 0202000A: /proc/net, the address's bytes in memory order
        dotted,      // 5254.0012.3456 (switches)
        bare,        // 525400123456
    } written = form::usual;
    size_t length = 0;
    uint32_t v4 = 0;
    ipv6_value v6 = 0;
    uint64_t mac = 0;
    char separator = ':';  // of a MAC address
    bool upper = false;    // written with upper-case hexadecimal digits
    // A form that plain numbers and hexadecimal words take too: replaced
    // only when the address is known from its usual form, never noted.
    bool known_only = false;
};

// The address that starts at text[at], if one does: a character before it
// that would continue it (a letter or digit, a dot, and for IPv6 and MAC
// addresses a colon) means it does not.
address_token scan_address(std::string_view text, size_t at);
// The address written the same way as form.
std::string address_in_form(const address_token& form, uint32_t v4, uint64_t mac);

// 32 hexadecimal digits (dashes of the 8-4-4-4-12 form removed), lower case;
// empty when the text is not a UUID.
std::string uuid_digits(std::string_view text);
// The UUID (32 digits) with its first three fields byte-swapped: firmware
// stores them little-endian, tools show them both ways.
std::string swapped_uuid(const std::string& digits);

// The literal identifiers: a byte trie, matched without regard to case and
// only as whole words.
class literal_trie {
public:
    void add(std::string_view pattern, int index);
    // The longest pattern at text[at] that ends at a word boundary: its
    // index, and its length in length. -1 when none.
    int match(std::string_view text, size_t at, size_t* length) const;
    size_t longest() const { return longest_; }

private:
    std::unordered_map<uint64_t, int> edges_;  // (node, byte) -> node
    std::vector<int> ends_{-1};                // node -> pattern index, or -1
    std::vector<bool> last_alnum_{false};
    bool starts_[256] = {};
    size_t longest_ = 0;
};

// Rewrites text with the replacements of a map.
class identifier_replacer {
public:
    explicit identifier_replacer(const clean_map& map);

    // Copies text[from, limit) to out with identifiers replaced, where an
    // identifier that starts before limit may run past it. Gives where the
    // copy ended. Names of extra count as identifiers too.
    size_t replace(std::string_view text, size_t from, size_t limit, std::string& out,
                   const literal_trie* extra = nullptr) const;
    // The whole text; as_file_name also finds the identifiers in the form a
    // result file name gives them ('/' and control characters as '_').
    std::string replace_all(std::string_view text, bool as_file_name = false) const;
    // What a streamed piece must keep back so that no identifier is split.
    size_t reach() const { return std::max<size_t>(literals_.longest(), 48) + 1; }

private:
    void add(const std::string& original, const std::string& replacement);
    bool replacement_of(const address_token& t, std::string* text) const;

    const clean_map& map_;
    literal_trie literals_;
    literal_trie name_forms_;
    std::vector<std::string> originals_;
    std::vector<std::string> replacements_;
};

// Feeds text that arrives in pieces to a routine that looks at whole
// tokens: each round keeps back the last reach bytes (and one byte of
// context before them) for the next piece.
class piece_joiner {
public:
    explicit piece_joiner(size_t reach) : reach_(reach) {}

    // Calls work(text, from, limit) on the joined text; work gives how far
    // it got (at least limit).
    template <typename Work>
    void put(std::string_view piece, bool last, Work work) {
        text_.append(piece);
        size_t from = context_ ? 1 : 0;
        size_t limit = last ? text_.size() : text_.size() > reach_ ? text_.size() - reach_ : 0;
        if (limit <= from && !last) return;
        size_t done = work(std::string_view(text_), from, std::max(limit, from));
        if (last) {
            text_.clear();
            context_ = false;
            return;
        }
        text_.erase(0, done - 1);
        context_ = true;
    }

private:
    size_t reach_;
    std::string text_;
    bool context_ = false;  // text_[0] was handled already and is only context
};

