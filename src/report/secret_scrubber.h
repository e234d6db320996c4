// Masks secrets in text on its way into the report: the values of known
// secret keys (boot loader, LDAP and OpenSSL passwords, password arguments of
// command lines) become "********" while the key stays, so a reader still
// sees that a password is set; the body of a private key block becomes one
// "********" line. The rules are data (secret_rules), tried in order. Text
// streams through line by line: a line longer than max_line is handled in
// pieces, and only a private key block carries state across lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>

inline constexpr const char* secret_mask = "********";

// Where a rule's key stands: as the first word of a line (configuration
// files), or anywhere after a separator (command lines, mount options).
enum class key_place { line_start, anywhere };

struct secret_rule {
    const char* what;      // the README's name for the rule
    const char* key;
    key_place place;
    bool key_is_suffix;    // the key ends the first word ("input_password")
    bool any_case;         // the key matches without regard to case
    bool needs_equals;     // only "key=value" ("key value" is not the rule's)
    bool allows_equals;    // "key=value" as well as "key value"
    bool keep_options;     // leading "--md5"-like options of the value stay
    int keep_words;        // words of the value that stay (the grub 2 user)
    bool one_word;         // the value is one word (else the rest of the line)
};

// The rules, in the order they are tried.
std::span<const secret_rule> secret_rules();

class secret_scrubber {
public:
    static constexpr size_t max_line = 65536;

    // Appends the masked form of the next bytes to out; lines are passed on
    // as they complete.
    void put(const char* data, size_t size, std::string& out);
    // Passes on what is left: a last line without a line end, and the
    // marker of a private key block that never ended.
    void finish(std::string& out);

    // The masked form of a whole text.
    static std::string scrub(std::string_view text);

private:
    void scrub_line(std::string_view line, std::string& out);
    bool private_key_line(std::string_view body, std::string_view end, std::string& out);

    std::string line_;
    bool at_line_start_ = true;   // line_ starts a line (not the rest of a cut one)
    bool in_private_key_ = false;
};

// Reads input to its end and hands the masked text to sink in pieces of at
// most about 64 KiB. False when reading failed.
bool scrub_stream(FILE* input, const std::function<void(std::string_view)>& sink);
