// Typed HDUs from a scanned file: kind selection and lookup by name. A loaded HDU's data
// borrows from the file record, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "hdu/hdu.hpp"
#include "hdu/image.hpp"
#include "io/file.hpp"

namespace vexlo {

// Whether the HDU at `index` with this header loads as a plain image: the primary HDU unless
// it holds random groups, or an extension whose XTENSION is the string IMAGE.
bool is_image_hdu(const Header& h, std::size_t index);
// Whether the HDU at `index` may load as a tile-compressed image, whose header is then built
// from the stored one; every other HDU keeps its stored header as it is.
bool may_be_tile_compressed(const Header& h, std::size_t index);
// The kind of table an HDU's header declares: an ASCII table (XTENSION TABLE), or a binary
// table that is no tile-compressed image candidate; none for anything else.
enum class TableKind : std::uint8_t { None, Ascii, Binary };
TableKind table_kind(const Header& h, std::size_t index);
// The typed HDU at `index`.
Result<Hdu> load_hdu(const FitsFile& file, std::size_t index);
// A binary table (no tile-compressed image candidate) none of whose cells can fail to decode,
// built unread from its header `h` (BinTableHdu::create_unread): nothing can fail in its data,
// so its lookup reads none of it. None for every other HDU, which load_hdu loads.
Result<std::optional<BinTableHdu>> load_unread_bintable(const FitsFile& file, std::size_t index,
                                                        Header h);
// Whether an HDU with this header and unpadded data section would load at `index` of a file:
// the checks load_hdu makes for its kind, with their errors.
Result<void> check_loads(const Header& h, std::size_t index, ByteSpan data);
// The same record owning a fresh copy of its data: the file's cache is neither used nor
// filled, so a reader that visits every HDU once holds one HDU's data at a time.
Result<Hdu> load_hdu_owned(const FitsFile& file, std::size_t index);
// An image or a tile-compressed image, its tiles not yet decoded: anything else is refused.
// The decoders sit a layer up, so decoding is left to the caller (compression/reader.hpp).
Result<Hdu> load_image_hdu(const FitsFile& file, std::size_t index);
// What a lookup of an HDU object by name compares. The name: the text of the first EXTNAME
// card when it holds a string (or text kept unparsed); none for another value or no card. The
// version: the first EXTVER card's integer, a logical one as 1 (T) or 0 (F), and 1 for any other
// value or no card.
std::optional<std::string> lookup_extname(const Header& h);
std::int64_t lookup_extver(const Header& h);
// Whether that lookup picks the HDU of `h`: its name equals `name` exactly (case-sensitive)
// and, when `ver` is given, its version equals `ver`.
bool matches_extname(const Header& h, std::string_view name, std::optional<std::int64_t> ver);

// The first HDU whose EXTNAME is exactly `name` (and whose EXTVER, 1 when absent or not an
// integer, is `extver` when given).
Result<Hdu> hdu_by_extname(const FitsFile& file, std::string_view name,
                           std::optional<std::int64_t> extver);

}  // namespace vexlo
