// Findings: the problems a report shows, found by a table of rules that a
// support organisation can read and extend (finding_rules.cpp) and one
// engine that applies them (findings.cpp). Findings come from the report
// alone, never from the machine that reads it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "kdtool/report_content.h"

enum class finding_severity { critical, warning, info };

const char* severity_name(finding_severity s);

// How a rule looks at the report.
enum class rule_kind {
    log_line,        // a line of the kernel log, the journal or the system log
    file_line,       // a line of an embedded file (name, or name prefix ending in '*')
    cell_ratio,      // in each row: numerator / denominator within [threshold, below)
    cell_match,      // each row whose cells meet the conditions
    cell_less,       // each row where one number is below another (column < column2)
    file_ratio,      // in a "Key: value" file: 1 - value(column) / value(column2) within [threshold, below)
    taint,           // a non-zero taint mask, its flags decoded from the flag table
    configured_down, // an interface with an address whose flags lack UP
};

// A condition on a cell: "Column=a|b" (equals one), "Column!=a|b" (equals
// none), "Column~WORD" (has the word), "Column!~WORD" (lacks it),
// "Column>N" and "Column<N" (a number, compared by its size).
struct finding_rule {
    const char* id;
    finding_severity severity;
    rule_kind kind;
    const char* where;       // table title, file name or log source set
    const char* column;      // numerator, first compared column, or file key
    const char* column2;     // denominator ("A+B" sums), second column, or file key
    const char* match;       // lines: texts separated by '|', one must occur (case-sensitive)
    const char* pattern;     // lines: a regular expression that must also match; its groups are {1}, {2}
    const char* except;      // lines that also hold one of these texts are left out
    const char* conditions;  // rows: conditions separated by ';', all must hold
    double threshold;        // ratios: lowest value; cell_ratio: also the lowest numerator in min_count
    double below;            // ratios: the value from which the next rule takes over (0: none)
    double min_count;        // ratios: a numerator below this is too few to count
    const char* title;       // {Column} is a cell, {1} a group, {file} the file name's tail,
                             // {percent} the ratio, {pci} the bus address, {message} the line
    const char* next;        // what to look at next
};

const std::vector<finding_rule>& finding_rules();

// Where the log rules look: the tables with a message column and the files
// of log lines.
struct log_source {
    const char* name;     // table title or file name
    bool table;           // a table (Time and Message columns) or a file of lines
};
const std::vector<log_source>& log_sources();

struct finding {
    finding_severity severity = finding_severity::info;
    std::string rule;
    std::string title;
    std::string evidence;  // section, table or file, row or line, and the value
    std::string next;
    std::string section;   // where the evidence is: section and item, for links
    std::string item;
    long repeats = 1;      // lines with the same message
};

// The problems the report shows, most severe first, each kind in report order.
std::vector<finding> find_problems(const report_content& content,
                                   const std::vector<finding_rule>& rules = finding_rules());

// Loads the report at path and finds its problems; false with problem set
// when it cannot be read.
bool find_report_problems(const std::string& path, std::vector<finding>* found, std::string* problem);

// The findings as text: a count line, then per finding its severity and
// title, and indented its evidence and what to look at next. Nothing when
// there are none and quiet_when_none is set.
void write_findings_text(FILE* out, const std::vector<finding>& found, bool quiet_when_none = false);
// The findings as a JSON array of objects.
void write_findings_json(FILE* out, const std::vector<finding>& found);
