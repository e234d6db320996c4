// Reads back a mode-4 report and recomputes every checksum it carries.
#pragma once

#include <cstdio>
#include <string>

struct report_check_result {
    bool ok = false;
    std::string error;   // first problem found, empty when ok
    int sections = 0;
    int tables = 0;
    int rows = 0;
    int files = 0;
};

// Checks that the document is well formed as this writer produces it (only
// characters XML allows, matched tags, known entities) and that every row,
// table, file, section and document CHK matches a recomputation. A document
// without its final CHK fails. A document that is not well-formed reports
// that, even when a checksum before the damage was already wrong.
report_check_result check_report(const std::string& document);
// The same for a document read from a stream, in bounded memory.
report_check_result check_report_stream(FILE* in);
