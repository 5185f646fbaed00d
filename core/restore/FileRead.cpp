#include "core/scan/RecoveryEngine.hpp"

namespace vellary {

// Not built yet.
Bytes RecoveryEngine::read(const BlockReader&, const RecoverableFile&, std::uint64_t, std::int64_t) {
    return {};
}

} // namespace vellary
