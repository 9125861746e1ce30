// CIniFile: the reading of a configuration file, piece by piece and line by
// line, as IniFile.h states the rules.
#include "adapters/IniFile.h"

#include <cstring>

namespace {
const char kLineTrim[] = " \r\n"; // never the tab: tabs stay part of keys and values
const char kSpace[] = " ";

// Reads one piece of at most CIniFile::kMaxLine bytes, up to and including a
// line feed. Embedded NUL bytes are kept. next() gives the next byte or EOF.
// False when nothing was read.
template <class NextByte>
bool ReadPiece(NextByte next, std::string& piece)
{
    piece.clear();
    while (piece.size() < CIniFile::kMaxLine) {
        int c = next();
        if (c == EOF)
            break;
        piece.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return !piece.empty();
}
} // namespace

std::string CIniFile::Trim(const std::string& s, const char* set)
{
    const size_t first = s.find_first_not_of(set);
    if (first == std::string::npos)
        return std::string();
    const size_t last = s.find_last_not_of(set);
    return s.substr(first, last - first + 1);
}

void CIniFile::ParseLine(std::string line, std::string& section, IniSections& sections)
{
    line = Trim(line, kLineTrim);
    if (line.empty() || line[0] == ';')
        return;

    const size_t open = line.find('[');
    if (open != std::string::npos) {
        const size_t close = line.find(']');
        if (close == std::string::npos)
            section.clear();
        else if (close > open)
            section = Trim(line.substr(open + 1, close - open - 1), kSpace);
        else
            section = Trim(line.substr(open + 1), kSpace);
        return;
    }

    const size_t eq = line.find('=');
    std::string key, value;
    if (eq == std::string::npos) {
        key = Trim(line, kSpace);
    } else {
        key = Trim(line.substr(0, eq), kSpace);
        value = Trim(line.substr(eq + 1), kSpace);
    }
    // emplace keeps the first value of a key.
    sections[section].emplace(std::move(key), std::move(value));
}

bool CIniFile::Read(FILE* file)
{
    if (!file)
        return false;
    IniSections read;
    std::string section, piece;
    while (ReadPiece([file] { return std::fgetc(file); }, piece) && !std::ferror(file))
        ParseLine(piece, section, read);
    if (std::ferror(file))
        return false;
    Merge(read);
    return true;
}

void CIniFile::Parse(const std::string& text)
{
    IniSections read;
    std::string section, piece;
    size_t at = 0;
    auto next = [&text, &at] { return at < text.size() ? static_cast<unsigned char>(text[at++]) : EOF; };
    while (ReadPiece(next, piece))
        ParseLine(piece, section, read);
    Merge(read);
}

void CIniFile::Merge(IniSections& read)
{
    // What is already held wins, as a later line of the same file would.
    for (auto& s : read) {
        IniEntries& target = m_sections[s.first];
        for (auto& e : s.second)
            target.emplace(e.first, std::move(e.second));
    }
}

bool CIniFile::Open(const char* path)
{
    m_truncated = false;
    if (!path)
        return false;
    // Bytes, not text mode: a Ctrl-Z (0x1A) would end the file there.
    return OpenStream(std::fopen(path, "rb"));
}

#ifdef _WIN32
bool CIniFile::Open(const wchar_t* path)
{
    m_truncated = false;
    if (!path)
        return false;
    return OpenStream(_wfopen(path, L"rb"));
}
#endif

bool CIniFile::OpenStream(FILE* file)
{
    if (!file)
        return false;
    std::string text;
    const bool ok = ReadCapped(file, text);
    std::fclose(file);
    if (ok)
        Parse(text);
    return ok;
}

bool CIniFile::ReadCapped(FILE* file, std::string& text)
{
    char chunk[4096];
    text.clear();
    for (;;) {
        const size_t room = kMaxFileBytes - text.size();
        const size_t n = std::fread(chunk, 1, room < sizeof chunk ? room : sizeof chunk, file);
        if (n == 0)
            break;
        // CR LF reads as LF, as text mode did.
        for (size_t i = 0; i < n; ++i) {
            if (chunk[i] == '\r' && i + 1 < n && chunk[i + 1] == '\n')
                continue;
            text += chunk[i];
        }
        if (text.size() >= kMaxFileBytes) {
            m_truncated = std::fgetc(file) != EOF;
            break;
        }
    }
    return !std::ferror(file);
}

size_t CIniFile::GetSection(const std::string& name, IniEntries& entries) const
{
    const auto it = m_sections.find(name);
    if (it == m_sections.end())
        return 0;
    entries = it->second;
    return entries.size();
}

std::string CIniFile::GetValue(const char* section, const char* key) const
{
    if (!section || !key)
        return std::string();
    const auto s = m_sections.find(section);
    if (s == m_sections.end())
        return std::string();
    const auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}
