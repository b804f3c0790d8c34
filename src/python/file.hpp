// vexlo.FitsFile and vexlo.open: an ordered list of HDU slots over one scanned file (or over
// nothing, for FitsFile()), whose Python HDU objects are built on first lookup and then kept.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "hdu/hdu.hpp"
#include "io/file.hpp"
#include "python/file_session.hpp"
#include "python/header.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// An HDU not turned into a Python object yet: its position in the scanned file.
struct PendingHdu {
    std::size_t index = 0;
};

// Pending, or the Python HDU object (ImageHdu, BinTable, AsciiTable or RandomGroups) that
// every later lookup returns. A slot never goes back to pending.
using HduSlot = std::variant<PendingHdu, nb::object>;

// What the slot mutex guards.
struct SlotState {
    std::vector<HduSlot> entries;
    std::shared_ptr<const FitsFile> source;  // absent for FitsFile() and after close()
};

// The state behind one vexlo.FitsFile.
struct PyFitsFile {
    std::optional<std::string> file_name;    // last path component, lossy UTF-8
    std::optional<std::string> source_path;  // canonical path (file-system bytes)
    // The operation lock, the dirty flags and, in mode "update", the updater.
    std::shared_ptr<FileSession> session = std::make_shared<FileSession>();
    std::mutex slot_mutex;  // a leaf lock (file_session.hpp)
    SlotState slots;
    bool read_only = false;
    bool checksums = false;
    // How many leading slots a name lookup has seen built (slots never go back to pending).
    std::atomic<std::size_t> built_prefix = 0;

    bool updating() const { return session->updating(); }
    // The session the file's HDU objects and headers share: the file's own in mode "update",
    // none otherwise.
    std::shared_ptr<FileSession> hdu_session() const { return updating() ? session : nullptr; }

    // The number of slots, read under the slot lock.
    std::size_t hdu_count();

    // The slot's object, built first when it is pending; everything runs under the slot
    // lock. IndexError "HDU index {} out of range"; ValueError when the backing file was
    // dropped; vexlo.FitsError when the HDU cannot be read; the factory's TypeError.
    nb::object materialize(std::size_t i);
    // Every slot's object in order (the lock taken once per slot).
    std::vector<nb::object> materialize_all();
    // The header object of slot i. A slot not yet built gets a header of its own read from
    // the file, so that a question about the header alone reads and decodes no data; a
    // tile-compressed image, whose header is built with the image, is built first.
    nb::object header_of(std::size_t i);
    // The header of `file[key]`: by position through header_of, by name as the lookup finds it.
    nb::object header_for(PyObject* key);
    // The stored header of slot i and its HDU's position in the file, while the slot is not
    // yet built; nothing once it is.
    std::optional<std::pair<Header, std::size_t>> pending_header(std::size_t i);
    // materialize(i) after an IndexError check of its own.
    nb::object hdu_checked(std::size_t i);
    // The first HDU whose header's EXTNAME equals `name` (and EXTVER, 1 when absent, equals
    // `ver` when given), building every HDU before it; KeyError "no HDU with EXTNAME={}{}".
    nb::object find_by_name(std::string_view name, std::optional<std::int64_t> ver);
    // The only slots, ascending, that find_by_name need build and check for `name`; none
    // when every slot must be checked in turn.
    std::optional<std::vector<std::size_t>> name_candidates(std::string_view name);
    // A copy of the slot list taken under the lock (objects shared, pending entries copied).
    std::vector<HduSlot> snapshot_slots();

    // Held by every method and protocol call on the file from start to end.
    FileSession::Operation lock_operation() { return vexlo::py::lock_operation(session.get()); }
};

// vexlo.open(path, mode, lenient) after its arguments are converted.
nb::object open_fits_file(const std::string& path, const std::string& mode, bool lenient);

// Mode "update": writes pending edits by a full rewrite when anything changed (or an image's
// cached array no longer equals the file), else forces in-place patches to disk.
void flush_if_needed(PyFitsFile& self);
// Rewrites the whole file through a temporary sibling renamed over it.
void full_rewrite(PyFitsFile& self);
// Advances the updater's generation, so that every patch binding made before is stale;
// nothing outside mode "update".
void bump_generation(PyFitsFile& self);
// Makes the in-place patches durable under the file's writer turn (their HDUs' checksum
// cards re-stamped in the file), and shows the new cards in the headers of the HDU objects
// that patched them.
Result<void> sync_in_place(PyFitsFile& self);
// Adds writeto, append, insert, add_checksums to the class, and the list-editing slots.
void add_update_methods(nb::handle cls);
// `file[i] = value` (value present) and `del file[i]`.
void file_set_item(PyFitsFile& self, PyObject* key, PyObject* value);

// The HDU object for a fully loaded HDU `index` of `file`: a lazily read ImageHdu, a
// RandomGroups, a BinTable or an AsciiTable, or a decoded tile-compressed ImageHdu. `session`
// is the file's session in mode "update" (else null). TypeError
// "HDU has XTENSION={}, which is not supported by the Python wrapper." for other extensions.
nb::object wrap_hdu(std::size_t index, Hdu&& hdu, PyHeader header, bool read_only,
                    std::shared_ptr<FileSession> session, std::shared_ptr<const FitsFile> file);

// The state of a vexlo.FitsFile object, or nullptr for any other object.
PyFitsFile* fits_file_state(nb::handle obj);

}  // namespace vexlo::py
