#pragma once

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"

namespace vellary::fuzz {

inline DataBlockReader readerOf(const std::uint8_t* data, std::size_t size) {
    return DataBlockReader(Bytes(data, data + size));
}

// Runs a parser step: RecoverError is an allowed outcome, anything else escapes and crashes.
template <typename F> void tolerate(F&& step) {
    try {
        step();
    } catch (const RecoverError&) {
    }
}

} // namespace vellary::fuzz
