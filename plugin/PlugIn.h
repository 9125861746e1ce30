// Plug-ins created by name from a process-wide registry of factories that
// register themselves from static objects:
//
//   static PlugInRegister<MyPlugIn> s_reg KEX_INIT_PRIORITY(KEX_INIT_PLUGINS)("MyPlugIn");
//   PlugInFactory* f = PlugInFactory::Find("myplugin");   // names ignore case
//   std::unique_ptr<PlugIn> p(f ? f->Create() : nullptr);
#pragma once

#include <cstddef>
#include <map>
#include <new>
#include <string>

class PlugIn {
public:
    PlugIn() noexcept = default;
    virtual ~PlugIn() = default;
    virtual long Execute(long a, long b, long c);
    // Stores the value and returns it.
    virtual long SetParam(long value);
    long Param() const noexcept { return m_param; }

private:
    long m_param = 0;
};

class TestPlugIn : public PlugIn {
public:
    long Execute(long a, long b, long c) override;
};

// Registry key order: a shorter name first; names of equal length compare
// without regard to letter case, so "Abc" and "aBC" are one key.
struct PlugInNameLess {
    bool operator()(const std::string& a, const std::string& b) const noexcept;
};

class PlugInFactory;
using PlugInMap = std::map<std::string, PlugInFactory*, PlugInNameLess>;

class PlugInFactory {
public:
    PlugInFactory() = default;
    // A new plug-in owned by the caller; null here and when out of memory.
    virtual PlugIn* Create();
    virtual ~PlugInFactory() = default;
    PlugInFactory(const PlugInFactory&) = delete;
    PlugInFactory& operator=(const PlugInFactory&) = delete;

    const std::string& Name() const noexcept { return m_name; }

    // The registry; null while no factory is registered.
    static PlugInMap* Registry() noexcept;
    static PlugInFactory* Find(const char* name) noexcept;

protected:
    // Enters this factory under name (a later one replaces an earlier one).
    void Enter(const char* name);
    // Removes the entry under this factory's name; deletes the registry when
    // it becomes empty.
    void Leave() noexcept;

    std::string m_name;
};

template <class T>
class PlugInRegister : public PlugInFactory {
public:
    // A null name builds the factory without registering it.
    explicit PlugInRegister(const char* name)
    {
        if (name)
            Enter(name);
    }
    ~PlugInRegister() override { Leave(); }
    PlugIn* Create() override { return new (std::nothrow) T; }
};
