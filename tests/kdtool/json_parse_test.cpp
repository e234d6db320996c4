// kdtool json read back by a real JSON parser (python3's json module): what
// a cell or a file holds comes back exactly, backslashes and big numbers too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "report_fixture.h"

namespace {

bool have_python() { return std::system("python3 -c 'import json' >/dev/null 2>&1") == 0; }

TEST(JsonParse, ValuesComeBackExactly) {
    if (!have_python()) GTEST_SKIP() << "python3 with its json module is not installed";
    temp_dir dir;
    const std::string document =
        "<GATHERED_DATA><SECTION ID=\"S\"><TABLE ID=\"T\"><ROW ID=\"k\\\\1\">"
        "<STR ID=\"path\">C:\\Temp\\new \\\\server\\share \\u0041 \\n</STR>"
        "<DEC ID=\"small\">42</DEC><DEC ID=\"negative\">-9223372036854775808</DEC>"
        "<DEC ID=\"u64\">18446744073709551615</DEC><DEC ID=\"beyond\">18446744073709551616</DEC>"
        "<DEC ID=\"huge\">123456789012345678901234567890</DEC><DEC ID=\"above53\">9007199254740993</DEC>"
        "<DEC ID=\"tooneg\">-9223372036854775809</DEC>"
        "</ROW></TABLE><FILE ID=\"C:\\boot.ini\"><![CDATA[a\\b\\\\c \\\" \\u0000 end\\]]></FILE>"
        "</SECTION></GATHERED_DATA>";
    write_file(dir.file("r.xml"), document);
    command_run json = run_command(kdtool_json, {dir.file("r.xml")});
    ASSERT_EQ(json.rc, 0) << json.err;
    write_file(dir.file("r.json"), json.out);

    // Each row: a Python expression on the parsed document d, and the exact
    // text it must give (repr of the value).
    struct row {
        const char* expression;
        const char* expected;
    };
    const row rows[] = {
        {"c['path']['value']", R"('C:\\Temp\\new \\\\server\\share \\u0041 \\n')"},
        {"t['rows'][0]['key']", R"('k\\\\1')"},
        {"c['small']['value']", "42"},
        {"c['negative']['value']", "-9223372036854775808"},
        {"c['u64']['value']", "18446744073709551615"},
        {"c['u64']['text']", "'18446744073709551615'"},
        {"c['beyond']['value']", "'18446744073709551616'"},
        {"c['huge']['value']", "'123456789012345678901234567890'"},
        {"c['above53']['value']", "9007199254740993"},
        {"c['above53']['text']", "'9007199254740993'"},
        {"'text' in c['small']", "False"},
        {"c['tooneg']['value']", "'-9223372036854775809'"},
        {"f['id']", R"('C:\\boot.ini')"},
        {"f['text']", R"('a\\b\\\\c \\" \\u0000 end\\')"},
    };
    std::string script = "import json,sys\nd=json.load(open(sys.argv[1]))\ns=d['sections'][0]['content']\n"
                         "t=s[0]\nc=t['rows'][0]['cells']\nf=s[1]\n";
    for (const row& r : rows) script += std::string("print(repr(") + r.expression + "))\n";
    write_file(dir.file("check.py"), script);
    std::string command = "python3 '" + dir.file("check.py") + "' '" + dir.file("r.json") + "' >'" +
                          dir.file("out.txt") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir.file("out.txt")) << json.out;
    const std::string printed = read_file(dir.file("out.txt"));
    size_t at = 0;
    for (const row& r : rows) {
        size_t end = printed.find('\n', at);
        ASSERT_NE(end, std::string::npos) << r.expression;
        EXPECT_EQ(printed.substr(at, end - at), r.expected) << r.expression << "\n" << json.out;
        at = end + 1;
    }
}

}  // namespace
