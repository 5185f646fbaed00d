#include "core/carve/Carver.hpp"

namespace vellary {

// Not built yet: the content search finds nothing.
Carver::Outcome Carver::carve(const BlockReader& reader, const RangeCover&,
                              const ScanOptions& options, std::int64_t foundSoFar,
                              std::vector<RecoverableFile>& sink) {
    options.report({ScanProgress::Phase::contents, reader.size(), reader.size(),
                    foundSoFar + static_cast<std::int64_t>(sink.size())});
    return {};
}

} // namespace vellary
