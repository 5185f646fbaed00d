#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace vellary::testing {

// Deterministic bytes that differ at every offset, so a misplaced byte shows.
Bytes patterned(std::size_t size, std::uint32_t seed = 1);
Bytes slice(const Bytes& bytes, std::uint64_t offset, std::uint64_t length);

// A found file over the given ranges; size is their sum unless given.
RecoverableFile foundFile(const std::string& name, const std::string& originalPath,
                          std::vector<ByteRange> ranges);

// Every path below root, relative, folders with a trailing "/"; symbolic links not followed.
std::set<std::string> listTree(const std::filesystem::path& root);
Bytes readBytes(const std::filesystem::path& path);
// SHA-256 in hex, through the system's sha256sum.
std::string sha256(const std::filesystem::path& path);

} // namespace vellary::testing
