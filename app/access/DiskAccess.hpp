#pragma once

#include "core/devices/Device.hpp"
#include "core/io/FileBlockReader.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vellary {

// Opens a disk read-only: plainly when this account may, else with the user's approval.
class DiskAccess {
public:
    class Failure : public std::exception {
    public:
        enum class Case { other, cancelled, denied, privacy };
        static Failure other(std::string text) { return {Case::other, std::move(text)}; }
        static Failure cancelled() { return {Case::cancelled, {}}; }
        static Failure denied() { return {Case::denied, {}}; }
        static Failure privacy() { return {Case::privacy, {}}; }

        Case kind() const { return case_; }
        const std::string& payload() const { return payload_; }
        std::string errorDescription() const;
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        Failure(Case c, std::string payload);
        Case case_;
        std::string payload_;
        std::string description_;
    };

    // The system's own open and privileged open; tests replace them.
    struct Openers {
        // A descriptor, or minus errno.
        std::function<int(const std::string& node)> plain;
        std::function<int(const char* path, const char* prompt, int* descriptor, int* code)>
            privileged;
        static Openers system();
    };

    // Throws Failure.
    static std::shared_ptr<FileBlockReader> open(const Device& device);
    static std::shared_ptr<FileBlockReader> open(const Device& device, const Openers& openers);
    // Throws RecoverError.
    static std::shared_ptr<FileBlockReader> open(const std::filesystem::path& image);

    static std::string prompt(const Device& device);
};

} // namespace vellary
