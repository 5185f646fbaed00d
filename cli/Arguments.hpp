#pragma once

#include "core/records/FileCategory.hpp"

#include <set>
#include <string>

namespace vellary::cli {

// Parses "photo,raw,..." into categories; throws RecoverError naming an unknown one.
std::set<FileCategory> parseCategories(const std::string& list);

} // namespace vellary::cli
