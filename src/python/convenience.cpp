// The path-level functions: getdata, getheader, getval, setval, delval and info open the
// file with vexlo.open (strict parsing) and use the HDU's and header's own members; append
// adds one image HDU behind the last HDU of a file through the appender.
#include <string>
#include <utility>

#include "hdu/load.hpp"
#include "hdu/writer.hpp"
#include "io/appender.hpp"
#include "io/writer_turn.hpp"
#include "python/args.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/file.hpp"
#include "python/file_session.hpp"
#include "python/header.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/debug.hpp"
#include "util/try.hpp"

namespace vexlo::py {

namespace {

nb::object get_item(nb::handle obj, nb::handle key) {
    nb::object out = nb::steal(PyObject_GetItem(obj.ptr(), key.ptr()));
    if (!out.is_valid()) throw nb::python_error();
    return out;
}

// `file[ext]`, HDU 0 when `ext` is absent (its handle reads None as absent).
nb::object select_hdu(nb::handle file, nb::handle ext) {
    if (!ext.is_valid()) return get_item(file, nb::int_(0));
    return get_item(file, ext);
}

// The HDU's `data`; when reading it fails, its `to_dict()` (tables), and when it has none
// the original failure, which is the one that says what went wrong.
nb::object data_or_to_dict(nb::handle hdu) {
    nb::object data = nb::steal(PyObject_GetAttrString(hdu.ptr(), "data"));
    if (data.is_valid()) return data;
    nb::python_error original;
    nb::object to_dict = nb::steal(PyObject_GetAttrString(hdu.ptr(), "to_dict"));
    if (!to_dict.is_valid()) {
        PyErr_Clear();
        throw original;
    }
    return to_dict();
}

// The header of `file[ext]` (HDU 0 when `ext` is absent). An HDU chosen by position is not
// built for it: its data is neither read nor checked. One chosen by name is built as the
// lookup builds it.
nb::object header_of(nb::handle file, nb::handle ext) {
    PyFitsFile* state = fits_file_state(file);
    if (state == nullptr) return select_hdu(file, ext).attr("header");
    nb::object key = ext.is_valid() ? nb::borrow(ext) : nb::int_(0);
    return state->header_for(key.ptr());
}

nb::object with_header(nb::object data, nb::handle hdu, bool header) {
    if (!header) return data;
    return nb::make_tuple(data, hdu.attr("header"));
}

// The handles of the functions' tables; `path`, `key` and `ext` mean the same in each.
constexpr auto kPath = required<std::string>("path", to_path);
constexpr auto kKey = required<std::string>("key");
constexpr auto kExt = or_none<nb::handle>("ext");
constexpr auto kExtKeyword = keyword_only(kExt);

constexpr auto kWithHeader = keyword_only(optional<bool>("header", false));
constexpr auto kGetdataSig = signature("getdata()", kPath, kExt, kWithHeader);
nb::object getdata(const Args& p) {
    const std::string path = p.get(kPath);
    const nb::handle ext = p.get(kExt);
    const bool header = p.get(kWithHeader);
    const bool given = ext.is_valid();
    const std::string ext_text = given ? nb::str(ext).c_str() : std::string();
    nb::object file = open_fits_file(path, "readonly", false);
    nb::object hdu = select_hdu(file, ext);
    nb::object data = data_or_to_dict(hdu);
    if (!data.is_none()) return with_header(std::move(data), hdu, header);
    if (given) raise(PyExc_IndexError, "No data in HDU #" + ext_text + ".");
    if (PyObject_Length(file.ptr()) == 1) {
        raise(PyExc_IndexError, "No data in Primary HDU and no extension HDU found.");
    }
    hdu = get_item(file, nb::int_(1));
    data = data_or_to_dict(hdu);
    if (!data.is_none()) return with_header(std::move(data), hdu, header);
    raise(PyExc_IndexError, "No data in either Primary or first extension HDUs.");
}
constexpr auto kGetdataDoc =
    function_doc<kGetdataSig>("Read one HDU's data, and optionally its header, from `path`.");
constexpr FunctionDef kGetdata{kGetdataDoc, getdata};

constexpr auto kGetheaderSig = signature("getheader()", kPath, kExt);
nb::object getheader(const Args& p) {
    const std::string path = p.get(kPath);
    nb::object file = open_fits_file(path, "readonly", false);
    return header_of(file, p.get(kExt));
}
constexpr auto kGetheaderDoc = function_doc<kGetheaderSig>("Read one HDU's header from `path`.");
constexpr FunctionDef kGetheader{kGetheaderDoc, getheader};

constexpr auto kGetvalSig = signature("getval()", kPath, kKey, kExt);
nb::object getval(const Args& p) {
    const std::string path = p.get(kPath);
    const std::string key = p.get(kKey);
    nb::object file = open_fits_file(path, "readonly", false);
    nb::object header = header_of(file, p.get(kExt));
    nb::str key_obj(key.data(), key.size());
    const int present = PySequence_Contains(header.ptr(), key_obj.ptr());
    if (present < 0) throw nb::python_error();
    if (present == 0) raise(PyExc_KeyError, "no header card " + debug_str(key));
    return get_item(header, key_obj);
}
constexpr auto kGetvalDoc = function_doc<kGetvalSig>("Read one header keyword from `path`.");
constexpr FunctionDef kGetval{kGetvalDoc, getval};

constexpr auto kValue = or_none<nb::handle>("value");
constexpr auto kComment = keyword_only(or_none<std::string>("comment"));
constexpr auto kSetvalSig = signature("setval()", kPath, kKey, kValue, kExtKeyword, kComment);
nb::object setval(const Args& p) {
    const std::string path = p.get(kPath);
    const std::string key = p.get(kKey);
    nb::handle value = p.get(kValue);
    const bool has_value = value.is_valid();
    const std::optional<std::string> comment = p.get(kComment);
    // The file is read, changed and written under its writer turn, so that edits of one path
    // from several threads of this process all stick.
    const WriterTurn turn = writer_turn_at(path);
    nb::object file = open_fits_file(path, "update", false);
    nb::object header = select_hdu(file, p.get(kExtKeyword)).attr("header");
    nb::str key_obj(key.data(), key.size());
    if (has_value) {
        nb::object item = nb::borrow(value);
        if (comment) item = nb::make_tuple(item, nb::str(comment->data(), comment->size()));
        if (PyObject_SetItem(header.ptr(), key_obj.ptr(), item.ptr()) != 0) {
            throw nb::python_error();
        }
    } else {
        set_item_keeping_value(header, key_obj, comment);
    }
    file.attr("flush")();
    return nb::none();
}
constexpr auto kSetvalDoc = function_doc<kSetvalSig>(
    "Set one header keyword in `path`. Rewrites the file.\n\n"
    "Without a value an existing card keeps its value and only its\n"
    "comment changes.");
constexpr FunctionDef kSetval{kSetvalDoc, setval};

constexpr auto kDelvalSig = signature("delval()", kPath, kKey, kExtKeyword);
nb::object delval(const Args& p) {
    const std::string path = p.get(kPath);
    const std::string key = p.get(kKey);
    const WriterTurn turn = writer_turn_at(path);
    nb::object file = open_fits_file(path, "update", false);
    nb::object header = select_hdu(file, p.get(kExtKeyword)).attr("header");
    nb::str key_obj(key.data(), key.size());
    if (PyObject_DelItem(header.ptr(), key_obj.ptr()) != 0) throw nb::python_error();
    file.attr("flush")();
    return nb::none();
}
constexpr auto kDelvalDoc =
    function_doc<kDelvalSig>("Remove one header keyword from `path`. Rewrites the file.");
constexpr FunctionDef kDelval{kDelvalDoc, delval};

// An attribute, or nothing when reading it fails.
nb::object attr_or_none(nb::handle obj, const char* name) {
    nb::object out = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!out.is_valid()) PyErr_Clear();
    return out;
}

// A table not yet built is summarised from its header: its rows are neither read nor
// checked. The kind names are those of the table classes.
bool table_from_header(nb::handle file, std::size_t i, nb::object& kind, nb::object& header,
                       nb::object& dims) {
    PyFitsFile* state = fits_file_state(file);
    if (state == nullptr) return false;
    std::optional<std::pair<Header, std::size_t>> pending = state->pending_header(i);
    if (!pending) return false;
    const TableKind table = table_kind(pending->first, pending->second);
    if (table == TableKind::None) return false;
    const Result<std::uint64_t> rows = pending->first.naxisn(2);
    if (!rows) return false;
    kind = nb::str(table == TableKind::Binary ? "BinTable" : "AsciiTable");
    dims = nb::int_(*rows);
    header = make_header_object(PyHeader::from_header(std::move(pending->first), true, nullptr));
    return true;
}

constexpr auto kInfoSig = signature("info()", kPath);
nb::object info(const Args& p) {
    const std::string path = p.get(kPath);
    nb::object file = open_fits_file(path, "readonly", false);
    const Py_ssize_t n = PyObject_Length(file.ptr());
    if (n < 0) throw nb::python_error();
    nb::list out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object kind;
        nb::object header;
        nb::object dims;
        if (!table_from_header(file, static_cast<std::size_t>(i), kind, header, dims)) {
            nb::object hdu = get_item(file, nb::int_(i));
            kind = attr_or_none(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(hdu.ptr()))),
                                "__name__");
            if (!kind.is_valid() || !PyUnicode_Check(kind.ptr())) kind = nb::str("Unknown");
            header = hdu.attr("header");
            dims = attr_or_none(hdu, "axes");
            if (!dims.is_valid()) dims = attr_or_none(hdu, "n_rows");
            if (!dims.is_valid()) dims = nb::none();
        }
        const Header named = PyHeader::share(header).snapshot();
        const std::string name = lookup_extname(named).value_or("");
        out.append(nb::make_tuple(nb::int_(i), nb::str(name.data(), name.size()),
                                  nb::int_(lookup_extver(named)), kind, dims));
    }
    return out;
}
constexpr auto kInfoDoc = function_doc<kInfoSig>("Return a brief HDU summary table for `path`.");
constexpr FunctionDef kInfo{kInfoDoc, info};

// The builder's failure, whatever its type, as the one TypeError append raises.
[[noreturn]] void raise_bad_append_data(nb::python_error& e) {
    nb::handle type = e.type();
    std::string qualname = "<unknown>";
    if (nb::object q = attr_or_none(type, "__qualname__"); q.is_valid()) {
        qualname = nb::str(q).c_str();
    }
    std::string message = "<exception str() failed>";
    nb::object text = nb::steal(PyObject_Str(e.value().ptr()));
    if (text.is_valid()) {
        message = nb::str(text).c_str();
    } else {
        PyErr_Clear();
    }
    raise(PyExc_TypeError, "vexlo.append: data must be an image array or array-like (" + qualname +
                               ": " + message + ")");
}

// Runs one step of building the appended HDU; any failure of it, whatever its type, is raised
// as the one TypeError append raises.
template <class Step>
void as_append_failure(Step&& step) {
    try {
        step();
    } catch (nb::python_error& e) {
        raise_bad_append_data(e);
    } catch (const BuiltinError& e) {
        raise(PyExc_TypeError,
              "vexlo.append: data must be an image array or array-like (" +
                  std::string(nb::str(nb::handle(e.type).attr("__qualname__")).c_str()) + ": " +
                  e.message + ")");
    }
}

constexpr auto kData = required<nb::handle>("data");
constexpr auto kHeader = or_none<nb::handle>("header");
constexpr auto kAppendSig = signature("append()", kPath, kData, kHeader);
nb::object append(const Args& p) {
    const std::string path = p.get(kPath);
    nb::handle data = p.get(kData);
    nb::handle header = p.get(kHeader);
    Header user;
    as_append_failure([&] { user = image_user_header(header); });
    // Cards of another kind of HDU are refused as such, not as a failure to build the image.
    refuse_other_kind_cards(user);
    OwnedHdu hdu;
    as_append_failure([&] { hdu = encode_image_array(data, false, std::move(user)); });
    unwrap(without_gil([&]() -> Result<void> {
        VEXLO_ASSIGN_OR_RETURN(const WriterTurn turn, wait_for_turn_at(path));
        VEXLO_ASSIGN_OR_RETURN(FitsAppender appender, FitsAppender::open(path));
        Result<void> done = [&]() -> Result<void> {
            VEXLO_ASSIGN_OR_RETURN(BufWriter out,
                                   appender.start(written_len(hdu.header, hdu.data.size())));
            FitsWriter writer = FitsWriter::borrowing(out, appender.hdus_before, false);
            VEXLO_TRY(writer.write_hdu(hdu.header, hdu.data));
            const std::uint64_t written = writer.hdus_written;
            VEXLO_TRY(std::move(writer).finish());
            VEXLO_TRY(out.flush());
            VEXLO_ASSIGN_OR_RETURN(const std::uint64_t total, appender.finish(written, out.held()));
            (void)total;
            return {};
        }();
        // The write's own error is the one to report; the file goes back as it was first.
        if (!done && appender.file.valid()) (void)appender.restore();
        return done;
    }));
    return nb::none();
}
constexpr auto kAppendDoc =
    function_doc<kAppendSig>("Append one image HDU to an existing FITS file.");
constexpr FunctionDef kAppend{kAppendDoc, append};

const Registration kGetdataRegistration{"getdata",
                                        [](nb::module_& m) { return make_function<kGetdata>(m); }};
const Registration kGetheaderRegistration{
    "getheader", [](nb::module_& m) { return make_function<kGetheader>(m); }};
const Registration kGetvalRegistration{"getval",
                                       [](nb::module_& m) { return make_function<kGetval>(m); }};
const Registration kSetvalRegistration{"setval",
                                       [](nb::module_& m) { return make_function<kSetval>(m); }};
const Registration kDelvalRegistration{"delval",
                                       [](nb::module_& m) { return make_function<kDelval>(m); }};
const Registration kInfoRegistration{"info",
                                     [](nb::module_& m) { return make_function<kInfo>(m); }};
const Registration kAppendRegistration{"append",
                                       [](nb::module_& m) { return make_function<kAppend>(m); }};

}  // namespace

}  // namespace vexlo::py
