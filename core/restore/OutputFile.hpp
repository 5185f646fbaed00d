#pragma once

#include "core/records/Date.hpp"
#include "core/restore/UniqueFd.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

namespace vellary {

// A file that the engine writes: always new, never reached through a symbolic link, 0644.
// Every failure is a RecoverError whose message names the file.
class OutputFile {
public:
    // Creates name inside the open folder. "Couldn't create <name>. <system text>" on failure,
    // also when anything at all (a file, a folder, a symbolic link) is already there.
    static OutputFile create(int folder, const std::string& name);
    // The same, but nothing when the name is already taken.
    static std::optional<OutputFile> createIfFree(int folder, const std::string& name);
    // The same, for a path whose folder is trusted (an image file the user named).
    static OutputFile create(const std::filesystem::path& path);

    // Writes every byte or throws "Couldn't write <name>. <system text>".
    void write(std::span<const std::uint8_t> bytes);
    // Flushes to stable storage and closes; throws "Couldn't save <name>. <system text>".
    void finish();
    // Sets the access and modification times; false when the system refused.
    bool setDates(Date modified);

    const std::string& name() const { return name_; }

    // One write call: the system's write or a stand-in for tests.
    using WriteCall = std::function<ssize_t(const std::uint8_t*, std::size_t)>;
    // Loops until every byte is written, retrying EINTR. Returns 0, or the error number that
    // stopped it; a call that writes nothing counts as EIO rather than a shorter file.
    [[nodiscard]] static int writeFully(const WriteCall& call, std::span<const std::uint8_t> bytes);

private:
    OutputFile(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
    [[noreturn]] void fail(const char* verb, int error) const;

    UniqueFd fd_;
    std::string name_;
    off_t written_ = 0;
};

} // namespace vellary
