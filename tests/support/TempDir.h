#pragma once

#include <string>

namespace veltest {

// A fresh directory under the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::wstring wfile(const std::string& name) const;
    // Number of entries in the directory (to prove nothing was left behind).
    int entryCount() const;

private:
    std::string m_path;
};

std::wstring widen(const std::string& utf8);
bool writeBytes(const std::string& path, const std::string& bytes);
std::string readBytes(const std::string& path);

}  // namespace veltest
