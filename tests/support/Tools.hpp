#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

namespace vellary::testing {

// True when an external program is on PATH (or in /sbin, /usr/sbin).
bool haveTool(const std::string& name);
// The first of the tools that is not installed, or an empty string when all are.
std::string missingTool(std::initializer_list<const char*> names);
// Runs a shell command; returns its exit status. Output goes to the test log only on failure.
int run(const std::string& command);
std::string capture(const std::string& command); // its standard output

// A fresh folder under the system's temporary folder, removed when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A sparse file of zeros.
void makeBlankFile(const std::filesystem::path& path, std::uint64_t size);
// Writes bytes to a file, replacing it (test fixtures only), and reads one back.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

} // namespace vellary::testing
