// Keyword -> the stable ids of the cards filed under it, in header order. Ids never change
// when cards move, so edits leave the index alone except for the keyword they touch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexlo {

inline constexpr std::uint32_t kNoId = 0xFFFFFFFEu;

// The ids of one keyword: the first inline (most keywords occur once, so a header's index
// allocates nothing per card), any others in a list of the index.
struct IdList {
    std::uint32_t first = kNoId;
    std::uint32_t more = kNoId;  // into KeywordIndex::extra_, or kNoId

    bool empty() const { return first == kNoId; }
};

class KeywordIndex {
  public:
    // The ids filed under `key`; null when none are.
    const IdList* find(std::string_view key) const;
    IdList* find(std::string_view key) {
        return const_cast<IdList*>(std::as_const(*this).find(key));
    }
    // The list of `key`, created empty when absent.
    IdList& at(std::string_view key);
    // The ids of a list after its first one.
    std::span<const std::uint32_t> rest(const IdList& list) const;
    std::vector<std::uint32_t>& rest_mut(IdList& list);
    void reserve(std::size_t keys);

    // Every keyword longer than eight bytes (HIERARCH long names), in byte order.
    const std::map<std::string, IdList, std::less<>>& long_keys() const { return long_; }
    // Every keyword with at least one id, with its list (short ones in no particular order).
    template <class Visit>
    void for_each(Visit visit) const {
        for (const Slot& s : slots_) {
            if (s.list.first != kVacant && !s.list.empty()) visit(unpack(s.key), s.list);
        }
        for (const auto& [key, list] : long_) {
            if (!list.empty()) visit(std::string_view(key), list);
        }
    }

  private:
    static constexpr std::uint32_t kVacant = 0xFFFFFFFFu;
    struct Slot {
        std::uint64_t key = 0;
        IdList list{kVacant, kNoId};
    };
    static std::string unpack(std::uint64_t key);
    Slot* probe(std::uint64_t key);
    const Slot* probe(std::uint64_t key) const;
    void grow();

    std::vector<Slot> slots_;  // open addressing, a power of two long, at most half full
    std::size_t used_ = 0;
    std::map<std::string, IdList, std::less<>> long_;
    std::vector<std::vector<std::uint32_t>> extra_;
};

}  // namespace vexlo
