#include "report/report_check.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "report/report.h"
#include "report/xml.h"

namespace {

struct node {
    std::string name;
    std::string id;
    bool has_id = false;
    std::string text;   // character data and CDATA, unescaped
    std::string cdata;  // the CDATA parts alone (an embedded file's bytes)
    std::vector<std::unique_ptr<node>> children;
};

// A small reader for the documents the report writer produces: elements with
// attributes, character data with the five entities and numeric references,
// CDATA sections, the declaration and comments.
class reader {
public:
    explicit reader(const std::string& doc) : doc_(doc) {}

    std::unique_ptr<node> parse(std::string& error) {
        skip_space();
        if (doc_.compare(pos_, 5, "<?xml") == 0) {
            size_t end = doc_.find("?>", pos_);
            if (end == std::string::npos) return fail(error, "unterminated declaration");
            pos_ = end + 2;
        }
        skip_space();
        auto root = parse_element(error, 0);
        if (!root) return nullptr;
        skip_space();
        if (pos_ != doc_.size()) return fail(error, "content after the root element");
        return root;
    }

private:
    std::unique_ptr<node> fail(std::string& error, const std::string& what) {
        if (error.empty()) error = what + " at byte " + std::to_string(pos_);
        return nullptr;
    }

    void skip_space() {
        while (pos_ < doc_.size() && (doc_[pos_] == ' ' || doc_[pos_] == '\n' || doc_[pos_] == '\r' ||
                                      doc_[pos_] == '\t'))
            ++pos_;
    }

    static bool name_char(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.' || c == ':';
    }

    std::string read_name() {
        size_t start = pos_;
        while (pos_ < doc_.size() && name_char(doc_[pos_])) ++pos_;
        return doc_.substr(start, pos_ - start);
    }

    bool read_entity(std::string& out, std::string& error) {
        size_t end = doc_.find(';', pos_);
        if (end == std::string::npos || end - pos_ > 12) {
            fail(error, "bad entity");
            return false;
        }
        std::string entity = doc_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end + 1;
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            long code = entity[1] == 'x' ? std::strtol(entity.c_str() + 2, nullptr, 16)
                                         : std::strtol(entity.c_str() + 1, nullptr, 10);
            bool allowed = code >= 32 || code == '\t' || code == '\n' || code == '\r';
            if (!allowed || code > 127) {
                fail(error, "unsupported character reference");
                return false;
            }
            out += static_cast<char>(code);
        } else {
            fail(error, "unknown entity &" + entity + ";");
            return false;
        }
        return true;
    }

    bool read_attribute_value(std::string& out, std::string& error) {
        if (pos_ >= doc_.size() || doc_[pos_] != '"') {
            fail(error, "attribute value not quoted");
            return false;
        }
        ++pos_;
        while (pos_ < doc_.size() && doc_[pos_] != '"') {
            char c = doc_[pos_];
            if (c == '<') {
                fail(error, "'<' in attribute value");
                return false;
            }
            if (c == '&') {
                if (!read_entity(out, error)) return false;
            } else {
                out += c;
                ++pos_;
            }
        }
        if (pos_ >= doc_.size()) {
            fail(error, "unterminated attribute value");
            return false;
        }
        ++pos_;
        return true;
    }

    std::unique_ptr<node> parse_element(std::string& error, int depth) {
        if (depth > 200) return fail(error, "elements nested too deeply");
        if (pos_ >= doc_.size() || doc_[pos_] != '<') return fail(error, "expected an element");
        ++pos_;
        auto element = std::make_unique<node>();
        element->name = read_name();
        if (element->name.empty()) return fail(error, "element without a name");
        for (;;) {
            skip_space();
            if (pos_ >= doc_.size()) return fail(error, "unterminated start tag");
            if (doc_.compare(pos_, 2, "/>") == 0) {
                pos_ += 2;
                return element;
            }
            if (doc_[pos_] == '>') {
                ++pos_;
                break;
            }
            std::string attribute = read_name();
            if (attribute.empty() || pos_ >= doc_.size() || doc_[pos_] != '=')
                return fail(error, "malformed attribute in <" + element->name + ">");
            ++pos_;
            std::string value;
            if (!read_attribute_value(value, error)) return nullptr;
            if (attribute == "ID") {
                element->id = value;
                element->has_id = true;
            }
        }
        if (!parse_content(*element, error, depth)) return nullptr;
        return element;
    }

    bool parse_content(node& element, std::string& error, int depth) {
        while (pos_ < doc_.size()) {
            char c = doc_[pos_];
            if (c == '&') {
                if (!read_entity(element.text, error)) return false;
            } else if (c != '<') {
                if (c == '>' && pos_ >= 2 && doc_.compare(pos_ - 2, 2, "]]") == 0) {
                    fail(error, "']]>' in character data");
                    return false;
                }
                element.text += c;
                ++pos_;
            } else if (doc_.compare(pos_, 9, "<![CDATA[") == 0) {
                size_t end = doc_.find("]]>", pos_ + 9);
                if (end == std::string::npos) {
                    fail(error, "unterminated CDATA section");
                    return false;
                }
                element.text.append(doc_, pos_ + 9, end - pos_ - 9);
                element.cdata.append(doc_, pos_ + 9, end - pos_ - 9);
                pos_ = end + 3;
            } else if (doc_.compare(pos_, 4, "<!--") == 0) {
                size_t end = doc_.find("-->", pos_ + 4);
                if (end == std::string::npos) {
                    fail(error, "unterminated comment");
                    return false;
                }
                pos_ = end + 3;
            } else if (doc_.compare(pos_, 2, "</") == 0) {
                pos_ += 2;
                std::string name = read_name();
                skip_space();
                if (name != element.name || pos_ >= doc_.size() || doc_[pos_] != '>') {
                    fail(error, "end tag </" + name + "> does not close <" + element.name + ">");
                    return false;
                }
                ++pos_;
                return true;
            } else {
                auto child = parse_element(error, depth + 1);
                if (!child) return false;
                element.children.push_back(std::move(child));
            }
        }
        fail(error, "document ends inside <" + element.name + ">");
        return false;
    }

    const std::string& doc_;
    size_t pos_ = 0;
};

const node* last_child(const node& parent, const char* name) {
    for (auto it = parent.children.rbegin(); it != parent.children.rend(); ++it)
        if ((*it)->name == name) return it->get();
    return nullptr;
}

bool read_hex(const node* chk, uint32_t& value) {
    if (!chk) return false;
    const char* start = chk->text.c_str();
    while (*start == ' ') ++start;
    if (!*start) return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(start, &end, 16);
    if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

class checker {
public:
    report_check_result result;

    bool check_document(const node& root) {
        if (root.name != "GATHERED_DATA") return problem("root element is <" + root.name + ">");
        uint32_t sum = 0;
        for (const auto& child : root.children) {
            if (child->name != "SECTION") continue;
            uint32_t section = 0;
            if (!check_section(*child, section)) return false;
            sum += section;
        }
        const node* chk = last_child(root, "CHK");
        if (!chk) return problem("no document checksum");
        return compare(chk, sum, "document");
    }

private:
    bool problem(const std::string& what) {
        if (result.error.empty()) result.error = what;
        return false;
    }

    bool compare(const node* chk, uint32_t computed, const std::string& where) {
        uint32_t stored = 0;
        if (!read_hex(chk, stored)) return problem(where + ": missing or unreadable CHK");
        if (stored != computed) {
            char text[128];
            std::snprintf(text, sizeof text, ": CHK %X, computed %X", stored, computed);
            return problem(where + text);
        }
        return true;
    }

    bool check_section(const node& section, uint32_t& sum) {
        ++result.sections;
        std::string where = "section \"" + section.id + "\"";
        for (const auto& child : section.children) {
            uint32_t part = 0;
            if (child->name == "TABLE") {
                if (!check_table(*child, where, part)) return false;
            } else if (child->name == "FILE") {
                if (!check_file(*child, where, part)) return false;
            } else if (child->name == "TREE") {
                if (!check_tree_level(*child, where + " tree \"" + child->id + "\"", part)) return false;
            }
            sum += part;
        }
        return compare(last_child(section, "CHK"), sum, where);
    }

    bool check_table(const node& table, const std::string& section, uint32_t& sum) {
        ++result.tables;
        std::string where = section + " table \"" + table.id + "\"";
        uint16_t table_sum = 0;
        long rows = 0;
        for (const auto& row : table.children) {
            if (row->name != "ROW") continue;
            ++result.rows;
            ++rows;
            uint16_t row_sum = 0;
            for (const auto& cell : row->children)
                if (cell->name != "CHK") row_sum = static_cast<uint16_t>(row_sum + text_checksum(cell->text.c_str()));
            if (!compare(last_child(*row, "CHK"), row_sum, where + " row " + std::to_string(rows))) return false;
            table_sum = static_cast<uint16_t>(table_sum + row_sum);
        }
        const node* count = last_child(table, "ROWS");
        if (!count || count->text != std::to_string(rows)) return problem(where + ": ROWS does not match");
        sum = table_sum;
        return compare(last_child(table, "CHK"), table_sum, where);
    }

    bool check_file(const node& file, const std::string& section, uint32_t& sum) {
        ++result.files;
        uint32_t file_sum = 0;
        for (unsigned char c : file.cdata) file_sum += c;
        sum = file_sum;
        return compare(last_child(file, "CHK"), file_sum, section + " file \"" + file.id + "\"");
    }

    // A tree level: leaves add their text checksum, nodes their own level sum.
    bool check_tree_level(const node& level, const std::string& where, uint32_t& sum) {
        uint16_t level_sum = 0;
        for (const auto& child : level.children) {
            if (child->name == "CHK") continue;
            if (child->children.empty()) {
                level_sum = static_cast<uint16_t>(level_sum + text_checksum(child->text.c_str()));
            } else {
                uint32_t inner = 0;
                if (!check_tree_level(*child, where + "/" + child->name, inner)) return false;
                level_sum = static_cast<uint16_t>(level_sum + inner);
            }
        }
        sum = level_sum;
        return compare(last_child(level, "CHK"), level_sum, where);
    }
};

}  // namespace

report_check_result check_report(const std::string& document) {
    checker check;
    std::string error;
    size_t invalid = find_invalid_xml_char(document);
    if (invalid != std::string::npos) {
        check.result.error = "not well-formed: a character XML does not allow at byte " + std::to_string(invalid);
        return check.result;
    }
    reader parser(document);
    auto root = parser.parse(error);
    if (!root) {
        check.result.error = "not well-formed: " + error;
        return check.result;
    }
    check.result.ok = check.check_document(*root);
    return check.result;
}
