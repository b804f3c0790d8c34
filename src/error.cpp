#include "error.hpp"

#include <cerrno>
#include <cstring>

#include "util/debug.hpp"

namespace vexlo {

namespace {
Error make(Error::Kind kind, std::string msg, std::uint64_t offset = 0, std::string keyword = {}) {
    Error e;
    e.kind = kind;
    e.msg = std::move(msg);
    e.offset = offset;
    e.keyword = std::move(keyword);
    return e;
}
}  // namespace

Error Error::io(std::string text) {
    return make(Kind::Io, std::move(text));
}

Error Error::io_errno(int err) {
    Error e = io(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
    // The system refusing memory is memory running out, as an allocation failing is.
    e.memory_exhausted = err == ENOMEM;
    return e;
}

Error Error::out_of_memory() {
    return io_errno(ENOMEM);
}

Error Error::out_of_memory(Error shown) {
    shown.memory_exhausted = true;
    return shown;
}

Error Error::restated(const Error& cause, Error shown) {
    return cause.is_out_of_memory() ? out_of_memory(std::move(shown)) : shown;
}

bool Error::is_out_of_memory() const {
    for (const Error* e = this; e != nullptr;
         e = e->kind == Kind::InHdu ? e->source.get() : nullptr) {
        if (e->memory_exhausted) return true;
    }
    return false;
}

Error Error::block(std::uint64_t offset, std::string msg) {
    return make(Kind::Block, std::move(msg), offset);
}

Error Error::card(std::uint64_t offset, std::string msg) {
    return make(Kind::Card, std::move(msg), offset);
}

Error Error::value(std::string keyword, std::string msg) {
    return make(Kind::Value, std::move(msg), 0, std::move(keyword));
}

Error Error::header(std::string msg) {
    return make(Kind::Header, std::move(msg));
}

Error Error::missing_mandatory(std::string keyword) {
    return make(Kind::MissingMandatory, {}, 0, std::move(keyword));
}

Error Error::end_card_misplaced(std::uint64_t offset) {
    return make(Kind::EndCardMisplaced, {}, offset);
}

Error Error::hdu_mismatch(std::string expected, std::string found) {
    return make(Kind::HduMismatch, std::move(found), 0, std::move(expected));
}

Error Error::data(std::string msg) {
    return make(Kind::Data, std::move(msg));
}

Error Error::non_standard(std::string msg) {
    return make(Kind::NonStandard, std::move(msg));
}

Error Error::wcs(std::string msg) {
    return make(Kind::Wcs, std::move(msg));
}

Error Error::checksum(std::string msg) {
    return make(Kind::Checksum, std::move(msg));
}

Error Error::in_hdu(std::uint64_t index, Error source) {
    Error e = make(Kind::InHdu, {}, index);
    e.source = std::make_shared<const Error>(std::move(source));
    return e;
}

std::string Error::message() const {
    const std::string off = std::to_string(offset);
    switch (kind) {
        case Kind::Io:
            return "i/o error: " + msg;
        case Kind::Block:
            return "block at byte " + off + ": " + msg;
        case Kind::Card:
            return "card at byte " + off + ": " + msg;
        case Kind::Value:
            return "value for keyword `" + keyword + "`: " + msg;
        case Kind::Header:
            return "header: " + msg;
        case Kind::MissingMandatory:
            return "missing mandatory keyword `" + keyword + "`";
        case Kind::EndCardMisplaced:
            return "END card misplaced (block at byte " + off + ")";
        case Kind::HduMismatch:
            return "expected HDU type `" + keyword + "`, found `" + msg + "`";
        case Kind::Data:
            return "data: " + msg;
        case Kind::NonStandard:
            return "non-standard construct: " + msg;
        case Kind::Wcs:
            return "wcs: " + msg;
        case Kind::Checksum:
            return "checksum: " + msg;
        case Kind::InHdu:
            return "in HDU " + off + ": " + (source ? source->message() : std::string());
    }
    return msg;
}

std::string Error::debug() const {
    const std::string off = std::to_string(offset);
    auto q = [](const std::string& s) { return debug_str(s); };
    switch (kind) {
        case Kind::Io:
            return "Io(" + q(msg) + ")";
        case Kind::Block:
            return "Block { offset: " + off + ", msg: " + q(msg) + " }";
        case Kind::Card:
            return "Card { offset: " + off + ", msg: " + q(msg) + " }";
        case Kind::Value:
            return "Value { keyword: " + q(keyword) + ", msg: " + q(msg) + " }";
        case Kind::Header:
            return "Header(" + q(msg) + ")";
        case Kind::MissingMandatory:
            return "MissingMandatory { keyword: " + q(keyword) + " }";
        case Kind::EndCardMisplaced:
            return "EndCardMisplaced { offset: " + off + " }";
        case Kind::HduMismatch:
            return "HduMismatch { expected: " + q(keyword) + ", found: " + q(msg) + " }";
        case Kind::Data:
            return "Data(" + q(msg) + ")";
        case Kind::NonStandard:
            return "NonStandard(" + q(msg) + ")";
        case Kind::Wcs:
            return "Wcs(" + q(msg) + ")";
        case Kind::Checksum:
            return "Checksum(" + q(msg) + ")";
        case Kind::InHdu:
            return "InHdu { index: " + off +
                   ", source: " + (source ? source->debug() : std::string()) + " }";
    }
    return msg;
}

}  // namespace vexlo
