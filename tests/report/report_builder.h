// Reports for tests, written by the report writer itself from a short
// description: sections of tables and embedded texts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/run_context.h"
#include "report/report.h"
#include "report/report_table.h"
#include "report/xml.h"

struct built_table {
    std::string title;
    std::vector<std::pair<std::string, ColumnType>> columns;
    // Each row: its key, then one text per column (numbers as text).
    std::vector<std::vector<std::string>> rows;
};

struct built_file {
    std::string name;
    std::string text;
};

struct built_section {
    std::string title;
    std::vector<built_table> tables;
    std::vector<built_file> files;
};

inline std::string build_report(const std::vector<built_section>& sections) {
    reset_report_state();
    set_output_mode(4);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    write_xml_declaration(out);
    open_element(out, "GATHERED_DATA");
    write_element(out, "SIFTERRA_VERSION", sifterra_version);
    for (const built_section& s : sections) {
        begin_section(out, s.title.c_str());
        for (const built_table& t : s.tables) {
            report_table table(out, t.title.c_str());
            table.start_heading();
            for (const auto& [name, type] : t.columns) table.add_column(name.c_str(), type);
            table.end_heading();
            for (const std::vector<std::string>& row : t.rows) {
                table.start_row(row[0].c_str());
                for (size_t i = 1; i < row.size(); ++i) {
                    ColumnType type = t.columns[i - 1].second;
                    if (type == STRING || type == ASCII_STRING)
                        table.log_data(row[i].c_str());
                    else
                        table.log_data(std::atoi(row[i].c_str()));
                }
                table.end_row();
            }
        }
        for (const built_file& f : s.files) {
            FILE* in = fmemopen(const_cast<char*>(f.text.data()), f.text.size(), "rb");
            embed_stream(out, f.name.c_str(), f.text.empty() ? nullptr : in);
            if (in) std::fclose(in);
        }
        end_section(out);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%8X", document_checksum());
    write_element(out, "CHK", text);
    close_element(out, "GATHERED_DATA");
    std::fclose(out);
    std::string report(buffer, size);
    std::free(buffer);
    reset_report_state();
    return report;
}
