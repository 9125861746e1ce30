// CIniFile: reads a sectioned text configuration file into memory once and
// answers "all pairs of a section" and "one value". Portable: no Windows
// calls, so it is also built natively for the sanitizers and the fuzzer.
#pragma once

#include <cstdio>
#include <map>
#include <string>

// std::string compares through char_traits<char>, i.e. bytes as unsigned
// values with a prefix ordering first: the order the adapter list relies on.
typedef std::map<std::string, std::string> IniEntries;
typedef std::map<std::string, IniEntries> IniSections;

class CIniFile {
public:
    // Longest piece of a line taken at once; longer lines are read in pieces.
    static const size_t kMaxLine = 1024;

    // Most bytes of a file Open reads (1 MiB); the rest is ignored and
    // Truncated() says so. A configuration is a few hundred bytes.
    static const size_t kMaxFileBytes = 1024 * 1024;

    // Reads the file as bytes (CR LF as LF, a Ctrl-Z is an ordinary byte),
    // at most kMaxFileBytes of it, and adds its entries to what is held.
    // False for a null path, a file that cannot be opened, or a read error
    // (then nothing of that file is added).
    bool Open(const char* path);
#ifdef _WIN32
    // Same for a UTF-16 path (wide APIs: any characters, "\\?\" long paths).
    bool Open(const wchar_t* path);
#endif
    // Whether the last Open stopped at kMaxFileBytes.
    bool Truncated() const { return m_truncated; }
    // Same for an already opened stream; the caller closes it.
    bool Read(FILE* file);
    // Same for text already in memory, byte for byte (no text-mode
    // translation of line ends).
    void Parse(const std::string& text);

    // Copies the section's pairs into entries and returns their count; 0 and
    // entries untouched when the section does not exist.
    size_t GetSection(const std::string& name, IniEntries& entries) const;
    // The value, or "" when the section or the key does not exist.
    std::string GetValue(const char* section, const char* key) const;

    const IniSections& Sections() const { return m_sections; }

    // The rules of one line, exposed for tests: trims, then either switches
    // *section (a header) or adds a pair to sections.
    static void ParseLine(std::string line, std::string& section, IniSections& sections);
    // Strips every character of set from both ends.
    static std::string Trim(const std::string& s, const char* set);

private:
    void Merge(IniSections& read);
    bool ReadCapped(FILE* file, std::string& text);
    bool OpenStream(FILE* file);

    IniSections m_sections;
    bool m_truncated = false;
};
