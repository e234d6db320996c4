#include "kdtool/line_diff.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "kdtool/text_form.h"

namespace {

constexpr size_t context_lines = 3;
// The edit search is given up beyond this many edits (its saved rows grow
// with the square of the edits); the lines between the common start and end
// are then shown as removed and added whole, which is still a correct diff.
constexpr long max_edits = 1000;

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return lines;
}

enum class edit : char { same, removed, added };

// Myers' greedy search for the shortest edit script from a to b; false when
// it needs more than max_edits edits.
bool shortest_edit(const int* a, long n, const int* b, long m, std::vector<edit>* script) {
    const long offset = max_edits + 2;
    std::vector<int> v(2 * static_cast<size_t>(offset) + 1, 0);
    std::vector<std::vector<int>> trace;  // before step d: diagonals -d-1..d+1
    for (long d = 0; d <= std::min(n + m, max_edits); d++) {
        trace.emplace_back(v.begin() + (offset - d - 1), v.begin() + (offset + d + 2));
        for (long k = -d; k <= d; k += 2) {
            long x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) ? v[offset + k + 1]
                                                                                     : v[offset + k - 1] + 1;
            long y = x - k;
            while (x < n && y < m && a[x] == b[y]) {
                x++;
                y++;
            }
            v[offset + k] = static_cast<int>(x);
            if (x < n || y < m) continue;
            std::vector<edit> reversed;
            long cx = n, cy = m;
            for (long e = d; e >= 0; e--) {
                const std::vector<int>& row = trace[e];
                auto at = [&](long kk) { return static_cast<long>(row[kk + e + 1]); };
                long ck = cx - cy;
                bool down = ck == -e || (ck != e && at(ck - 1) < at(ck + 1));
                long pk = down ? ck + 1 : ck - 1;
                long px = at(pk), py = px - pk;
                while (cx > px && cy > py && cx > 0 && cy > 0) {
                    reversed.push_back(edit::same);
                    cx--;
                    cy--;
                }
                if (e > 0) reversed.push_back(down ? edit::added : edit::removed);
                cx = px;
                cy = py;
            }
            script->insert(script->end(), reversed.rbegin(), reversed.rend());
            return true;
        }
    }
    return false;
}

struct hunk_writer {
    const std::vector<std::string_view>& a;
    const std::vector<std::string_view>& b;
    size_t max_lines;
    const std::string& indent;
    FILE* out;
    line_diff_result result;

    void line(char mark, std::string_view text) {
        if (max_lines && result.lines >= max_lines) {
            result.cut++;
            return;
        }
        result.lines++;
        std::string safe = line_text(text);
        std::fprintf(out, "%s%c%s\n", indent.c_str(), mark, safe.c_str());
    }
    void header(size_t a_start, size_t a_count, size_t b_start, size_t b_count) {
        if (max_lines && result.lines >= max_lines) {
            result.cut++;
            return;
        }
        result.lines++;
        // Unified form: an empty range is numbered by the line before it.
        std::fprintf(out, "%s@@ -%zu,%zu +%zu,%zu @@\n", indent.c_str(), a_count ? a_start + 1 : a_start, a_count,
                     b_count ? b_start + 1 : b_start, b_count);
    }
    // Writes the hunks of a script that covers all lines of a and b.
    void write(const std::vector<edit>& script) {
        size_t i = 0;
        while (i < script.size()) {
            if (script[i] == edit::same) {
                i++;
                continue;
            }
            // A hunk: from context before the change up to context after the
            // last change that is not more than two contexts away.
            size_t start = i >= context_lines ? i - context_lines : 0;
            size_t end = i;
            for (size_t j = i; j < script.size(); j++) {
                if (script[j] != edit::same) end = j + 1;
                else if (j - end >= 2 * context_lines) break;
            }
            end = std::min(script.size(), end + context_lines);
            size_t ai = 0, bi = 0;
            for (size_t j = 0; j < start; j++) {
                if (script[j] != edit::added) ai++;
                if (script[j] != edit::removed) bi++;
            }
            size_t an = 0, bn = 0;
            for (size_t j = start; j < end; j++) {
                if (script[j] != edit::added) an++;
                if (script[j] != edit::removed) bn++;
            }
            header(ai, an, bi, bn);
            for (size_t j = start; j < end; j++) {
                if (script[j] == edit::same) line(' ', a[ai++]), bi++;
                else if (script[j] == edit::removed) line('-', a[ai++]);
                else line('+', b[bi++]);
            }
            i = end;
        }
    }
};

}  // namespace

line_diff_result unified_diff(std::string_view a_text, std::string_view b_text, size_t max_lines,
                              const std::string& indent, FILE* out) {
    std::vector<std::string_view> a = split_lines(a_text), b = split_lines(b_text);
    std::unordered_map<std::string_view, int> ids;
    std::vector<int> ai, bi;
    ai.reserve(a.size());
    bi.reserve(b.size());
    for (std::string_view line : a) ai.push_back(ids.emplace(line, static_cast<int>(ids.size())).first->second);
    for (std::string_view line : b) bi.push_back(ids.emplace(line, static_cast<int>(ids.size())).first->second);

    size_t prefix = 0;
    while (prefix < ai.size() && prefix < bi.size() && ai[prefix] == bi[prefix]) prefix++;
    size_t suffix = 0;
    while (suffix < ai.size() - prefix && suffix < bi.size() - prefix &&
           ai[ai.size() - 1 - suffix] == bi[bi.size() - 1 - suffix])
        suffix++;

    std::vector<edit> script(prefix, edit::same);
    long n = static_cast<long>(ai.size() - prefix - suffix), m = static_cast<long>(bi.size() - prefix - suffix);
    if (!shortest_edit(ai.data() + prefix, n, bi.data() + prefix, m, &script)) {
        script.insert(script.end(), static_cast<size_t>(n), edit::removed);
        script.insert(script.end(), static_cast<size_t>(m), edit::added);
    }
    script.insert(script.end(), suffix, edit::same);

    hunk_writer writer{a, b, max_lines, indent, out, {}};
    writer.result.differ = n > 0 || m > 0;
    writer.write(script);
    return writer.result;
}
