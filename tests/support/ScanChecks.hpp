#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <filesystem>
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

} // namespace vellary::testing
