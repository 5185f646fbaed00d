#include "tests/support/Tools.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace vellary::testing {

// Runs a shell command with the system folders on PATH; returns its output and exit status.
static std::pair<std::string, int> shell(const std::string& command) {
    FILE* pipe = ::popen(("PATH=\"$PATH:/sbin:/usr/sbin\"; " + command).c_str(), "r");
    if (pipe == nullptr) return {{}, -1};
    std::string output;
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        output += buffer.data();
    const int status = ::pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

bool haveTool(const std::string& name) {
    return shell("command -v " + name + " >/dev/null 2>&1").second == 0;
}

std::string missingTool(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (!haveTool(name)) return name;
    return {};
}

int run(const std::string& command) {
    const auto [output, code] = shell("{ " + command + " ; } 2>&1");
    if (code != 0) std::cerr << "command failed (" << code << "): " << command << "\n" << output;
    return code;
}

std::string capture(const std::string& command) {
    return shell(command).first;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vellary-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void makeBlankFile(const std::filesystem::path& path, std::uint64_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    std::filesystem::resize_file(path, size);
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::stringstream buffer;
    buffer << std::ifstream(path, std::ios::binary).rdbuf();
    return buffer.str();
}

} // namespace vellary::testing
