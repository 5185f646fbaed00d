#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vellary::testing {

// The bytes a found file's ranges hold, in order.
Bytes contentsOf(const BlockReader& reader, const RecoverableFile& file);
// SHA-256 (hex) of a file on disk and of bytes, through sha256sum.
std::string sha256Of(const std::filesystem::path& path);
std::string sha256Of(const Bytes& bytes);
const RecoverableFile* findByPath(const std::vector<RecoverableFile>& files,
                                  const std::string& originalPath);
// A file's modification time in whole seconds since 1970 (UTC).
double modifiedSeconds(const std::filesystem::path& path);

// A file written to a card, and what the scan should say about it.
struct Written {
    std::string path, found; // found: where the scan lists it
    std::filesystem::path local;
    bool deleted = true, exact = true; // exact: stored contiguously and not overwritten
};
// Live files are not listed; each deleted one is, with its name, size and date, never "good"
// unless exact, and byte-exact when exact. Gives the listed files in order (live ones null).
std::vector<const RecoverableFile*> expectListed(const std::vector<RecoverableFile>& files,
                                                 const std::vector<Written>& written,
                                                 const BlockReader& reader);

} // namespace vellary::testing
