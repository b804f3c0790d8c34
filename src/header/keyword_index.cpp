#include "header/keyword_index.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <utility>

namespace vexlo {

namespace {

constexpr std::size_t kShortLen = 8;

// The bytes of a keyword of at most eight bytes, zero-padded into one word; nothing for a
// longer one or one holding a NUL byte (no stored keyword does, so packing stays one-to-one).
std::optional<std::uint64_t> pack(std::string_view key) {
    if (key.size() > kShortLen) return std::nullopt;
    // Byte by byte into a fixed buffer: a library search or copy of a length known only
    // here costs more than the whole lookup.
    unsigned char chars[kShortLen] = {};
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '\0') return std::nullopt;
        chars[i] = static_cast<unsigned char>(key[i]);
    }
    std::uint64_t out = 0;
    std::memcpy(&out, chars, kShortLen);
    return out;
}

// The top bits of the product: every byte of the keyword reaches them (numbered keywords
// differ only in their last bytes, which a product carries into its high bits alone).
std::size_t hash_of(std::uint64_t key, std::size_t mask) {
    const int bits = std::popcount(mask);
    if (bits == 0) return 0;
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

}  // namespace

std::string KeywordIndex::unpack(std::uint64_t key) {
    char chars[kShortLen];
    std::memcpy(chars, &key, kShortLen);
    return std::string(chars, strnlen(chars, kShortLen));
}

const KeywordIndex::Slot* KeywordIndex::probe(std::uint64_t key) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash_of(key, mask);; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.list.first == kVacant || s.key == key) return &s;
    }
}

KeywordIndex::Slot* KeywordIndex::probe(std::uint64_t key) {
    return const_cast<Slot*>(std::as_const(*this).probe(key));
}

void KeywordIndex::reserve(std::size_t keys) {
    std::size_t want = 16;
    while (want < 2 * keys)
        want *= 2;
    if (want <= slots_.size()) return;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(want, Slot{});
    for (const Slot& s : old) {
        if (s.list.first != kVacant) *probe(s.key) = s;
    }
}

void KeywordIndex::grow() {
    reserve(used_ + 1);
}

const IdList* KeywordIndex::find(std::string_view key) const {
    const std::optional<std::uint64_t> packed = pack(key);
    if (!packed) {
        auto it = long_.find(key);
        return it == long_.end() || it->second.empty() ? nullptr : &it->second;
    }
    const Slot* s = probe(*packed);
    return s == nullptr || s->list.first == kVacant || s->list.empty() ? nullptr : &s->list;
}

IdList& KeywordIndex::at(std::string_view key) {
    const std::optional<std::uint64_t> packed = pack(key);
    if (!packed) return long_[std::string(key)];
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot* s = probe(*packed);
    if (s->list.first == kVacant) {
        s->key = *packed;
        s->list = IdList{};
        ++used_;
    }
    return s->list;
}

std::span<const std::uint32_t> KeywordIndex::rest(const IdList& list) const {
    if (list.more == kNoId) return {};
    return extra_[list.more];
}

std::vector<std::uint32_t>& KeywordIndex::rest_mut(IdList& list) {
    if (list.more == kNoId) {
        list.more = static_cast<std::uint32_t>(extra_.size());
        extra_.emplace_back();
    }
    return extra_[list.more];
}

}  // namespace vexlo
