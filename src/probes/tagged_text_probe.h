// Turns the tagged output of an embedded script into report tables.
//
// The output is a stream of items, each followed by a BEL (code 7):
// "@TABLE" name, then per row "ROW" name, then per field "FIELD" name value.
// Items beginning with "@" are directives; only "@TABLE" is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "probes/probe.h"

// One item of the stream: its text without the BEL, zero-terminated.
struct tagged_item {
    tagged_item* next;
    const char* text;
    int32_t width;    // FIELD items: 0 not yet computed, -1 computed as zero
    bool directive;   // the text begins with "@"
};

// All items of one stream, in stream order. Owns their texts.
class tagged_item_list {
public:
    tagged_item_list() = default;
    ~tagged_item_list();
    tagged_item_list(const tagged_item_list&) = delete;
    tagged_item_list& operator=(const tagged_item_list&) = delete;

    tagged_item* first() const { return count_ ? items_ : nullptr; }
    size_t size() const { return count_; }

private:
    friend void read_items(FILE* input, tagged_item_list& items);
    char* text_ = nullptr;         // the whole stream, BELs replaced by zeros
    tagged_item* items_ = nullptr;
    size_t count_ = 0;
};

// Reads the whole stream and splits it into items. A last item without a BEL
// keeps all its characters. If memory runs out, "OUCH!" goes to standard
// error and the complete items read so far are kept.
void read_items(FILE* input, tagged_item_list& items);

// Writes one report table per "@TABLE" directive, skipping anything else up
// to the next directive; gives the number of tables written.
int process_items(const tagged_item_list& items);

// Writes the table that starts at the "@TABLE" item; gives the item to go on
// with (the next directive) or null.
tagged_item* build_table(tagged_item* table);

// Stores in every FIELD item of the table that starts at first the width of
// its column: the longest of the field name and all its values.
void compute_widths(tagged_item* first);

// The first item after this one that is a directive, or null.
tagged_item* next_directive(tagged_item* item);

// Runs a script and writes its tagged output as tables; true when the
// output held at least one table.
class tagged_text_probe : public probe {
public:
    tagged_text_probe(probe_section& section, const char* name, const char* script,
                      int32_t level);
    bool run() override;

    const char* script;  // static text
};
