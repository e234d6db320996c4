// The SYSTEM SUMMARY section and the result file's base name.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

struct host_identity;

// Fills the host identity, expands name_template into base_name (at most 255
// characters and base_name_size - 1), writes the SYSTEM SUMMARY section to
// report and releases the identity. An empty template is replaced in its own
// buffer (at least 256 bytes) by "@V-@M-@S".
void write_system_summary(FILE* report, char* base_name, size_t base_name_size, char* name_template);

// Expands the @-codes of name_template into output from identity: @H host
// name, @V vendor, @M model, @S serial number, @O OS name, @T local date and
// time "YYYYMMDD-hhmmss"; '@' with any other character expands to nothing.
// Identity values have '/' and control characters replaced by '_' so the name
// stays one file in the current directory; the template's own text is kept.
// The result is cut at 255 characters and at output_size - 1.
void expand_name_template(char* name_template, char* output, size_t output_size, const host_identity& identity);

// The case id of this run: a "Case ID" column appended to the summary and
// the template code @C (made file-name safe like the other values). Empty:
// no column, @C expands to nothing.
void set_summary_case_id(const std::string& case_id);

// Login name of uid from the password database, or the number as text when
// the database has no entry for it.
void user_name_for(unsigned uid, char* out, size_t out_size);
