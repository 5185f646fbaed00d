#include "tests/support/TIFFBuilder.hpp"

#include "tests/support/ByteWriters.hpp"

#include <algorithm>

namespace vellary::testing {

namespace {

constexpr std::uint16_t kShort = 3, kASCII = 2, kUndefined = 7, kByte = 1, kLong = 4;

} // namespace

TIFFBuilder::Field TIFFBuilder::shorts(std::uint16_t tag, std::vector<std::uint32_t> values) {
    Field f{tag, kShort, static_cast<std::uint32_t>(values.size()), {}, std::move(values), {}};
    return f;
}

TIFFBuilder::Field TIFFBuilder::longs(std::uint16_t tag, std::vector<std::uint32_t> values) {
    Field f{tag, kLong, static_cast<std::uint32_t>(values.size()), {}, std::move(values), {}};
    return f;
}

TIFFBuilder::Field TIFFBuilder::ascii(std::uint16_t tag, const std::string& text) {
    return Field{tag, kASCII, static_cast<std::uint32_t>(text.size() + 1), {}, {}, text};
}

TIFFBuilder::Field TIFFBuilder::opaque(std::uint16_t tag, std::uint32_t count,
                                       std::uint32_t valueOffset) {
    return Field{tag, kUndefined, count, {}, {valueOffset}, {}};
}

TIFFBuilder::Field TIFFBuilder::bytes(std::uint16_t tag, const Bytes& data) {
    return Field{tag, kByte, static_cast<std::uint32_t>(data.size()), data, {}, {}};
}

TIFFBuilder::TIFFBuilder(bool little, std::uint16_t magic, std::size_t headerSize)
    : data_(headerSize, 0), little_(little) {
    data_[0] = data_[1] = little ? 'I' : 'M';
    put16(2, magic);
}

void TIFFBuilder::put16(std::size_t at, std::uint16_t value) {
    putEndian(data_, at, value, 2, little_);
}

void TIFFBuilder::put32(std::size_t at, std::uint32_t value) {
    putEndian(data_, at, value, 4, little_);
}

void TIFFBuilder::setFirst(std::uint32_t offset) {
    put32(4, offset);
}

void TIFFBuilder::setNext(std::uint32_t directory, std::uint32_t next) {
    const auto count = little_ ? data_[directory] | (data_[directory + 1] << 8)
                               : (data_[directory] << 8) | data_[directory + 1];
    put32(directory + 2 + static_cast<std::size_t>(count) * 12, next);
}

std::uint32_t TIFFBuilder::blob(const Bytes& data) {
    if (data_.size() % 2) data_.push_back(0);
    const auto at = size();
    data_.insert(data_.end(), data.begin(), data.end());
    return at;
}

Bytes TIFFBuilder::encode(const Field& field) const {
    if (!field.data.empty()) return field.data;
    if (field.type == kASCII) {
        Bytes out(field.text.begin(), field.text.end());
        out.push_back(0);
        return out;
    }
    Bytes out;
    for (const auto value : field.numbers)
        appendEndian(out, value, field.type == kShort ? 2 : 4, little_);
    return out;
}

std::uint32_t TIFFBuilder::directory(const std::vector<Field>& fields, std::uint32_t next) {
    auto sorted = fields;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Field& a, const Field& b) { return a.tag < b.tag; });
    if (data_.size() % 2) data_.push_back(0);
    const auto at = size();
    data_.resize(data_.size() + 2 + sorted.size() * 12 + 4, 0);
    put16(at, static_cast<std::uint16_t>(sorted.size()));
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const auto& field = sorted[i];
        const std::size_t entry = at + 2 + i * 12;
        put16(entry, field.tag);
        put16(entry + 2, field.type);
        put32(entry + 4, field.count);
        if (field.type == kUndefined && field.data.empty()) {
            put32(entry + 8, field.numbers.front());
            continue;
        }
        const auto value = encode(field);
        if (value.size() <= 4) {
            std::copy(value.begin(), value.end(),
                      data_.begin() + static_cast<std::ptrdiff_t>(entry + 8));
        } else {
            const auto where = blob(value);
            put32(entry + 8, where);
        }
    }
    put32(at + 2 + sorted.size() * 12, next);
    return at;
}

} // namespace vellary::testing
