#include "report/secret_scrubber.h"

#include <cstring>

namespace {

constexpr size_t npos = std::string_view::npos;

// what, key, place, key_is_suffix, any_case, needs_equals, allows_equals,
// keep_options, keep_words, one_word
constexpr secret_rule rules[] = {
    {"boot loader password (lilo \"password=\", grub \"password [--md5] ...\")", "password", key_place::line_start,
     false, false, false, true, true, 0, false},
    {"grub 2 password hash (\"password_pbkdf2 USER ...\", the user stays)", "password_pbkdf2",
     key_place::line_start, false, false, false, false, false, 1, false},
    {"LDAP bind password (\"bindpw\")", "bindpw", key_place::line_start, false, true, false, true, false, 0, false},
    {"LDAP or installer root password (\"rootpw [--iscrypted] ...\")", "rootpw", key_place::line_start, false, true,
     false, true, true, 0, false},
    {"OpenSSL configuration password (\"input_password = ...\" and any other \"*_password =\")", "_password",
     key_place::line_start, true, false, true, true, false, 0, false},
    {"OpenSSL challenge password (\"challengePassword = ...\")", "challengePassword", key_place::line_start, false,
     false, true, true, false, 0, false},
    {"password argument (\"password=...\", also \"--password=\" and mount options)", "password", key_place::anywhere,
     false, true, true, true, false, 0, true},
    {"pass argument (\"pass=...\")", "pass", key_place::anywhere, false, true, true, true, false, 0, true},
    {"password option (\"--password ...\")", "--password", key_place::anywhere, false, true, false, true, false, 0,
     true},
};

bool blank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text(std::string_view text, size_t at, std::string_view key, bool any_case) {
    if (at > text.size() || text.size() - at < key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char a = text[at + i], b = key[i];
        if (any_case ? lower(a) != lower(b) : a != b) return false;
    }
    return true;
}

// Any key of the rules holds "pass" or "pw"; lines without them (nearly all)
// are passed on untouched.
bool may_hold_secret(std::string_view body) {
    for (size_t i = 0; i + 1 < body.size(); ++i) {
        if (lower(body[i]) != 'p') continue;
        char next = lower(body[i + 1]);
        if (next == 'w' || (next == 'a' && i + 3 < body.size() && lower(body[i + 2]) == 's' &&
                            lower(body[i + 3]) == 's'))
            return true;
    }
    return false;
}

size_t skip_blanks(std::string_view s, size_t at) {
    while (at < s.size() && blank(s[at])) ++at;
    return at;
}

size_t skip_word(std::string_view s, size_t at) {
    while (at < s.size() && !blank(s[at])) ++at;
    return at;
}

// Where the value starts after a key ending at key_end, or npos when the
// separator is not one the rule allows.
size_t value_start(std::string_view body, size_t key_end, const secret_rule& rule) {
    size_t at = skip_blanks(body, key_end);
    if (at < body.size() && body[at] == '=') {
        if (!rule.allows_equals) return npos;
        return skip_blanks(body, at + 1);
    }
    return rule.needs_equals || at == key_end ? npos : at;
}

// The masked span [begin, end) of the value, or false when there is no value.
bool value_span(std::string_view body, size_t at, const secret_rule& rule, size_t* begin, size_t* end) {
    if (rule.keep_options)
        while (at + 1 < body.size() && body[at] == '-' && body[at + 1] == '-')
            at = skip_blanks(body, skip_word(body, at));
    for (int i = 0; i < rule.keep_words; ++i) at = skip_blanks(body, skip_word(body, at));
    if (at >= body.size()) return false;
    *begin = at;
    if (!rule.one_word) {
        *end = body.size();
    } else if (body[at] == '"' || body[at] == '\'') {
        size_t close = body.find(body[at], at + 1);
        *end = close == npos ? body.size() : close + 1;
    } else {
        *end = skip_word(body, at);
    }
    return true;
}

// The key of a line-start rule at the first word; gives the end of the key.
size_t line_key_end(std::string_view body, size_t word, const secret_rule& rule) {
    std::string_view key = rule.key;
    if (!rule.key_is_suffix) return same_text(body, word, key, rule.any_case) ? word + key.size() : npos;
    size_t end = word;
    while (end < body.size() && !blank(body[end]) && body[end] != '=') ++end;
    if (end - word <= key.size()) return npos;
    return same_text(body, end - key.size(), key, rule.any_case) ? end : npos;
}

// A key inside a line counts after the line start or one of these.
bool argument_boundary(std::string_view body, size_t at) {
    if (at == 0) return true;
    return std::strchr(" \t,;&?\"'(-_", body[at - 1]) != nullptr;
}

// Masks with the line-start rules; true when one applied.
bool mask_line_start(std::string_view body, std::string& out) {
    size_t word = skip_blanks(body, 0);
    for (const secret_rule& rule : rules) {
        if (rule.place != key_place::line_start) continue;
        size_t key_end = line_key_end(body, word, rule);
        if (key_end == npos) continue;
        size_t value = value_start(body, key_end, rule), begin, end;
        if (value == npos || !value_span(body, value, rule, &begin, &end)) continue;
        out.append(body.substr(0, begin)).append(secret_mask).append(body.substr(end));
        return true;
    }
    return false;
}

void mask_arguments(std::string_view body, std::string& out) {
    size_t copied = 0;
    for (size_t at = 0; at < body.size(); ++at) {
        char first = lower(body[at]);
        if (first != 'p' && first != '-') continue;
        for (const secret_rule& rule : rules) {
            if (rule.place != key_place::anywhere || !same_text(body, at, rule.key, rule.any_case) ||
                !argument_boundary(body, at))
                continue;
            size_t value = value_start(body, at + std::strlen(rule.key), rule), begin, end;
            if (value == npos || !value_span(body, value, rule, &begin, &end)) continue;
            out.append(body.substr(copied, begin - copied)).append(secret_mask);
            copied = end;
            at = end - 1;
            break;
        }
    }
    out.append(body.substr(copied));
}

// Finds a "-----BEGIN ...PRIVATE KEY...-----" (kind "BEGIN") or END marker
// from at; gives its start and, in after, the position after it.
size_t find_key_marker(std::string_view body, const char* kind, size_t at, size_t* after) {
    const std::string opening = std::string("-----") + kind + " ";
    for (size_t start = body.find(opening, at); start != npos; start = body.find(opening, start + 1)) {
        size_t label = start + opening.size();
        size_t close = body.find("-----", label);
        if (close == npos) return npos;
        if (body.substr(label, close - label).find("PRIVATE KEY") == npos) continue;
        *after = close + 5;
        return start;
    }
    return npos;
}

}  // namespace

std::span<const secret_rule> secret_rules() { return rules; }

// Inside a private key block every line is dropped until the END marker,
// which follows one mask line. Outside, a BEGIN marker starts such a block
// (or, with its END on the same line, masks what stands between them).
bool secret_scrubber::private_key_line(std::string_view body, std::string_view end, std::string& out) {
    size_t after = 0;
    if (in_private_key_) {
        size_t stop = find_key_marker(body, "END", 0, &after);
        if (stop == npos) return true;
        out.append(secret_mask).append("\n").append(body.substr(stop)).append(end);
        in_private_key_ = false;
        return true;
    }
    if (find_key_marker(body, "BEGIN", 0, &after) == npos) return false;
    out.append(body.substr(0, after));
    size_t end_after = 0;
    size_t stop = find_key_marker(body, "END", after, &end_after);
    if (stop != npos)
        out.append(secret_mask).append(body.substr(stop));
    else
        in_private_key_ = true;
    out.append(end);
    return true;
}

void secret_scrubber::scrub_line(std::string_view line, std::string& out) {
    size_t body_size = line.size();
    if (body_size > 0 && line[body_size - 1] == '\n') --body_size;
    if (body_size > 0 && line[body_size - 1] == '\r') --body_size;
    std::string_view body = line.substr(0, body_size), end = line.substr(body_size);
    if (in_private_key_ || body.find("-----") != npos) {
        if (private_key_line(body, end, out)) return;
    }
    if (!may_hold_secret(body)) {
        out.append(line);
        return;
    }
    if (!(at_line_start_ && mask_line_start(body, out))) mask_arguments(body, out);
    out.append(end);
}

void secret_scrubber::put(const char* data, size_t size, std::string& out) {
    while (size > 0) {
        size_t room = max_line - line_.size();
        size_t take = size < room ? size : room;
        const void* newline = std::memchr(data, '\n', take);
        if (newline) take = static_cast<size_t>(static_cast<const char*>(newline) - data) + 1;
        line_.append(data, take);
        data += take;
        size -= take;
        if (newline || line_.size() >= max_line) {
            scrub_line(line_, out);
            line_.clear();
            at_line_start_ = newline != nullptr;
        }
    }
}

void secret_scrubber::finish(std::string& out) {
    if (!line_.empty()) scrub_line(line_, out);
    line_.clear();
    if (in_private_key_) out.append(secret_mask).append("\n");
    in_private_key_ = false;
    at_line_start_ = true;
}

std::string secret_scrubber::scrub(std::string_view text) {
    secret_scrubber scrubber;
    std::string out;
    scrubber.put(text.data(), text.size(), out);
    scrubber.finish(out);
    return out;
}

bool scrub_stream(FILE* input, const std::function<void(std::string_view)>& sink) {
    constexpr size_t chunk = 65536;
    secret_scrubber scrubber;
    std::string buffer(chunk, '\0');
    std::string out;
    out.reserve(chunk + secret_scrubber::max_line);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, chunk, input)) > 0) {
        scrubber.put(buffer.data(), got, out);
        if (out.size() >= chunk) {
            sink(out);
            out.clear();
        }
    }
    scrubber.finish(out);
    if (!out.empty()) sink(out);
    return !std::ferror(input);
}
