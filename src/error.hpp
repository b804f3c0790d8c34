// The library's single error type: every core operation returns a value or one Error.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <utility>

#include "util/try.hpp"

namespace vexlo {

struct Error {
    // Variant order is part of the interface.
    enum class Kind : std::uint8_t {
        Io,
        Block,
        Card,
        Value,
        Header,
        MissingMandatory,
        EndCardMisplaced,
        HduMismatch,
        Data,
        NonStandard,
        Wcs,
        Checksum,
        InHdu,
    };

    Kind kind = Kind::Io;
    std::uint64_t offset = 0;             // Block, Card, EndCardMisplaced offsets; InHdu index
    std::string keyword;                  // Value, MissingMandatory keyword; HduMismatch expected
    std::string msg;                      // the text payload; HduMismatch found; Io text
    std::shared_ptr<const Error> source;  // InHdu only (shared keeps copies cheap)
    // Memory ran out: the failure says nothing of the input, whatever variant shows it, and
    // reaches Python as MemoryError.
    bool memory_exhausted = false;

    static Error io(std::string text);
    // An operating-system error: "<description> (os error N)".
    static Error io_errno(int err);
    static Error block(std::uint64_t offset, std::string msg);
    static Error card(std::uint64_t offset, std::string msg);
    static Error value(std::string keyword, std::string msg);
    static Error header(std::string msg);
    static Error missing_mandatory(std::string keyword);
    static Error end_card_misplaced(std::uint64_t offset);
    static Error hdu_mismatch(std::string expected, std::string found);
    static Error data(std::string msg);
    static Error non_standard(std::string msg);
    static Error wcs(std::string msg);
    static Error checksum(std::string msg);
    static Error in_hdu(std::uint64_t index, Error source);
    // An allocation sized by input could not be made: the operating system's ENOMEM text.
    static Error out_of_memory();
    // The same, told in the words of `shown` (its variant and text stay as they are).
    static Error out_of_memory(Error shown);
    // `shown`, out of memory when `cause` is: for an error restated in other words.
    static Error restated(const Error& cause, Error shown);

    // Whether memory ran out, seen through any InHdu nesting.
    bool is_out_of_memory() const;

    // The display text, e.g. "card at byte 80: ...".
    std::string message() const;
    // Structural rendering for internal-failure reports, e.g. Block { offset: 0, msg: "x" }.
    std::string debug() const;
};

// A value or an Error. The class only adds [[nodiscard]] to std::expected, so a dropped
// error is a compile warning; everything else is std::expected's own.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
  public:
    using std::expected<T, Error>::expected;
    Result(const std::expected<T, Error>& other) : std::expected<T, Error>(other) {}
    Result(std::expected<T, Error>&& other) : std::expected<T, Error>(std::move(other)) {}
};

// `return fail(Error::data("..."));` from any function returning a Result.
inline std::unexpected<Error> fail(Error e) {
    return std::unexpected(std::move(e));
}

}  // namespace vexlo
