// CIniFile: the reading rules, as golden files (input .ini, expected dump
// .golden) and as a table of constructed inputs for the long-line rules.
#include "adapters/IniFile.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        char buf[8];
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// Every section and pair, in the reader's order, through its public lookups.
std::string Dump(const CIniFile& ini)
{
    std::string out;
    for (const auto& section : ini.Sections()) {
        IniEntries entries;
        EXPECT_EQ(section.second.size(), ini.GetSection(section.first, entries));
        out += "[" + Quote(section.first) + "]\n";
        for (const auto& e : entries) {
            EXPECT_EQ(e.second, ini.GetValue(section.first.c_str(), e.first.c_str()));
            out += "  " + Quote(e.first) + " = " + Quote(e.second) + "\n";
        }
    }
    return out;
}

const char* const kGoldenCases[] = {
    "comments_only",      // opens, holds no section
    "header_spaces",      // [  AdapterList  ] is AdapterList; lower case is another section
    "empty_headers",      // [], "[" alone, [ ] all select the empty name
    "bracket_in_value",   // a value with [..] makes the line a header
    "semicolon_in_value", // no end-of-line comments; quotes and backslashes kept
    "repeated_key",       // first value wins, a header met again selects the same section
    "tabs",               // tabs are never trimmed
    "no_final_newline",
    "bom",                // a byte-order mark is part of the first line
    "crlf",               // CR LF, CR CR LF, and a lone CR inside a value
    "entries_before_header",
    "no_equals",          // no "=": empty value; leading "=": empty key; further "=" in the value
    "reversed_brackets",  // "]" before "[": the rest of the line is the name
    "byte_order",         // keys ordered by unsigned bytes, upper case first
    "header_trailing_text", // text after "]" ignored; a header without entries makes no section
};

TEST(IniFile, GoldenFiles)
{
    for (const char* name : kGoldenCases) {
        SCOPED_TRACE(name);
        const std::string base = std::string(KEX_INI_CASES) + "/" + name;
        CIniFile ini;
        ASSERT_TRUE(ini.Open((base + ".ini").c_str()));
        EXPECT_EQ(test_support::ReadFile(base + ".golden"), Dump(ini));
    }
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

struct PieceCase {
    const char* what;
    std::string input;
    std::string dump;
};

TEST(IniFile, LongLinesAreReadInPiecesOf1024)
{
    const std::string x1022 = Repeat('x', 1022);
    const PieceCase cases[] = {
        {"1023 characters and a line feed: one line", "[S]\nk=" + Repeat('x', 1021) + "\n",
         "[\"S\"]\n  \"k\" = \"" + Repeat('x', 1021) + "\"\n"},
        {"1024 characters and a line feed: the line feed alone is an empty piece", "[S]\nk=" + x1022 + "\nz=1\n",
         "[\"S\"]\n  \"k\" = \"" + x1022 + "\"\n  \"z\" = \"1\"\n"},
        {"a key of 1024 characters: its \"=v\" is a line of its own", "[S]\n" + Repeat('a', 1024) + "=v\n",
         "[\"S\"]\n  \"\" = \"v\"\n  \"" + Repeat('a', 1024) + "\" = \"\"\n"},
        {"a continuation with \"[\" switches the section", "[S]\nk=" + x1022 + "[Cont]\nz=1\n",
         "[\"Cont\"]\n  \"z\" = \"1\"\n[\"S\"]\n  \"k\" = \"" + x1022 + "\"\n"},
        {"a continuation without \"=\" is a key", "[S]\nk=" + x1022 + "tail\n",
         "[\"S\"]\n  \"k\" = \"" + x1022 + "\"\n  \"tail\" = \"\"\n"},
        {"three pieces", "[S]\n" + Repeat('p', 2048) + "=3\n",
         "[\"S\"]\n  \"\" = \"3\"\n  \"" + Repeat('p', 1024) + "\" = \"\"\n"},
    };
    for (const PieceCase& row : cases) {
        SCOPED_TRACE(row.what);
        CIniFile ini;
        ini.Parse(row.input);
        EXPECT_EQ(row.dump, Dump(ini));
    }
}

TEST(IniFile, OpenFailures)
{
    CIniFile ini;
    EXPECT_FALSE(ini.Open(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(ini.Open("no_such_directory/no_such_file.ini"));
#ifdef _WIN32
    EXPECT_FALSE(ini.Open(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(ini.Open(L"no_such_directory/no_such_file.ini"));
#endif
    EXPECT_TRUE(ini.Sections().empty());
    EXPECT_FALSE(ini.Read(nullptr));
}

// Every way to name the file to Open reads the same bytes.
struct Opener {
    const char* what;
    bool (*open)(CIniFile& ini, const std::string& path);
};
const Opener kOpeners[] = {
    {"narrow path", [](CIniFile& ini, const std::string& path) { return ini.Open(path.c_str()); }},
#ifdef _WIN32
    {"UTF-16 path",
     [](CIniFile& ini, const std::string& path) { return ini.Open(std::wstring(path.begin(), path.end()).c_str()); }},
#endif
};

// Read as bytes: a Ctrl-Z is not the end of the file and a lone CR is an
// ordinary byte; CR LF still ends a line; past kMaxFileBytes nothing is read
// and Truncated() says so.
TEST(IniFile, OpenReadsBytesUpToItsLimit)
{
    const std::string path = "kex_ini_bytes_test.ini"; // in the working directory
    const struct {
        const char* what;
        std::string text;
        std::string dump;
        bool truncated;
    } cases[] = {
        {"Ctrl-Z in a comment", "; saved by an old editor\x1a\r\n[AdapterList]\r\na=x.dll\r\n",
         "[\"AdapterList\"]\n  \"a\" = \"x.dll\"\n", false},
        {"Ctrl-Z in the middle of a value", std::string("[S]\r\nk=a\x1a") + "b\r\nz=1\r\n",
         "[\"S\"]\n  \"k\" = \"a\\x1ab\"\n  \"z\" = \"1\"\n", false},
        {"Ctrl-Z as the last byte", "[S]\r\nk=v\r\n\x1a", "[\"S\"]\n  \"\\x1a\" = \"\"\n  \"k\" = \"v\"\n", false},
        {"CR LF line ends", "[S]\r\nk=v\r\n[T]\r\nx=y", "[\"S\"]\n  \"k\" = \"v\"\n[\"T\"]\n  \"x\" = \"y\"\n", false},
        {"CR CR LF", "[S]\r\r\nk=v\r\r\nw=x\r\r\n", "[\"S\"]\n  \"k\" = \"v\"\n  \"w\" = \"x\"\n", false},
        {"lone CR kept", "[S]\r\nk=v\rw\r\n", "[\"S\"]\n  \"k\" = \"v\\rw\"\n", false},
        {"CR alone ends no line", "[S]\r\nk=v\rw=x\r\n", "[\"S\"]\n  \"k\" = \"v\\rw=x\"\n", false},
        {"exactly at the limit", "[S]\nk=v\n" + std::string(CIniFile::kMaxFileBytes - 8, ';'),
         "[\"S\"]\n  \"k\" = \"v\"\n", false},
        {"past the limit", "[S]\nk=v\n" + std::string(CIniFile::kMaxFileBytes - 8, ';') + "\n[T]\nx=y\n",
         "[\"S\"]\n  \"k\" = \"v\"\n", true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(test_support::WriteFile(path, c.text));
        for (const Opener& opener : kOpeners) {
            SCOPED_TRACE(std::string(c.what) + ", " + opener.what);
            CIniFile ini;
            ASSERT_TRUE(opener.open(ini, path));
            EXPECT_EQ(c.dump, Dump(ini));
            EXPECT_EQ(c.truncated, ini.Truncated());
        }
    }
    std::remove(path.c_str());
}

TEST(IniFile, OpenAddsToWhatIsHeld)
{
    CIniFile ini;
    ini.Parse("[S]\nk=first\na=1\n");
    ini.Parse("k=top\n[S]\nk=second\nb=2\n");
    EXPECT_EQ("[\"\"]\n  \"k\" = \"top\"\n[\"S\"]\n  \"a\" = \"1\"\n  \"b\" = \"2\"\n  \"k\" = \"first\"\n", Dump(ini));
}

TEST(IniFile, Lookups)
{
    CIniFile ini;
    ini.Parse("[AdapterList]\nDesk=a.dll\nEmpty=\n");

    // A missing section leaves the caller's map untouched.
    IniEntries entries{{"junk", "junk"}};
    EXPECT_EQ(0u, ini.GetSection("Missing", entries));
    EXPECT_EQ((IniEntries{{"junk", "junk"}}), entries);
    EXPECT_EQ(0u, ini.GetSection("adapterlist", entries));

    // A present one replaces it.
    EXPECT_EQ(2u, ini.GetSection("AdapterList", entries));
    EXPECT_EQ((IniEntries{{"Desk", "a.dll"}, {"Empty", ""}}), entries);

    const struct {
        const char* section;
        const char* key;
        const char* value;
    } values[] = {
        {"AdapterList", "Desk", "a.dll"}, {"AdapterList", "Empty", ""}, {"AdapterList", "desk", ""},
        {"AdapterList", "Missing", ""},   {"Common", "UseVarneUSBPhone", ""}, {nullptr, "Desk", ""},
        {"AdapterList", nullptr, ""},
    };
    for (const auto& row : values) {
        SCOPED_TRACE(std::string(row.section ? row.section : "(null)") + "/" + (row.key ? row.key : "(null)"));
        EXPECT_EQ(row.value, ini.GetValue(row.section, row.key));
    }
}

} // namespace
