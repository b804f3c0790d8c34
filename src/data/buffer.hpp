// A data section that is either owned or a read-only view of bytes owned elsewhere (an
// opened file's cache, a caller's buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "util/bytes.hpp"

namespace vexlo {

class DataBuf {
  public:
    DataBuf() = default;
    static DataBuf owned(Bytes bytes) {
        DataBuf d;
        d.owned_ = std::move(bytes);
        d.is_owned_ = true;
        return d;
    }
    // The viewed bytes must outlive every use of the view.
    static DataBuf borrowed(ByteSpan bytes) {
        DataBuf d;
        d.view_ = bytes;
        return d;
    }

    ByteSpan span() const { return is_owned_ ? ByteSpan(owned_) : view_; }
    const std::uint8_t* data() const { return span().data(); }
    std::size_t size() const { return span().size(); }
    bool empty() const { return size() == 0; }
    bool is_owned() const { return is_owned_; }

    // The bytes as an owned list: moved out when owned, copied when borrowed.
    Bytes into_bytes() && {
        if (is_owned_) return std::move(owned_);
        return Bytes(view_.begin(), view_.end());
    }

  private:
    Bytes owned_;
    ByteSpan view_;
    bool is_owned_ = false;
};

}  // namespace vexlo
