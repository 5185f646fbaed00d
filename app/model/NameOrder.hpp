#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vellary {

// File names in the order a file browser shows them in the user's locale: case ignored, digits
// compared as numbers (IMG_2 before IMG_10). Keys are made once per name and then compared as
// bytes, so sorting many files costs no collation work.
class NameOrder {
public:
    NameOrder();
    ~NameOrder();
    NameOrder(const NameOrder&) = delete;
    NameOrder& operator=(const NameOrder&) = delete;

    std::string key(std::string_view name) const;

private:
    struct Collator;
    std::unique_ptr<Collator> collator_;
};

} // namespace vellary
