#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kdtool/line_diff.h"
#include "support/temp_dir.h"

namespace {

std::string diff_of(const std::string& a, const std::string& b, size_t max_lines = 0) {
    captured_stream out;
    unified_diff(a, b, max_lines, "", out.get());
    return out.text();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Applies a unified diff to a's lines; the hunks' numbers must agree with
// the lines they carry.
std::vector<std::string> apply_diff(const std::vector<std::string>& a, const std::string& diff) {
    std::vector<std::string> out;
    size_t next = 0;  // next line of a not yet copied
    for (const std::string& line : lines_of(diff)) {
        if (line.rfind("@@ -", 0) == 0) {
            size_t start = std::stoul(line.substr(4));
            size_t count = std::stoul(line.substr(line.find(',') + 1));
            size_t first = count ? start - 1 : start;
            while (next < first) out.push_back(a[next++]);
        } else if (line[0] == ' ') {
            EXPECT_EQ(a[next], line.substr(1));
            out.push_back(a[next++]);
        } else if (line[0] == '-') {
            EXPECT_EQ(a[next], line.substr(1));
            next++;
        } else if (line[0] == '+') {
            out.push_back(line.substr(1));
        }
    }
    while (next < a.size()) out.push_back(a[next++]);
    return out;
}

std::string numbered(int from, int to, const char* word = "line") {
    std::string text;
    for (int i = from; i <= to; i++) text += std::string(word) + " " + std::to_string(i) + "\n";
    return text;
}

}  // namespace

TEST(LineDiff, HunksAsUnifiedDiffWritesThem) {
    struct {
        std::string a, b, expected;
    } cases[] = {
        {"a\nb\nc\n", "a\nb\nc\n", ""},
        {"a\nb\nc\n", "a\nB\nc\n", "@@ -1,3 +1,3 @@\n a\n-b\n+B\n c\n"},
        {"", "new\n", "@@ -0,0 +1,1 @@\n+new\n"},
        {"old\n", "", "@@ -1,1 +0,0 @@\n-old\n"},
        {numbered(1, 10), numbered(1, 9), "@@ -7,4 +7,3 @@\n line 7\n line 8\n line 9\n-line 10\n"},
        // Changes more than six lines apart are separate hunks.
        {numbered(1, 20), "line 1\nX\n" + numbered(3, 18) + "Y\nline 20\n",
         "@@ -1,5 +1,5 @@\n line 1\n-line 2\n+X\n line 3\n line 4\n line 5\n"
         "@@ -16,5 +16,5 @@\n line 16\n line 17\n line 18\n-line 19\n+Y\n line 20\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(diff_of(c.a, c.b), c.expected) << c.a << "|" << c.b;
}

// Whatever the change, applying the diff to a gives b, also where the edit
// search gives up and falls back to replacing the middle whole.
TEST(LineDiff, AppliedDiffGivesTheNewText) {
    std::mt19937 rng(5);
    for (int round = 0; round < 40; round++) {
        size_t edits = round < 30 ? rng() % 20 : 1500 + rng() % 500;
        std::vector<std::string> a = lines_of(numbered(1, 3000)), b = a;
        for (size_t e = 0; e < edits && !b.empty(); e++) {
            size_t at = rng() % b.size();
            switch (rng() % 3) {
            case 0: b[at] = "changed " + std::to_string(e); break;
            case 1: b.erase(b.begin() + static_cast<long>(at)); break;
            default: b.insert(b.begin() + static_cast<long>(at), "inserted " + std::to_string(e)); break;
            }
        }
        std::string a_text, b_text;
        for (const auto& l : a) a_text += l + "\n";
        for (const auto& l : b) b_text += l + "\n";
        EXPECT_EQ(apply_diff(a, diff_of(a_text, b_text)), b) << "round " << round;
    }
}

TEST(LineDiff, CutAfterMaxLinesAndSafeForATerminal) {
    captured_stream out;
    line_diff_result r = unified_diff(numbered(1, 100), numbered(1, 100, "other"), 10, "  ", out.get());
    EXPECT_TRUE(r.differ);
    EXPECT_EQ(r.lines, 10u);
    EXPECT_GT(r.cut, 0u);
    EXPECT_EQ(lines_of(out.text()).size(), 10u);
    EXPECT_EQ(diff_of("a\r\xC2\x9B" "2J\n", "b\n"), "@@ -1,1 +1,1 @@\n-a^M?2J\n+b\n");
}
