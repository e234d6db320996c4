// Tables written from rows of typed cells, as the native readers build them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "report/report_table.h"

struct table_column {
    const char* name;
    ColumnType type;
};

// One cell of a reader's table: a text (STRING columns), a count or size
// (INTEGER), a signed value (INTEGER) or a flag (BOOL).
struct table_cell {
    enum class kind { text, count, value, flag };
    kind type;
    std::string text;
    uint64_t count = 0;
    int32_t value = 0;

    table_cell(std::string cell_text) : type(kind::text), text(std::move(cell_text)) {}
    table_cell(const char* cell_text) : type(kind::text), text(cell_text ? cell_text : "") {}
    static table_cell of_count(uint64_t number);
    static table_cell of_value(int32_t number);
    static table_cell of_flag(bool set);
};

// A row: its label and its cells; a row with fewer cells than columns
// ends early (a figure that could not be had is left out, never shown as 0).
struct table_row {
    std::string label;
    std::vector<table_cell> cells;
};

// Writes a whole table. Each column is as wide as its longest value (at
// most 255), so that the text renderings show whole values.
void write_table(FILE* report, const char* title, std::initializer_list<table_column> columns,
                 const std::vector<table_row>& rows);
