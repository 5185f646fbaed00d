#include "app/model/NameOrder.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace vellary {

struct NameOrder::Collator {
    std::unique_ptr<icu::Collator> icu;
};

NameOrder::NameOrder() : collator_(std::make_unique<Collator>()) {
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale's collation puts case before everything else; no file browser does.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") locale = icu::Locale::getRoot();
    collator_->icu.reset(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status)) {
        collator_->icu.reset();
        return;
    }
    collator_->icu->setStrength(icu::Collator::SECONDARY);
    collator_->icu->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
}

NameOrder::~NameOrder() = default;

std::string NameOrder::key(std::string_view name) const {
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<std::int32_t>(name.size())));
    std::string key;
    if (!collator_->icu) {
        icu::UnicodeString lower(text);
        lower.toLower();
        lower.toUTF8String(key);
        return key;
    }
    key.resize(name.size() * 2 + 16);
    auto size = collator_->icu->getSortKey(text, reinterpret_cast<std::uint8_t*>(key.data()),
                                           static_cast<std::int32_t>(key.size()));
    if (static_cast<std::size_t>(size) > key.size()) {
        key.resize(static_cast<std::size_t>(size));
        size = collator_->icu->getSortKey(text, reinterpret_cast<std::uint8_t*>(key.data()),
                                          static_cast<std::int32_t>(key.size()));
    }
    // The key's closing zero byte adds nothing to comparisons.
    key.resize(size > 0 ? static_cast<std::size_t>(size) - 1 : 0);
    return key;
}

} // namespace vellary
