// vexlo.FitsFile, its HDU iterator, vexlo.open, the HDU object factory and the file summary.
//
// Locking (the order is in file_session.hpp): every method and protocol call on a file
// holds the file's operation lock from start to end (as do calls on the HDUs, headers and
// sections of a file opened for update), so that threads sharing a file see its operations
// one after another: a flush's copy, rename and rebinding are not interleaved with a lookup, a
// list edit or a patch. Beneath it, the slot mutex guards the slot list and the shared scanned
// file. Building an HDU object happens entirely under it (disk reads included); lookups that
// walk several slots take it once per slot. Python references that leave a slot are dropped
// after unlocking.
#include "python/file.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "compression/header.hpp"
#include "compression/reader.hpp"
#include "hdu/checksum.hpp"
#include "hdu/load.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/image.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"
#include "python/random_groups.hpp"
#include "python/tables.hpp"
#include "python/wcs.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

[[noreturn]] void raise_index_out_of_range(std::int64_t shown) {
    raise(PyExc_IndexError, "HDU index " + std::to_string(shown) + " out of range");
}

[[noreturn]] void raise_index_out_of_range(std::uint64_t shown) {
    raise(PyExc_IndexError, "HDU index " + std::to_string(shown) + " out of range");
}

// `op` is the operation the caller holds; in mode "update" the binding's generation is read
// through it.
nb::object lazy_image(std::size_t index, Header&& header, bool read_only,
                      const std::shared_ptr<FileSession>& session,
                      const std::shared_ptr<const FitsFile>& file, FileSession::Operation& op) {
    std::vector<std::uint64_t> axes = unwrap(header.axes());
    const Bitpix pixel_type = unwrap(from_bitpix(unwrap(header.bitpix())));
    // The scan `file` describes the file the updater had open at the generation read below.
    std::optional<PatchTarget> target;
    if (session) {
        Result<PatchTarget> found = patch_target(header, index, file->spans[index].data_len);
        if (found) target = std::move(*found);
    }
    PyImageHdu state;
    state.header = PyHeader::from_header(std::move(header), read_only, session);
    state.pixel_source = PixelSource{axes, file, index};
    state.axes = std::move(axes);
    state.session = session;
    state.tab_file = file;
    state.read_only = read_only;
    state.pixel_type = pixel_type;
    if (session) {
        // Read under the updater's lock, so a binding never predates a rewrite it missed.
        state.binding =
            PatchBinding{session, index, lend_updater(op)->generation, std::move(target)};
    }
    return make_image_object(std::move(state));
}

// The object for slot position k of `file`, built under the caller's slot lock within the
// operation `op`.
nb::object build_hdu_object(const PyFitsFile& self, const std::shared_ptr<const FitsFile>& file,
                            std::size_t k, FileSession::Operation& op) {
    const std::shared_ptr<FileSession> session = self.hdu_session();
    Header header = unwrap(file->header(k));
    // Plain images read their pixels lazily.
    if (is_image_hdu(header, k)) {
        return lazy_image(k, std::move(header), self.read_only, session, file, op);
    }
    // A binary table none of whose cells can fail is looked up without reading its data.
    if (table_kind(header, k) == vexlo::TableKind::Binary) {
        std::optional<BinTableHdu> unread =
            unwrap(without_gil([&] { return load_unread_bintable(*file, k, std::move(header)); }));
        if (unread) {
            PyHeader handle = PyHeader::from_header(unread->header, self.read_only, session);
            return make_unread_bintable(std::move(*unread), std::move(handle), file, k);
        }
    }
    Hdu hdu = unwrap(without_gil([&] { return load_hdu(*file, k); }));
    PyHeader handle = PyHeader::from_header(hdu.header(), self.read_only, session);
    return wrap_hdu(k, std::move(hdu), std::move(handle), self.read_only, session, file);
}

}  // namespace

// --- The factory ------------------------------------------------------------------------------

nb::object wrap_hdu(std::size_t index, Hdu&& hdu, PyHeader header, bool read_only,
                    std::shared_ptr<FileSession> session, std::shared_ptr<const FitsFile> file) {
    if (auto* image = std::get_if<ImageHdu>(&hdu.value)) {
        PyImageHdu state = PyImageHdu::from_file_hdu(*image, std::move(header), read_only);
        state.pixel_source = PixelSource{image->axes, file, index};
        state.session = std::move(session);
        state.tab_file = std::move(file);
        return make_image_object(std::move(state));
    }
    if (auto* groups = std::get_if<RandomGroupsHdu>(&hdu.value)) {
        return make_random_groups_object(*groups, std::move(header));
    }
    if (auto* table = std::get_if<AsciiTableHdu>(&hdu.value)) {
        return make_ascii_table(std::move(*table), std::move(header), std::move(file));
    }
    if (auto* table = std::get_if<BinTableHdu>(&hdu.value)) {
        return make_bintable(std::move(*table), std::move(header), std::move(file));
    }
    if (auto* compressed = std::get_if<CompressedImageHdu>(&hdu.value)) {
        ImageHdu image = unwrap(without_gil([&] { return decompress(*compressed); }));
        PyImageHdu state = PyImageHdu::from_decoded(std::move(image), read_only);
        state.compressed = CompressedSource{file, index, state.header.snapshot().bytes()};
        state.stored_checksums = carries_checksums(compressed->inner.header);
        state.header.session = session;
        state.session = std::move(session);
        state.tab_file = std::move(file);
        return make_image_object(std::move(state));
    }
    const auto& other = std::get<ConformingHdu>(hdu.value);
    raise(PyExc_TypeError, "HDU has XTENSION=" + debug_str(other.xtension) +
                               ", which is not supported by the Python wrapper.");
}

// --- Slots and lookups ------------------------------------------------------------------------

std::size_t PyFitsFile::hdu_count() {
    auto lock = lock_mutex(slot_mutex);
    return slots.entries.size();
}

nb::object PyFitsFile::materialize(std::size_t i) {
    // Building an object is part of an operation of the file (taken again here when the
    // caller already holds it), and the operation lock lies above the slot lock.
    FileSession::Operation op = lock_operation();
    // Declared before the lock, so that a failure drops it after unlocking.
    nb::object result;
    std::shared_ptr<const FitsFile> file;
    auto lock = lock_mutex(slot_mutex);
    if (i >= slots.entries.size()) raise_index_out_of_range(std::uint64_t{i});
    HduSlot& slot = slots.entries[i];
    if (const auto* loaded = std::get_if<nb::object>(&slot)) {
        result = *loaded;
        return result;
    }
    const std::size_t k = std::get<PendingHdu>(slot).index;
    if (!slots.source) {
        raise(PyExc_ValueError,
              "FitsFile: backing file dropped while a slot is still pending (internal "
              "invariant violated)");
    }
    file = slots.source;
    result = build_hdu_object(*this, file, k, op);
    slot = result;  // the slot held no Python reference before
    return result;
}

std::optional<std::pair<Header, std::size_t>> PyFitsFile::pending_header(std::size_t i) {
    std::shared_ptr<const FitsFile> file;
    std::size_t k = 0;
    {
        auto lock = lock_mutex(slot_mutex);
        if (i >= slots.entries.size()) raise_index_out_of_range(std::uint64_t{i});
        const auto* pending = std::get_if<PendingHdu>(&slots.entries[i]);
        if (pending == nullptr || !slots.source) return std::nullopt;
        k = pending->index;
        file = slots.source;
    }
    return std::pair(unwrap(file->header(k)), k);
}

nb::object PyFitsFile::header_of(std::size_t i) {
    std::optional<std::pair<Header, std::size_t>> pending = pending_header(i);
    if (!pending || may_be_tile_compressed(pending->first, pending->second)) {
        return materialize(i).attr("header");
    }
    return make_header_object(
        PyHeader::from_header(std::move(pending->first), read_only, hdu_session()));
}

std::vector<nb::object> PyFitsFile::materialize_all() {
    const std::size_t n = hdu_count();
    std::vector<nb::object> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(materialize(i));
    return out;
}

nb::object PyFitsFile::hdu_checked(std::size_t i) {
    if (i >= hdu_count()) raise_index_out_of_range(std::uint64_t{i});
    return materialize(i);
}

namespace {

// The UTF-8 text of a str object; nothing for any other object or an unencodable one.
std::optional<std::string_view> str_text(nb::handle obj) {
    if (!obj.is_valid() || !PyUnicode_Check(obj.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// Slot i's object when its header's EXTNAME is `name` (and EXTVER `ver` when given).
nb::object if_named(PyFitsFile& self, std::size_t i, std::string_view name,
                    std::optional<std::int64_t> ver) {
    nb::object hdu = self.materialize(i);
    const PyHeader* header = header_handle(hdu.attr("header"));
    if (header == nullptr) return nb::object();
    bool named = false;
    {
        auto lock = lock_header(*header->record);
        named = matches_extname(header->record->header, name, ver);
    }
    return named ? hdu : nb::object();
}

}  // namespace

std::optional<std::vector<std::size_t>> PyFitsFile::name_candidates(std::string_view name) {
    auto lock = lock_mutex(slot_mutex);
    // Headers of a read-only file never change and its slots follow the file one to one,
    // so the scan's name index answers; anything else is searched slot by slot.
    if (!read_only || !slots.source || slots.entries.size() != slots.source->len()) {
        return std::nullopt;
    }
    std::vector<std::size_t> found = extname_candidates(*slots.source, name);
    for (const std::size_t i : found) {
        const auto* pending = std::get_if<PendingHdu>(&slots.entries[i]);
        if (pending != nullptr && pending->index != i) return std::nullopt;
    }
    return found;
}

nb::object PyFitsFile::find_by_name(std::string_view name, std::optional<std::int64_t> ver) {
    if (const auto candidates = name_candidates(name)) {
        // Every slot before the match is still built, in order, so that a broken HDU there
        // raises its error as a slot-by-slot search would; a slot once built stays built, so
        // each is built once however many lookups follow.
        auto build_through = [&](std::size_t last) {
            for (std::size_t i = built_prefix.load(); i <= last; ++i) {
                (void)materialize(i);
                std::size_t seen = built_prefix.load();
                while (seen < i + 1 && !built_prefix.compare_exchange_weak(seen, i + 1)) {
                }
            }
        };
        for (const std::size_t i : *candidates) {
            build_through(i);
            if (nb::object hdu = if_named(*this, i, name, ver); hdu.is_valid()) return hdu;
        }
        if (const std::size_t n = hdu_count(); n > 0) build_through(n - 1);
    } else {
        const std::size_t n = hdu_count();
        for (std::size_t i = 0; i < n; ++i) {
            if (nb::object hdu = if_named(*this, i, name, ver); hdu.is_valid()) return hdu;
        }
    }
    std::string message = "no HDU with EXTNAME=" + debug_str(name);
    if (ver) message += ", EXTVER=" + std::to_string(*ver);
    raise(PyExc_KeyError, message);
}

std::vector<HduSlot> PyFitsFile::snapshot_slots() {
    auto lock = lock_mutex(slot_mutex);
    return slots.entries;
}

PyFitsFile* fits_file_state(nb::handle obj) {
    if (!obj.is_valid() || !nb::isinstance<PyFitsFile>(obj) || !nb::inst_ready(obj)) {
        return nullptr;
    }
    return nb::inst_ptr<PyFitsFile>(obj);
}

namespace {

// --- Summary text -----------------------------------------------------------------------------

struct HduSummary {
    std::string name;
    std::string detail;
    std::string_view kind;
    bool wcs = false;
};

std::string extname_or_empty(SharedHeader& record) {
    auto lock = lock_header(record);
    const std::optional<std::string> name = record.header.get_str("EXTNAME");
    return name ? std::string(trim_ws(*name)) : std::string();
}

// Some card whose keyword starts with CTYPE holds a non-blank string.
bool header_has_wcs(SharedHeader& record) {
    auto lock = lock_header(record);
    const Header& h = record.header;
    const std::size_t n = h.len();
    for (std::size_t i = 0; i < n; ++i) {
        const CardView view = h.view_at(i);
        const std::string keyword = view.keyword();
        if (keyword.size() < 5 || !keyword.starts_with("CTYPE")) continue;
        const std::optional<Value> value = view.value();
        if (value && value->is(Value::Kind::String) && !trim_ws(value->text).empty()) return true;
    }
    return false;
}

HduSummary hdu_summary_row(nb::handle obj) {
    HduSummary row;
    if (PyImageHdu* image = image_state(obj)) {
        row.kind = "Image";
        row.name = extname_or_empty(*image->header.record);
        row.detail = std::string(dtype_name(image->pixel_type));
        if (!image->axes.empty()) {
            row.detail.resize(std::max<std::size_t>(row.detail.size(), 7), ' ');
            row.detail += "  ";
            for (std::size_t i = 0; i < image->axes.size(); ++i) {
                if (i != 0) row.detail += " \xC3\x97 ";  // U+00D7 MULTIPLICATION SIGN
                row.detail += std::to_string(image->axes[i]);
            }
        }
        row.wcs = header_has_wcs(*image->header.record);
        return row;
    }
    if (const std::optional<TableInfo> table = table_info(obj)) {
        row.kind = table->kind == TableKind::Binary ? "BinTable" : "AsciiTable";
        row.name = extname_or_empty(*table->header->record);
        row.detail =
            std::to_string(table->n_rows) + " rows x " + std::to_string(table->n_columns) + " cols";
        return row;
    }
    row.kind = "Unknown";
    return row;
}

void pad_to(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    const std::size_t chars = code_point_count(text);
    if (chars < width) out.append(width - chars, ' ');
}

std::string file_repr(PyFitsFile& self) {
    const std::string name = debug_str(self.file_name ? *self.file_name : "<memory>");
    std::vector<nb::object> hdus;
    try {
        hdus = self.materialize_all();
    } catch (nb::python_error&) {
        hdus.clear();
        return "FitsFile(" + name + ", " + std::to_string(self.hdu_count()) + " HDUs)";
    } catch (BuiltinError&) {
        hdus.clear();
        return "FitsFile(" + name + ", " + std::to_string(self.hdu_count()) + " HDUs)";
    } catch (std::bad_alloc&) {
        // An HDU too large to decode is one more HDU that cannot be turned into an object.
        hdus.clear();
        return "FitsFile(" + name + ", " + std::to_string(self.hdu_count()) + " HDUs)";
    }
    if (hdus.empty()) return "FitsFile(" + name + ", 0 HDUs)";

    std::vector<HduSummary> rows;
    rows.reserve(hdus.size());
    for (const nb::object& hdu : hdus)
        rows.push_back(hdu_summary_row(hdu));
    const std::size_t n = rows.size();
    const std::size_t index_width = n < 10 ? 1 : n < 100 ? 2 : 3;
    std::size_t name_width = 4;
    std::size_t kind_width = 0;
    for (const HduSummary& r : rows) {
        name_width = std::max(name_width, r.name.size());
        kind_width = std::max(kind_width, r.kind.size());
    }

    std::string out = "FitsFile(" + name + ", " + std::to_string(n) + (n == 1 ? " HDU)" : " HDUs)");
    out += '\n';
    for (std::size_t i = 0; i < n; ++i) {
        const HduSummary& r = rows[i];
        const std::string index = std::to_string(i);
        out += "  [";
        if (index.size() < index_width) out.append(index_width - index.size(), ' ');
        out += index;
        out += "] ";
        pad_to(out, r.name, name_width);
        out += "  ";
        pad_to(out, r.kind, kind_width);
        out += "  ";
        out += r.detail;
        if (r.wcs) out += "  WCS";
        out += '\n';
    }
    return std::string(trim_ws_end(out));
}

// --- Opening ----------------------------------------------------------------------------------

// The last normal component of a path: empty and "." components are skipped; nothing when
// the path ends in "..", is a root, or is empty.
std::optional<std::string> last_component(std::string_view path) {
    std::string_view last;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty() && part != ".") last = part;
        if (part == "..") last = part;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    if (last.empty() || last == "..") return std::nullopt;
    return utf8_lossy(last);
}

std::optional<std::string> canonical_path(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

nb::object new_file_object() {
    nb::handle cls = nb::type<PyFitsFile>();
    ensure(cls.is_valid(), "the FitsFile class is not registered");
    nb::object obj = nb::inst_alloc(cls);
    new (nb::inst_ptr<PyFitsFile>(obj)) PyFitsFile();
    nb::inst_mark_ready(obj);
    return obj;
}

constexpr auto kPath = required<std::string>("path", to_path);
constexpr auto kMode = optional<std::string>("mode", "readonly");
constexpr auto kLenient = optional<bool>("lenient", true);
constexpr auto kOpenSig = signature("open()", kPath, kMode, kLenient);
nb::object open_file(const Args& p) {
    const std::string path = p.get(kPath);
    const std::string mode = p.get(kMode);
    const bool lenient = p.get(kLenient);
    return open_fits_file(path, mode, lenient);
}

}  // namespace

nb::object open_fits_file(const std::string& path, const std::string& mode, bool lenient) {
    if (mode == "append" || mode == "ostream") {
        raise(PyExc_ValueError,
              "vexlo.open: mode " + debug_str(mode) +
                  " is not supported; use `vexlo.write(path, hdus)` to create a new file, or "
                  "open with mode='readonly' and call `writeto(new_path)` to save a modified "
                  "copy");
    }
    if (mode != "readonly" && mode != "denywrite" && mode != "update") {
        raise(PyExc_ValueError,
              "vexlo.open: mode must be 'readonly', 'denywrite', or 'update'; got " +
                  debug_str(mode));
    }

    // In mode "update" the updater opens the file the scan read, and places its HDUs by that
    // scan: no rewrite of it in this process renames a new one into place between the two.
    WriterTurn turn;
    if (mode == "update") turn = writer_turn_at(path);
    auto scanned = std::make_shared<const FitsFile>(
        unwrap(without_gil([&] { return FitsFile::open(path, lenient); })));
    nb::object obj = new_file_object();
    PyFitsFile& self = *nb::inst_ptr<PyFitsFile>(obj);
    self.slots.entries.reserve(scanned->len());
    for (std::size_t k = 0; k < scanned->len(); ++k)
        self.slots.entries.emplace_back(PendingHdu{k});
    self.slots.source = std::move(scanned);
    self.file_name = last_component(path);
    self.source_path = canonical_path(path);
    self.read_only = mode != "update";
    if (mode == "update") {
        const FitsFile& scan = *self.slots.source;
        self.session = std::make_shared<FileSession>(
            unwrap(without_gil([&] { return FitsUpdater::open(path, scan); })));
    }
    return obj;
}

namespace {

constexpr auto kOpenDoc = function_doc<kOpenSig>(
    "Open a FITS file by path.\n\n"
    "The file is scanned at once; each HDU object is built when it is first looked up, and\n"
    "image pixels are read on the first access to `data`. Modes: \"readonly\" and\n"
    "\"denywrite\" (the same); \"update\", where edits are saved by `flush()` or `close()`\n"
    "(section assignments go straight into the file). \"append\" and \"ostream\" are\n"
    "refused. `lenient` repairs what strict header parsing refuses.");
constexpr FunctionDef kOpen{kOpenDoc, open_file};

// --- Methods ----------------------------------------------------------------------------------

constexpr auto kIndex = required<std::uint64_t>("i");
constexpr auto kHduSig = signature("FitsFile.hdu()", kIndex);
nb::object file_hdu(PyFitsFile& self, const Args& p) {
    const std::uint64_t i = p.get(kIndex);
    return self.hdu_checked(static_cast<std::size_t>(i));
}
constexpr auto kHduDoc = method_doc<kHduSig>("The HDU at position `i`.");
constexpr MethodDef<PyFitsFile> kHdu{kHduDoc, file_hdu};

constexpr auto kName = required<std::string>("name");
constexpr auto kVer = or_none<std::int64_t>("ver");
constexpr auto kHduByNameSig = signature("FitsFile.hdu_by_name()", kName, kVer);
nb::object file_hdu_by_name(PyFitsFile& self, const Args& p) {
    const std::string name = p.get(kName);
    const std::optional<std::int64_t> ver = p.get(kVer);
    return self.find_by_name(name, ver);
}
constexpr auto kHduByNameDoc = method_doc<kHduByNameSig>(
    "The first HDU whose EXTNAME is `name` (exactly), and whose EXTVER (1 when absent) is\n"
    "`ver` when given.");
constexpr MethodDef<PyFitsFile> kHduByName{kHduByNameDoc, file_hdu_by_name};

constexpr auto kWcsIndex = optional<std::uint64_t>("i", 0);
constexpr auto kWcsSig = signature("FitsFile.wcs()", kWcsIndex, kAltArg);
nb::object file_wcs(PyFitsFile& self, const Args& p) {
    const std::uint64_t i = p.get(kWcsIndex);
    const char32_t alt = p.get(kAltArg);
    nb::object hdu = self.hdu_checked(static_cast<std::size_t>(i));
    std::optional<Wcs> wcs;
    if (PyImageHdu* image = image_state(hdu)) {
        // The same header ImageHdu.wcs reads: an image built in memory has its shape only in
        // its array.
        SharedUse use(*image);
        wcs = unwrap(Wcs::from_header(wcs_header(*image), alt));
    } else {
        nb::object header = nb::getattr(hdu, "header");
        wcs = parse_header_wcs(cast_instance<HeaderObject>(header, "Header").handle, alt);
    }
    std::shared_ptr<const FitsFile> source;
    {
        auto lock = lock_mutex(self.slot_mutex);
        source = self.slots.source;
    }
    return hdu_wcs_object(
        std::move(wcs), source.get(),
        "WCS has a -TAB axis, but this FitsFile carries no file to load the lookup "
        "table from; open the file with vexlo.open, or use vexlo.Wcs(f[i].header) "
        "for header-only inspection");
}
constexpr auto kWcsDoc = method_doc<kWcsSig>(
    "The world coordinate system of HDU `i` for the alternate description `alt`, or None.");
constexpr MethodDef<PyFitsFile> kWcs{kWcsDoc, file_wcs};

constexpr auto kFlushSig = signature("FitsFile.flush()");
nb::object file_flush(PyFitsFile& self, const Args&) {
    flush_if_needed(self);
    return nb::none();
}
constexpr auto kFlushDoc = method_doc<kFlushSig>("Write pending edits to the file.");
constexpr MethodDef<PyFitsFile> kFlush{kFlushDoc, file_flush};

constexpr auto kCloseSig = signature("FitsFile.close()");
nb::object file_close(PyFitsFile& self, const Args&) {
    flush_if_needed(self);
    bump_generation(self);
    std::shared_ptr<const FitsFile> dropped;
    {
        auto lock = lock_mutex(self.slot_mutex);
        dropped.swap(self.slots.source);
    }
    return nb::none();
}
constexpr auto kCloseDoc =
    method_doc<kCloseSig>("Flush, then release the file. HDU objects already built keep working.");
constexpr MethodDef<PyFitsFile> kClose{kCloseDoc, file_close};

constexpr auto kVerifyChecksumsSig = signature("FitsFile.verify_checksums()");
nb::object file_verify_checksums(PyFitsFile& self, const Args&) {
    // The lock stays held across the reads, so close() cannot drop the file midway.
    auto lock = lock_mutex(self.slot_mutex);
    if (!self.slots.source) {
        raise(PyExc_ValueError, "FitsFile.verify_checksums: file already closed");
    }
    // Others wait for the lock with the interpreter lock released, so the reads can run
    // without it.
    const std::vector<ChecksumStatus> statuses =
        unwrap(without_gil([&] { return verify_checksums(*self.slots.source); }));
    const auto flag = [](std::optional<bool> ok) -> nb::object {
        if (!ok) return nb::none();
        return nb::bool_(*ok);
    };
    nb::list out;
    for (const ChecksumStatus& s : statuses) {
        nb::dict row;
        row["hdu"] = nb::int_(s.hdu);
        row["checksum_ok"] = flag(s.checksum_ok);
        row["datasum_ok"] = flag(s.datasum_ok);
        out.append(row);
    }
    return out;
}
constexpr auto kVerifyChecksumsDoc = method_doc<kVerifyChecksumsSig>(
    "Check the CHECKSUM and DATASUM cards of every HDU as stored on disk.\n\n"
    "One dict per HDU of the file on disk, in file order: ``hdu`` (0-based position),\n"
    "``checksum_ok`` and ``datasum_ok`` (True, False, or None when the card is absent).\n"
    "Edits not yet written do not show.");
constexpr MethodDef<PyFitsFile> kVerifyChecksums{kVerifyChecksumsDoc, file_verify_checksums};

constexpr auto kEnterSig = signature("FitsFile.__enter__()");
constexpr auto kEnterDoc = method_doc<kEnterSig>("Return the file itself.");

constexpr auto kExcType = or_none<nb::handle>("exc_type");
constexpr auto kExcVal = or_none<nb::handle>("_exc_val");
constexpr auto kExcTb = or_none<nb::handle>("_exc_tb");
constexpr auto kExitSig = signature("FitsFile.__exit__()", kExcType, kExcVal, kExcTb);
nb::object file_exit(PyFitsFile& self, const Args& p) {
    const nb::handle exc_type = p.get(kExcType);
    if (!exc_type.is_valid()) {
        flush_if_needed(self);
    } else if (self.updating()) {
        // Leaving by an exception rewrites nothing, but what was patched is made durable.
        (void)sync_in_place(self);
    }
    return nb::bool_(false);
}
constexpr auto kExitDoc =
    method_doc<kExitSig>("Flush on a clean exit; never suppresses an exception.");
constexpr MethodDef<PyFitsFile> kExit{kExitDoc, file_exit};

// __enter__ returns `self`, which the generic method entry does not pass to bodies.
PyObject* enter_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard_c([&] {
        (void)self_state<PyFitsFile>(self);
        (void)parse_args(kEnterSig, args, static_cast<std::size_t>(nargs), kwnames);
        result = Py_NewRef(self);
    });
    return result;
}

void add_enter(nb::handle cls) {
    static PyMethodDef method = {
        kEnterDoc.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&enter_entry)),
        METH_FASTCALL | METH_KEYWORDS, kEnterDoc.doc()};
    nb::object descr =
        nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &method));
    if (!descr.is_valid()) throw nb::python_error();
    nb::setattr(cls, kEnterDoc.name(), descr);
}

// --- Protocol slots ---------------------------------------------------------------------------

Py_ssize_t file_length(PyObject* self) {
    Py_ssize_t n = -1;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        n = static_cast<Py_ssize_t>(file.hdu_count());
    });
    return n;
}

constexpr const char* kKeyTypeMessage =
    "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple";

// An object's value through the integer protocol, if it has one within 64 bits.
std::optional<std::int64_t> index_value(PyObject* key) {
    if (!PyIndex_Check(key)) return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(key));
    if (!index.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

nb::object file_getitem(PyFitsFile& self, PyObject* key) {
    if (PyTuple_Check(key) && NB_TUPLE_GET_SIZE(key) == 2) {
        PyObject* name = NB_TUPLE_GET_ITEM(key, 0);
        const std::optional<std::string_view> text = str_text(name);
        const std::optional<std::int64_t> ver = index_value(NB_TUPLE_GET_ITEM(key, 1));
        if (!text || !ver)
            raise(PyExc_TypeError, "HDU tuple key must be (EXTNAME: str, EXTVER: int)");
        return self.find_by_name(*text, *ver);
    }
    if (PyUnicode_Check(key)) {
        const std::optional<std::string_view> text = str_text(key);
        if (!text) raise(PyExc_TypeError, kKeyTypeMessage);
        return self.find_by_name(*text, std::nullopt);
    }
    const std::optional<std::int64_t> given = index_value(key);
    if (!given) raise(PyExc_TypeError, kKeyTypeMessage);
    const std::optional<std::uint64_t> at = wrap_index(*given, self.hdu_count());
    if (!at) raise_index_out_of_range(*given);
    return self.materialize(static_cast<std::size_t>(*at));
}

}  // namespace

nb::object PyFitsFile::header_for(PyObject* key) {
    if (!PyUnicode_Check(key) && !PyTuple_Check(key)) {
        if (const std::optional<std::int64_t> given = index_value(key)) {
            const std::optional<std::uint64_t> at = wrap_index(*given, hdu_count());
            if (at) return header_of(static_cast<std::size_t>(*at));
        }
    }
    return file_getitem(*this, key).attr("header");
}

namespace {

PyObject* file_subscript(PyObject* self, PyObject* key) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        result = file_getitem(file, key).release().ptr();
    });
    return result;
}

int file_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    int result = -1;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        file_set_item(file, key, value);
        result = 0;
    });
    return result;
}

// A lookup that found nothing, or was given a key of a shape it never resolves.
bool is_miss(PyObject* type) {
    return PyErr_GivenExceptionMatches(type, PyExc_KeyError) ||
           PyErr_GivenExceptionMatches(type, PyExc_IndexError) ||
           PyErr_GivenExceptionMatches(type, PyExc_TypeError);
}

// `key in file`: names, (name, ver) pairs and indices are members exactly when the lookup
// finds them; any other object (an HDU) when it equals one of the file's HDUs.
int file_contains(PyObject* self, PyObject* key) {
    int result = -1;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        const bool key_like = PyUnicode_Check(key) || PyTuple_Check(key) || PyIndex_Check(key);
        if (!key_like) {
            result = 0;
            for (const nb::object& hdu : file.materialize_all()) {
                const int same = PyObject_RichCompareBool(hdu.ptr(), key, Py_EQ);
                if (same < 0) throw nb::python_error();
                if (same == 1) {
                    result = 1;
                    return;
                }
            }
            return;
        }
        try {
            (void)file_getitem(file, key);
            result = 1;
        } catch (const BuiltinError& e) {
            if (!is_miss(e.type)) throw;
            result = 0;
        } catch (nb::python_error& e) {
            if (!is_miss(e.type().ptr())) throw;
            result = 0;
        }
    });
    return result;
}

struct PyHduIter {
    std::vector<nb::object> hdus;
    std::size_t pos = 0;
};

PyObject* file_iter(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        PyHduIter it{file.materialize_all(), 0};
        result = nb::cast(std::move(it), nb::rv_policy::move).release().ptr();
    });
    return result;
}

PyObject* file_repr_slot(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyFitsFile& file = self_state<PyFitsFile>(self);
        auto operation = file.lock_operation();
        const std::string text = file_repr(file);
        result = nb::str(text.data(), text.size()).release().ptr();
    });
    return result;
}

PyType_Slot kFileSlots[] = {
    {Py_mp_length, reinterpret_cast<void*>(file_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(file_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(file_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(file_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(file_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(file_repr_slot)},
    {0, nullptr},
};

PyObject* hdu_iter_self(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* hdu_iter_next(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        PyHduIter& it = self_state<PyHduIter>(self);
        if (it.pos >= it.hdus.size()) return;  // exhausted: NULL without an error
        result = nb::object(it.hdus[it.pos]).release().ptr();
        ++it.pos;
    });
    return result;
}

PyType_Slot kHduIterSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(hdu_iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(hdu_iter_next)},
    {0, nullptr},
};

// --- Registration -----------------------------------------------------------------------------

constexpr auto kNewSig = signature("FitsFile.__new__()");
constexpr auto kFitsFileDoc = function_doc<kNewSig>(
    "Owning, ordered, mutable list of HDUs.\n\n"
    "Index by position, by EXTNAME or by (EXTNAME, EXTVER); HDU objects are built on first "
    "lookup.");

void make_hdu_iter_class(nb::module_& m) {
    // Not a module attribute, so the process keeps the class alive itself.
    static const nb::handle kept = bound_class<PyHduIter>([&] {
                                       nb::object cls = nb::class_<PyHduIter>(
                                           m, "_HduIter", "Iterator over HDUs in a `PyFitsFile`.",
                                           nb::is_final(), nb::type_slots(kHduIterSlots));
                                       // Reached only through iter(file): not a module attribute.
                                       nb::delattr(m, "_HduIter");
                                       return cls;
                                   }).release();
    (void)kept;
}

nb::object make_file_class(nb::module_& m) {
    make_hdu_iter_class(m);
    return bound_class<PyFitsFile>([&] {
        auto cls = nb::class_<PyFitsFile>(m, "FitsFile", kFitsFileDoc.doc(), nb::is_final(),
                                          nb::type_slots(kFileSlots));
        cls.def("__init__", [](PyFitsFile* self, nb::args args, nb::kwargs kwargs) {
            (void)parse_args(kNewSig, args, kwargs);
            new (self) PyFitsFile();
        });
        cls.def_prop_ro(
            "read_only", [](PyFitsFile& self) { return self.read_only; },
            "True when the file was opened read-only.");
        add_method<PyFitsFile, kHdu>(cls);
        add_method<PyFitsFile, kHduByName>(cls);
        add_method<PyFitsFile, kWcs>(cls);
        add_method<PyFitsFile, kFlush>(cls);
        add_method<PyFitsFile, kClose>(cls);
        add_method<PyFitsFile, kVerifyChecksums>(cls);
        add_enter(cls);
        add_update_methods(cls);
        add_method<PyFitsFile, kExit>(cls);
        return cls;
    });
}

const Registration kFileRegistration{"FitsFile", make_file_class};
const Registration kOpenRegistration{"open",
                                     [](nb::module_& m) { return make_function<kOpen>(m); }};

}  // namespace

}  // namespace vexlo::py
