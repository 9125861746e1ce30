// The tests' one private folder: a directory of this process's own under
// %TEMP%, removed with everything in it when the object goes.
#pragma once

#include "tests/support/files.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace test_support {

class TempDir {
public:
    // tag goes into the name, to tell the folders of several tests apart.
    explicit TempDir(const char* tag = "test")
    {
        static LONG counter;
        char base[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, base);
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%skex_%s_%lu_%ld\\", base, tag, GetCurrentProcessId(),
                      InterlockedIncrement(&counter));
        m_path = name;
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~TempDir() { RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // With a trailing backslash.
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

    // A subdirectory, created, with its trailing backslash.
    std::string Subdir(const std::string& name) const
    {
        const std::string p = m_path + name + "\\";
        CreateDirectoryA(p.c_str(), nullptr);
        return p;
    }
    void Write(const std::string& name, const std::string& bytes) const
    {
        ASSERT_TRUE(WriteFile(m_path + name, bytes)) << m_path << name;
    }
    void Copy(const std::string& from, const std::string& name) const
    {
        ASSERT_TRUE(CopyFileA(from.c_str(), (m_path + name).c_str(), FALSE)) << from << " -> " << m_path << name;
    }
    // A file of the build's bin directory (beside this program), under a name of our choice.
    void CopyFromBin(const std::string& from, const std::string& name) const { Copy(ExeDirectory() + from, name); }

private:
    std::string m_path;
};

} // namespace test_support
