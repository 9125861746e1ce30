// libFuzzer target of the configuration reader: any bytes must read without a
// fault, and what is held must obey the reader's rules.
#include "adapters/IniFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool SpaceAtEnds(const std::string& s)
{
    return !s.empty() && (s.front() == ' ' || s.back() == ' ');
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f)
        return 0;
    CIniFile ini;
    Check(ini.Read(f));
    std::fclose(f);

    for (const auto& section : ini.Sections()) {
        Check(!section.second.empty()); // a section exists only with an entry
        Check(!SpaceAtEnds(section.first));
        IniEntries copy;
        Check(ini.GetSection(section.first, copy) == section.second.size());
        for (const auto& e : section.second) {
            Check(!SpaceAtEnds(e.first) && !SpaceAtEnds(e.second));
            // Lines with "[" are headers; keys end at the first "=".
            Check(e.first.find('[') == std::string::npos && e.first.find('=') == std::string::npos);
            Check(e.first.find('\n') == std::string::npos && e.second.find('\n') == std::string::npos);
            Check(e.first.size() <= CIniFile::kMaxLine && e.second.size() <= CIniFile::kMaxLine);
            if (e.first.find('\0') == std::string::npos && section.first.find('\0') == std::string::npos)
                Check(ini.GetValue(section.first.c_str(), e.first.c_str()) == e.second);
        }
    }
    return 0;
}
