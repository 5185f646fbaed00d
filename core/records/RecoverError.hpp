#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vellary {

// The engine's one error type; its message is the sentence the user sees.
class RecoverError : public std::exception {
public:
    enum class Case {
        readFailed,
        unsafeDevice,
        notEnoughSpace,
        message,
        destinationOnSource,
        accessDenied,
        deviceGone,
        cancelled
    };

    static RecoverError readFailed(std::string text) { return {Case::readFailed, std::move(text)}; }
    static RecoverError unsafeDevice(std::string text) {
        return {Case::unsafeDevice, std::move(text)};
    }
    static RecoverError notEnoughSpace(std::uint64_t needed, std::uint64_t available);
    static RecoverError message(std::string text) { return {Case::message, std::move(text)}; }
    static RecoverError destinationOnSource() { return {Case::destinationOnSource, {}}; }
    static RecoverError accessDenied() { return {Case::accessDenied, {}}; }
    static RecoverError deviceGone() { return {Case::deviceGone, {}}; }
    static RecoverError cancelled() { return {Case::cancelled, {}}; }

    Case kind() const { return case_; }
    const std::string& payload() const { return text_; }
    std::uint64_t needed() const { return needed_; }
    std::uint64_t available() const { return available_; }

    std::string errorDescription() const;
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const RecoverError& other) const {
        return case_ == other.case_ && text_ == other.text_ && needed_ == other.needed_ &&
               available_ == other.available_;
    }

private:
    RecoverError(Case c, std::string text, std::uint64_t needed = 0, std::uint64_t available = 0);

    Case case_;
    std::string text_;
    std::uint64_t needed_ = 0;
    std::uint64_t available_ = 0;
    std::string description_;
};

} // namespace vellary
