// The plug-in factory registry: registration by name at static start-up,
// lookup without regard to case, and the test plug-in.
#include "plugin/PlugIn.h"

#include <cctype>

namespace {
// Filled and emptied by static construction and destruction only, which the
// loader runs one at a time; no lock.
PlugInMap* g_plugIns = nullptr;
} // namespace

long PlugIn::Execute(long, long, long)
{
    return 0;
}

long PlugIn::SetParam(long value)
{
    m_param = value;
    return m_param;
}

long TestPlugIn::Execute(long, long, long)
{
    return 0;
}

bool PlugInNameLess::operator()(const std::string& a, const std::string& b) const noexcept
{
    if (a.size() != b.size())
        return a.size() < b.size();
    for (std::size_t k = 0; k < a.size(); ++k) {
        const int x = std::tolower(static_cast<unsigned char>(a[k]));
        const int y = std::tolower(static_cast<unsigned char>(b[k]));
        if (x != y)
            return x < y;
    }
    return false;
}

PlugIn* PlugInFactory::Create()
{
    return nullptr;
}

PlugInMap* PlugInFactory::Registry() noexcept
{
    return g_plugIns;
}

PlugInFactory* PlugInFactory::Find(const char* name) noexcept
{
    if (!g_plugIns || !name)
        return nullptr;
    try {
        auto it = g_plugIns->find(name);
        return it == g_plugIns->end() ? nullptr : it->second;
    } catch (...) {
        return nullptr;
    }
}

void PlugInFactory::Enter(const char* name)
{
    m_name = name;
    if (!g_plugIns)
        g_plugIns = new PlugInMap;
    (*g_plugIns)[m_name] = this;
}

void PlugInFactory::Leave() noexcept
{
    if (!g_plugIns || m_name.empty())
        return;
    // Only our own entry: a factory that replaced us under the same name
    // stays registered while it lives.
    auto it = g_plugIns->find(m_name);
    if (it != g_plugIns->end() && it->second == this)
        g_plugIns->erase(it);
    if (g_plugIns->empty()) {
        delete g_plugIns;
        g_plugIns = nullptr;
    }
}
