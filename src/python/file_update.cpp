// Saving a vexlo.FitsFile: the flush of mode "update" (a full rewrite through a temporary
// sibling renamed over the file, or only a sync of in-place patches), writeto, the list edits
// and add_checksums.
//
// A rewrite consumes the dirty flags before it starts and puts `modified` back when it fails,
// so that the edits stay pending for a later flush. Untouched HDUs are copied as stored.
// Everything here runs under the file's operation lock, taken when the call entered: no other
// thread's operation on the file falls between a rewrite's snapshot, copy, rename and
// rebinding, so the slot list it rebinds is the snapshot it wrote.
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "data/size.hpp"
#include "hdu/builders.hpp"
#include "hdu/checksum.hpp"
#include "hdu/load.hpp"
#include "hdu/writer.hpp"
#include "io/posix.hpp"
#include "io/replace.hpp"
#include "python/args.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/file.hpp"
#include "python/header.hpp"
#include "python/image.hpp"
#include "python/method.hpp"
#include "python/random_groups.hpp"
#include "python/tables.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace vexlo::py {

void bump_generation(PyFitsFile& self) {
    if (!self.updating()) return;
    self.lock_operation().updater()->bump_generation();
}

namespace {

constexpr const char* kReadOnly =
    "FitsFile: opened read-only; reopen with mode='update' to enable mutations";

struct SlotTexts {
    const char* dropped;
    const char* out_of_range;  // followed by the index and " out of range"
};

bool is_primary_capable(nb::handle obj) {
    if (image_state(obj) != nullptr || random_groups_state(obj) != nullptr) return true;
    const std::optional<BuilderRef> builder = builder_of(obj);
    return builder && builder->kind == BuilderKind::Image;
}

OwnedHdu slot_to_owned_hdu(nb::handle obj, bool is_primary) {
    if (PyImageHdu* image = image_state(obj)) return to_owned_hdu(*image, is_primary);
    if (const std::optional<TableInfo> table = table_info(obj)) return table_snapshot(*table);
    if (const PyRandomGroups* groups = random_groups_state(obj)) return groups->to_owned_hdu();
    raise(PyExc_TypeError, "FitsFile: HDU slot has unsupported type");
}

// Whether an HDU object's header holds CHECKSUM or DATASUM, or, for a tile-compressed image,
// the table it was decoded from did. Such an HDU is written with fresh ones: the values it
// was read with describe other bytes once anything of it changes.
bool carries_checksums(nb::handle obj) {
    if (const PyImageHdu* image = image_state(obj); image && image->stored_checksums) return true;
    const PyHeader* header = header_handle(obj.attr("header"));
    return header != nullptr && vexlo::carries_checksums(header->snapshot());
}

// HDU k of `source` exactly as stored; with checksums on, its stored header and data stamped
// afresh.
void copy_stored_hdu(const FitsFile& source, std::size_t k, FitsWriter& writer, BufWriter& out) {
    if (writer.checksums) {
        const Header header = unwrap(source.header(k));
        const Bytes data = unwrap(source.read_data(k));
        unwrap(writer.write_hdu(header, data));
        return;
    }
    unwrap(without_gil([&] { return source.copy_raw_hdu(k, out); }));
    ++writer.hdus_written;
}

struct WrittenSlots {
    bool padded = false;  // an empty primary HDU was put in front
    // Per snapshot entry: a decoded tile-compressed image written as its stored table.
    std::vector<bool> kept_compressed;
};

// Writes every slot of the snapshot in order: built objects encoded, pending ones and
// unchanged tile-compressed images copied as stored (stamped from their stored header and
// data when checksums are on).
WrittenSlots write_slots(PyFitsFile& self, std::vector<HduSlot>& snapshot, FitsWriter& writer,
                         BufWriter& out, const SlotTexts& texts) {
    // A primary HDU cannot be copied into an extension's place, nor the reverse.
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const auto* pending = std::get_if<PendingHdu>(&snapshot[i]);
        if (pending && (i == 0) != (pending->index == 0)) snapshot[i] = self.materialize(i);
    }
    WrittenSlots written;
    written.kept_compressed.assign(snapshot.size(), false);
    bool& padded = written.padded;
    if (!snapshot.empty()) {
        const auto* first = std::get_if<nb::object>(&snapshot[0]);
        if (first && !is_primary_capable(*first)) {
            unwrap(writer.write_hdu(Header::new_primary(), ByteSpan()));
            padded = true;
        }
    }
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (const auto* obj = std::get_if<nb::object>(&snapshot[i])) {
            const bool primary = i == 0 && !padded;
            PyImageHdu* image = image_state(*obj);
            // A compressed image nobody changed stays compressed: its table, as stored. A
            // table cannot be the primary HDU, so in that place it is written decoded.
            if (image && !primary && compressed_unchanged(*image)) {
                copy_stored_hdu(*image->compressed->file, image->compressed->hdu_index, writer,
                                out);
                written.kept_compressed[i] = true;
                continue;
            }
            // An image whose pixels were never read keeps its stored bytes, copied in large
            // blocks after its (possibly edited) header. Only when that header declares
            // exactly those bytes: otherwise the writer below refuses the HDU.
            const bool stamp = writer.checksums || carries_checksums(*obj);
            if (image && !stamp && !cached_array(*image->cache).is_valid()) {
                const std::optional<Header> header = stored_image_header(*image, primary);
                const std::shared_ptr<const FitsFile> file =
                    header ? image->pixel_source->file : nullptr;
                const std::size_t k = header ? image->pixel_source->hdu_index : 0;
                if (header && data_section_size(*header) == file->spans[k].data_len) {
                    unwrap(writer.write_header_for_copy(*header));
                    unwrap(without_gil([&] { return file->copy_padded_data(k, out); }));
                    continue;
                }
            }
            const OwnedHdu hdu = slot_to_owned_hdu(*obj, primary);
            unwrap(writer.write_hdu(hdu.header, hdu.data, stamp));
            // A header edited into one the reader refuses (a column wider than the row, say)
            // fails here, before the new file replaces anything.
            unwrap(check_loads(hdu.header, i + (padded ? 1 : 0), hdu.data));
            continue;
        }
        const std::size_t k = std::get<PendingHdu>(snapshot[i]).index;
        auto lock = lock_mutex(self.slot_mutex);
        if (!self.slots.source) raise(PyExc_ValueError, texts.dropped);
        const FitsFile& source = *self.slots.source;
        if (k >= source.len()) {
            raise(PyExc_ValueError,
                  std::string(texts.out_of_range) + std::to_string(k) + " out of range");
        }
        copy_stored_hdu(source, k, writer, out);
    }
    return written;
}

// Writes the slots into `target` through a temporary sibling renamed over it (synced first
// when `durability` asks); `before_commit` (when given) sees the complete new file at its
// temporary path before the rename, and a failure there leaves the target untouched.
WrittenSlots write_through_temp(PyFitsFile& self, std::vector<HduSlot>& snapshot,
                                const std::string& target, const SlotTexts& texts,
                                Durability durability,
                                const std::function<void(const std::string&)>& before_commit = {}) {
    ReplacingFile file = unwrap(ReplacingFile::create(target, true, durability));
    BufWriter out = file.writer();
    FitsWriter writer = FitsWriter::borrowing(out, 0, self.checksums);
    WrittenSlots written = write_slots(self, snapshot, writer, out, texts);
    unwrap(std::move(writer).finish());
    if (before_commit) before_commit(file.writing_path());
    unwrap(without_gil([&] { return file.commit(); }));
    return written;
}

// The flags are consumed before the rewrite; a failure puts `modified` back so the edits
// stay pending.
struct RestoreOnFailure {
    FileSession& flags;
    bool done = false;
    ~RestoreOnFailure() {
        if (!done) flags.modified.store(true);
    }
};

// The re-stamped cards go into the headers of the HDU objects bound to the updater at
// `generation`, the ones whose patches changed the sums; the file holds these cards, so the
// headers take them without counting as edited.
void show_restamped(PyFitsFile& self, std::uint64_t generation,
                    const std::vector<RestampedCards>& restamped) {
    if (restamped.empty()) return;
    for (const HduSlot& slot : self.snapshot_slots()) {
        const auto* obj = std::get_if<nb::object>(&slot);
        const PyImageHdu* image = obj ? image_state(*obj) : nullptr;
        if (!image || !image->binding) continue;
        const PatchBinding& b = *image->binding;
        if (b.session != self.session || b.generation != generation) continue;
        for (const RestampedCards& cards : restamped) {
            if (cards.index != b.hdu_index) continue;
            auto lock = lock_header(*image->header.record);
            take_restamped_cards(image->header.record->header, cards);
        }
    }
}

// sync_in_place within the writer turn `turn` the caller holds. With `then_bump` the
// generation moves on in the same critical section as the sync.
Result<void> sync_within(PyFitsFile& self, FileSession::Turn& turn, bool then_bump) {
    std::vector<RestampedCards> restamped;
    std::uint64_t generation = 0;
    {
        auto up = lend_updater(turn);
        VEXLO_ASSIGN_OR_RETURN(restamped, sync_patches(*up));
        generation = up->generation;
        if (then_bump) up->bump_generation();
    }
    // Patches run under the operation lock the caller holds: none came in since the sync.
    self.session->patched.store(false);
    show_restamped(self, generation, restamped);
    return {};
}

}  // namespace

Result<void> sync_in_place(PyFitsFile& self) {
    FileSession::Operation op = self.lock_operation();
    // Nothing patched since the last sync: nothing to make durable, and nothing to check (the
    // file may have been replaced, grown or removed by another writer meanwhile).
    if (!self.session->patched.load()) return {};
    FileSession::Turn turn = std::move(op).writer_turn();
    return sync_within(self, turn, false);
}

void full_rewrite(PyFitsFile& self) {
    if (!self.source_path) {
        raise(PyExc_ValueError,
              "FitsFile.flush: cannot rewrite an in-memory file; use writeto(path)");
    }
    RestoreOnFailure restore{*self.session};
    FileSession::Operation op = self.lock_operation();
    // The file's writer turn is held from the check that the file is still the one read to
    // the rename: no other rewrite, append or patch of it in this process falls between.
    std::optional<FileSession::Turn> turn;
    if (self.updating()) {
        turn = std::move(op).writer_turn();
        // The generation moves on in the same critical section as the sync: a patch that
        // comes later takes the in-memory path (and marks the file modified) instead of
        // writing into the file this rewrite is replacing.
        unwrap(sync_within(self, *turn, true));
    }
    std::vector<HduSlot> snapshot = self.snapshot_slots();
    if (snapshot.empty()) {
        raise(PyExc_ValueError, "FitsFile.flush: refusing to rewrite a file with zero HDUs");
    }
    const std::string& path = *self.source_path;
    // The new file is opened, for reading and for patching, before it replaces the old one:
    // a file that would not reopen is never renamed into place. The descriptors stay valid
    // through the rename.
    std::shared_ptr<const FitsFile> reopened;
    std::optional<FitsUpdater> updater;
    const auto reopen = [&](const std::string& written) {
        reopened = std::make_shared<const FitsFile>(
            unwrap(without_gil([&] { return FitsFile::open(written, true); })));
        if (turn) {
            updater = unwrap(without_gil([&] { return FitsUpdater::open(written, *reopened); }));
            // Once more just before the rename: another process may have replaced the file.
            unwrap(lend_updater(*turn)->check_not_replaced());
        }
    };
    const WrittenSlots wrote = write_through_temp(
        self, snapshot, path,
        {"FitsFile.flush: backing file dropped before persist", "FitsFile.flush: source HDU "},
        Durability::Synced, reopen);
    const std::shared_ptr<const FitsFile> fresh = reopened;
    const std::size_t shift = wrote.padded ? 1 : 0;
    {
        auto lock = lock_mutex(self.slot_mutex);
        for (std::size_t i = 0; i < self.slots.entries.size(); ++i) {
            if (auto* pending = std::get_if<PendingHdu>(&self.slots.entries[i])) {
                pending->index = i + shift;
            }
        }
        self.slots.source.swap(reopened);
    }
    reopened.reset();
    // Images built in memory are now in the file: a later flush rewrites only when their
    // arrays change. A compressed image copied as stored is compared with its table there.
    // Images read from a file look up -TAB tables in the file as it now stands, as pending
    // slots do.
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const auto* obj = std::get_if<nb::object>(&snapshot[i]);
        PyImageHdu* image = obj ? image_state(*obj) : nullptr;
        if (!image) continue;
        if (image->tab_file) image->tab_file = fresh;
        if (wrote.kept_compressed[i]) {
            image->compressed->file = fresh;
            image->compressed->hdu_index = i + shift;
        } else {
            mark_written(*image, fresh, i + shift, self.session);
        }
    }
    if (updater) lend_updater(*turn)->rebind(std::move(*updater));
    restore.done = true;
}

void flush_if_needed(PyFitsFile& self) {
    if (!self.updating()) return;
    self.session->data_accessed.store(false);
    if (self.session->modified.exchange(false)) return full_rewrite(self);
    // Every image whose array is in memory is compared, whenever it was handed out: an array
    // kept from before an earlier flush may have been changed since.
    std::vector<nb::object> loaded;
    for (const HduSlot& slot : self.snapshot_slots()) {
        if (const auto* obj = std::get_if<nb::object>(&slot)) loaded.push_back(*obj);
    }
    for (const nb::object& obj : loaded) {
        PyImageHdu* image = image_state(obj);
        if (image && !unchanged_for_flush(*image, *self.session)) return full_rewrite(self);
    }
    unwrap(sync_in_place(self));
}

namespace {

// ---- writeto ---------------------------------------------------------------------------------

std::optional<std::string> canonical(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

[[noreturn]] void raise_exists(const std::string& path) {
    raise(PyExc_FileExistsError, "FitsFile.writeto: " + utf8_lossy(path) +
                                     " already exists; pass overwrite=True to replace");
}

constexpr auto kPath = required<std::string>("path", to_path);
constexpr auto kOverwrite = optional<bool>("overwrite", false);
constexpr auto kWritetoSig = signature("FitsFile.writeto()", kPath, kOverwrite);
nb::object file_writeto(PyFitsFile& self, const Args& p) {
    const std::string path = p.get(kPath);
    const bool overwrite = p.get(kOverwrite);
    const std::optional<std::string> resolved = self.source_path ? canonical(path) : std::nullopt;
    if (resolved && *resolved == *self.source_path) {
        if (self.read_only) raise(PyExc_ValueError, kReadOnly);
        if (!overwrite) raise_exists(path);
        self.session->modified.store(true);
        full_rewrite(self);
        return nb::none();
    }
    if (!overwrite && path_exists(path)) raise_exists(path);
    std::vector<HduSlot> snapshot = self.snapshot_slots();
    if (snapshot.empty()) {
        raise(PyExc_ValueError, "FitsFile.writeto: refusing to write a file with zero HDUs");
    }
    // A copy to another path forces nothing to disk, like `write`.
    write_through_temp(
        self, snapshot, path,
        {"FitsFile.writeto: backing file dropped before write", "FitsFile.writeto: source HDU "},
        Durability::Unforced);
    return nb::none();
}
constexpr auto kWritetoDoc = method_doc<kWritetoSig>(
    "Write every HDU, with all in-memory edits, to `path` (onto the file itself in mode\n"
    "'update' with overwrite=True). The new file is renamed into place only when complete.");
constexpr MethodDef<PyFitsFile> kWriteto{kWritetoDoc, file_writeto};

// ---- list edits ------------------------------------------------------------------------------

// Marks the file before anything else is checked, so that a failing edit still forces the
// next rewrite and invalidates every patch binding.
void begin_edit(PyFitsFile& self) {
    if (self.read_only) raise(PyExc_ValueError, kReadOnly);
    self.session->modified.store(true);
    bump_generation(self);
}

// The object a slot stores: an HDU object itself, or a new one built from a builder. An HDU
// object that enters a file carries that file's session from then on, so that its later edits
// reach the next flush.
nb::object promote_to_hdu(PyFitsFile& self, nb::handle value) {
    nb::object out;
    if (image_state(value) != nullptr || table_info(value)) {
        out = nb::borrow(value);
    } else if (const std::optional<BuilderRef> builder = builder_of(value)) {
        OwnedHdu copy{*builder->header, Bytes(builder->data.begin(), builder->data.end())};
        switch (builder->kind) {
            case BuilderKind::Image:
                out = make_image_object(
                    PyImageHdu::from_bytes(std::move(copy.header), copy.data, false));
                break;
            case BuilderKind::BinTable:
                out = bintable_from_builder(std::move(copy));
                break;
            case BuilderKind::AsciiTable:
                out = ascii_table_from_builder(std::move(copy));
                break;
        }
    } else {
        raise(PyExc_TypeError,
              "expected an ImageHdu / BinTable / AsciiTable instance or a builder");
    }
    if (self.updating()) {
        if (PyImageHdu* image = image_state(out)) {
            image->session = self.session;
            image->header.session = self.session;
        } else {
            attach_table_session(out, self.session);
        }
    }
    return out;
}

constexpr auto kValue = required<nb::handle>("value");
constexpr auto kAppendSig = signature("FitsFile.append()", kValue);
nb::object file_append(PyFitsFile& self, const Args& p) {
    nb::handle value = p.get(kValue);
    begin_edit(self);
    nb::object obj = promote_to_hdu(self, value);
    auto lock = lock_mutex(self.slot_mutex);
    self.slots.entries.emplace_back(std::move(obj));
    return nb::none();
}
constexpr auto kAppendDoc = method_doc<kAppendSig>("Add an HDU (or a builder) at the end.");
constexpr MethodDef<PyFitsFile> kAppend{kAppendDoc, file_append};

constexpr auto kIndex = required<std::int64_t>("i");
constexpr auto kInsertSig = signature("FitsFile.insert()", kIndex, kValue);
nb::object file_insert(PyFitsFile& self, const Args& p) {
    const std::int64_t i = p.get(kIndex);
    nb::handle value = p.get(kValue);
    begin_edit(self);
    nb::object obj = promote_to_hdu(self, value);
    auto lock = lock_mutex(self.slot_mutex);
    const auto n = static_cast<std::int64_t>(self.slots.entries.size());
    const std::int64_t at = i < 0 ? std::max<std::int64_t>(i + n, 0) : std::min(i, n);
    self.slots.entries.emplace(self.slots.entries.begin() + at, std::move(obj));
    return nb::none();
}
constexpr auto kInsertDoc =
    method_doc<kInsertSig>("Insert an HDU (or a builder) before position `i`.");
constexpr MethodDef<PyFitsFile> kInsert{kInsertDoc, file_insert};

constexpr auto kAddChecksumsSig = signature("FitsFile.add_checksums()");
nb::object file_add_checksums(PyFitsFile& self, const Args&) {
    self.checksums = true;
    self.session->modified.store(true);
    return nb::none();
}
constexpr auto kAddChecksumsDoc = method_doc<kAddChecksumsSig>(
    "Stamp CHECKSUM and DATASUM into every HDU written by later flushes and writeto.");
constexpr MethodDef<PyFitsFile> kAddChecksums{kAddChecksumsDoc, file_add_checksums};

constexpr auto kItemSig = signature("FitsFile.__setitem__()", kIndex);

}  // namespace

void file_set_item(PyFitsFile& self, PyObject* key, PyObject* value) {
    PyObject* const args[] = {key};
    const Args parsed = parse_args(kItemSig, args, 1, nullptr);
    const std::int64_t i = parsed.get(kIndex);
    begin_edit(self);
    nb::object obj;
    if (value != nullptr) obj = promote_to_hdu(self, value);
    nb::object released;  // dropped after the lock
    auto lock = lock_mutex(self.slot_mutex);
    const std::optional<std::uint64_t> at = wrap_index(i, self.slots.entries.size());
    if (!at) {
        lock.unlock();
        raise(PyExc_IndexError, "HDU index " + std::to_string(i) + " out of range");
    }
    HduSlot& slot = self.slots.entries[*at];
    if (auto* held = std::get_if<nb::object>(&slot)) released = std::move(*held);
    if (value != nullptr) {
        slot = std::move(obj);
    } else {
        self.slots.entries.erase(self.slots.entries.begin() + static_cast<std::ptrdiff_t>(*at));
    }
}

void add_update_methods(nb::handle cls) {
    add_method<PyFitsFile, kWriteto>(cls);
    add_method<PyFitsFile, kAppend>(cls);
    add_method<PyFitsFile, kInsert>(cls);
    add_method<PyFitsFile, kAddChecksums>(cls);
}

}  // namespace vexlo::py
