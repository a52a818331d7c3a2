// Column dicts <-> rows.
#include <algorithm>
#include <bit>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "columnar.hpp"
#include "py_convert.hpp"
#include "result_table.hpp"

namespace ravik {

namespace {

// Owns a Py_buffer view and releases it.
class BufferView {
public:
    BufferView() = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool acquire(PyObject* obj) {
        if (!PyObject_CheckBuffer(obj)) return false;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    const Py_buffer& get() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

enum class BufferKind { None, Signed, Unsigned, Bool, Float, Ucs4, Object };

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Recognises the element formats read directly from a one-dimensional buffer:
// native-order integers, bool, float32/float64, and fixed-width UCS-4 text
// (NumPy's unicode arrays). Anything else is read item by item.
BufferKind buffer_kind(const Py_buffer& v) {
    if (v.ndim != 1 || v.format == nullptr || v.shape == nullptr) return BufferKind::None;
    std::string_view f(v.format);
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && kLittleEndian) || (f[0] == '>' && !kLittleEndian) ||
                       (f[0] == '!' && !kLittleEndian))) {
        f.remove_prefix(1);
    }
    if (f.size() > 1 && f.back() == 'w' && f.find_first_not_of("0123456789") == f.size() - 1) return BufferKind::Ucs4;
    if (f == "w") return BufferKind::Ucs4;
    if (f.size() != 1) return BufferKind::None;
    const std::size_t size = static_cast<std::size_t>(v.itemsize);
    if (f[0] == 'O') return size == sizeof(PyObject*) ? BufferKind::Object : BufferKind::None;
    switch (f[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return (size == 1 || size == 2 || size == 4 || size == 8) ? BufferKind::Signed : BufferKind::None;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return (size == 1 || size == 2 || size == 4 || size == 8) ? BufferKind::Unsigned : BufferKind::None;
        case '?':
            return size == 1 ? BufferKind::Bool : BufferKind::None;
        case 'f':
            return size == 4 ? BufferKind::Float : BufferKind::None;
        case 'd':
            return size == 8 ? BufferKind::Float : BufferKind::None;
        default:
            return BufferKind::None;
    }
}

template <typename T>
T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether the object's buffer holds exactly what item access returns. A
// subclass may give its items another meaning (a masked array hides the
// masked values that its buffer still holds), so only these exact types
// are read through their buffers: NumPy arrays, array.array, memoryview,
// bytes and bytearray.
bool buffer_matches_items(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type || type == &PyBytes_Type || type == &PyByteArray_Type) return true;
    // Static types' tp_name carries the module; a heap type (any class
    // defined in Python) has only its bare name there, so a subclass never
    // matches. array.array is a heap type created with its dotted name.
    const std::string_view name(type->tp_name);
    if (name == "numpy.ndarray") return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
    return name == "array.array";
}

// Reads the cells of one input column, either straight from its buffer or by
// Python item access.
class ColumnReader {
public:
    explicit ColumnReader(py::handle column) : column_(py::reinterpret_borrow<py::object>(column)) {}

    Py_ssize_t length() {
        const Py_ssize_t n = PyObject_Length(column_.ptr());
        if (n < 0) throw py::error_already_set();
        if (buffer_matches_items(column_.ptr()) && buffer_.acquire(column_.ptr())) {
            kind_ = buffer_kind(buffer_.get());
            if (kind_ != BufferKind::None && buffer_.get().shape[0] != n) kind_ = BufferKind::None;
        }
        return n;
    }

    // Whether the whole column can be read in one go: values straight from
    // the buffer that neither fail nor run Python code.
    bool bulk() const noexcept {
        if (kind_ == BufferKind::Signed || kind_ == BufferKind::Bool || kind_ == BufferKind::Float) return true;
        if (kind_ != BufferKind::Unsigned) return false;
        const Py_buffer& v = buffer_.get();
        const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
        for (Py_ssize_t i = 0; i < v.shape[0]; ++i) {
            if (unsigned_at(static_cast<const char*>(v.buf) + i * stride, v.itemsize) >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return false;  // such an item goes through Python
            }
        }
        return true;
    }

    void fill(ColumnBuilder& out, Py_ssize_t n) const {
        const Py_buffer& v = buffer_.get();
        const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
        const char* base = static_cast<const char*>(v.buf);
        // Contiguous 64-bit values are copied as they are (aligned, as
        // NumPy allocates them; an unaligned buffer takes the loop below).
        if (stride == 8 && v.itemsize == 8 && reinterpret_cast<std::uintptr_t>(base) % 8 == 0) {
            if (kind_ == BufferKind::Signed) {
                out.append_ints(reinterpret_cast<const std::int64_t*>(base), static_cast<std::size_t>(n));
                return;
            }
            if (kind_ == BufferKind::Float) {
                out.append_floats(reinterpret_cast<const double*>(base), static_cast<std::size_t>(n));
                return;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char* p = base + i * stride;
            switch (kind_) {
                case BufferKind::Signed: out.append_int(signed_at(p, v.itemsize)); break;
                case BufferKind::Unsigned: out.append_int(static_cast<std::int64_t>(unsigned_at(p, v.itemsize))); break;
                case BufferKind::Bool: out.append_bool(*p != 0); break;
                default: out.append_float(v.itemsize == 4 ? static_cast<double>(load<float>(p)) : load<double>(p)); break;
            }
        }
    }

    // Appends item i. Exact str items (of lists, tuples and object arrays)
    // go to the column's text dictionary; exact ints and floats directly.
    void append_item(ColumnBuilder& out, Py_ssize_t i) {
        PyObject* item = nullptr;
        if (kind_ == BufferKind::Object) {
            const Py_buffer& v = buffer_.get();
            const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
            item = load<PyObject*>(static_cast<const char*>(v.buf) + i * stride);
        } else if (kind_ == BufferKind::None && PyList_CheckExact(column_.ptr()) && i < PyList_GET_SIZE(column_.ptr())) {
            item = PyList_GET_ITEM(column_.ptr(), i);
        } else if (kind_ == BufferKind::None && PyTuple_CheckExact(column_.ptr()) &&
                   i < PyTuple_GET_SIZE(column_.ptr())) {
            item = PyTuple_GET_ITEM(column_.ptr(), i);
        }
        if (item == nullptr) {
            out.append(get(i));
            return;
        }
        if (PyUnicode_CheckExact(item) && (out.is_text() || out.size() == 0)) {
            // A run of one str object converts once: the last object is held
            // (so its address cannot be reused) with its code.
            if (item == last_item_.ptr() && out.is_text()) {
                out.append_text_code(last_code_);
                return;
            }
            const std::string_view text = utf8_of(item);
            const std::uint32_t code = out.append_text(text);
            if (out.is_text()) {
                last_item_ = py::reinterpret_borrow<py::object>(item);
                last_code_ = code;
            }
            return;
        }
        // Exact ints and floats directly (what cell_from_py makes of them);
        // an int beyond int64 takes the general path and its error.
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
                out.append_int(static_cast<std::int64_t>(v));
                return;
            }
            PyErr_Clear();
        } else if (PyFloat_CheckExact(item)) {
            out.append_float(PyFloat_AS_DOUBLE(item));
            return;
        }
        // Owned for the conversion: str() of an item may run code that
        // removes it from its container, which may hold its only reference.
        py::object owned = py::reinterpret_borrow<py::object>(item);
        out.append(cell_from_py(owned));
    }

    Cell get(Py_ssize_t i) {
        if (kind_ == BufferKind::Object) {
            const Py_buffer& v = buffer_.get();
            const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
            py::object owned =
                py::reinterpret_borrow<py::object>(load<PyObject*>(static_cast<const char*>(v.buf) + i * stride));
            return cell_from_py(owned);
        }
        if (kind_ != BufferKind::None) {
            const Py_buffer& v = buffer_.get();
            const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
            const char* p = static_cast<const char*>(v.buf) + i * stride;
            switch (kind_) {
                case BufferKind::Signed: return Cell{signed_at(p, v.itemsize)};
                case BufferKind::Unsigned: {
                    const std::uint64_t u = unsigned_at(p, v.itemsize);
                    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return by_item(i);
                    return Cell{static_cast<std::int64_t>(u)};
                }
                case BufferKind::Bool: return Cell{*p != 0};
                case BufferKind::Float:
                    return Cell{v.itemsize == 4 ? static_cast<double>(load<float>(p)) : load<double>(p)};
                case BufferKind::Ucs4: {
                    if (auto text = ucs4_at(p, v.itemsize / 4)) return Cell{std::move(*text)};
                    return by_item(i);
                }
                default: break;
            }
        }
        if (PyList_CheckExact(column_.ptr())) {
            if (i < PyList_GET_SIZE(column_.ptr())) {
                // Owned for the conversion: str() of an item may run code that
                // removes it from the list, which may hold its only reference.
                py::object value = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(column_.ptr(), i));
                return cell_from_py(value);
            }
        } else if (PyTuple_CheckExact(column_.ptr())) {
            if (i < PyTuple_GET_SIZE(column_.ptr())) return cell_from_py(PyTuple_GET_ITEM(column_.ptr(), i));
        }
        return by_item(i);
    }

private:
    static std::int64_t signed_at(const char* p, Py_ssize_t size) noexcept {
        switch (size) {
            case 1: return load<std::int8_t>(p);
            case 2: return load<std::int16_t>(p);
            case 4: return load<std::int32_t>(p);
            default: return load<std::int64_t>(p);
        }
    }
    static std::uint64_t unsigned_at(const char* p, Py_ssize_t size) noexcept {
        switch (size) {
            case 1: return load<std::uint8_t>(p);
            case 2: return load<std::uint16_t>(p);
            case 4: return load<std::uint32_t>(p);
            default: return load<std::uint64_t>(p);
        }
    }
    // NumPy drops trailing NUL code points when it hands out an element.
    static std::optional<std::string> ucs4_at(const char* p, Py_ssize_t chars) {
        Py_ssize_t len = chars;
        while (len > 0 && load<std::uint32_t>(p + (len - 1) * 4) == 0) --len;
        std::string out;
        out.reserve(static_cast<std::size_t>(len));
        for (Py_ssize_t k = 0; k < len; ++k) {
            if (!append_utf8(out, load<std::uint32_t>(p + k * 4))) return std::nullopt;
        }
        return out;
    }
    Cell by_item(Py_ssize_t i) {
        PyObject* index = PyLong_FromSsize_t(i);
        if (index == nullptr) {
            if (!PyErr_Occurred()) throw std::runtime_error("Could not allocate int object!");
            throw py::error_already_set();
        }
        py::object index_obj = py::reinterpret_steal<py::object>(index);
        PyObject* value = PyObject_GetItem(column_.ptr(), index);
        if (value == nullptr) throw py::error_already_set();
        py::object owned = py::reinterpret_steal<py::object>(value);
        return cell_from_py(owned);
    }

    static std::string_view utf8_of(PyObject* text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) {
            PyErr_Clear();
            // A lone surrogate: the conversion's own cast error.
            (void)cell_from_py(text);
        }
        return {data, static_cast<std::size_t>(size)};
    }

    py::object column_;
    BufferView buffer_;
    BufferKind kind_ = BufferKind::None;
    py::object last_item_;  // the last str item appended as text, and its code
    std::uint32_t last_code_ = 0;
};

using ColumnType = ValueType;
constexpr auto cell_type = value_type;
constexpr auto merge_type = merge_value_type;

PyObject* decode_text(std::string_view s) {
    // Bytes that are not valid UTF-8 (possible for text from datagrams) become
    // U+FFFD rather than failing the whole batch.
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (o == nullptr) throw py::error_already_set();
    return o;
}

// Field names that are not UTF-8 are decoded with the surrogateescape handler
// (as Python decodes file names): each undecodable byte becomes its own lone
// surrogate, so distinct names stay distinct columns and encode back to their
// bytes with the same handler.
PyObject* decode_name(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
    if (o == nullptr) throw py::error_already_set();
    return o;
}

PyObject* to_python(const Cell& c, ColumnType type) {
    switch (c.index()) {
        case kNull: return Py_NewRef(Py_None);
        default: break;
    }
    PyObject* o = nullptr;
    switch (type) {
        case ColumnType::Bool: o = PyBool_FromLong(std::get<bool>(c) ? 1 : 0); break;
        case ColumnType::Int: o = PyLong_FromLongLong(std::get<std::int64_t>(c)); break;
        case ColumnType::Float: o = PyFloat_FromDouble(*to_f64(c)); break;
        default: {
            if (const auto* s = std::get_if<std::string>(&c)) return decode_text(*s);
            return decode_text(display(c));
        }
    }
    if (o == nullptr) throw py::error_already_set();
    return o;
}

}  // namespace

std::shared_ptr<ColumnBatch> batch_from_columns(const py::dict& columns) {
    const std::size_t ncols = static_cast<std::size_t>(PyDict_GET_SIZE(columns.ptr()));
    std::vector<std::string> names;
    std::deque<ColumnReader> readers;  // readers own buffer views: never moved
    names.reserve(ncols);
    Py_ssize_t n = 0;
    {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(columns.ptr(), &pos, &key, &value)) {
            py::object k = py::reinterpret_borrow<py::object>(key);
            py::object v = py::reinterpret_borrow<py::object>(value);
            names.push_back(field_name(k));
            readers.emplace_back(v);
            const Py_ssize_t len = readers.back().length();
            if (readers.size() > 1 && len != n) throw py::value_error("all columns must have the same length");
            n = len;
        }
    }
    if (names.empty() || n == 0) return nullptr;

    // len() may claim more items than a column holds; its item access then
    // raises, and that is the error to report. A claimed size too large to
    // reserve is therefore no error of its own: the columns then grow as read.
    const auto length = static_cast<std::size_t>(n);
    const std::size_t room = std::min<std::size_t>(length, std::size_t{1} << 24);
    std::vector<ColumnBuilder> builders;
    builders.reserve(names.size());
    for (std::size_t c = 0; c < names.size(); ++c) {
        builders.emplace_back(names[c]);
        builders.back().reserve(room);
    }
    // Columns read straight from their buffers first: they can neither fail
    // nor run Python code. The others then go row by row in dict order, so
    // that errors and Python side effects come in the order of a row-wise
    // reading.
    std::vector<std::size_t> itemwise;
    for (std::size_t c = 0; c < readers.size(); ++c) {
        if (readers[c].bulk()) {
            readers[c].fill(builders[c], n);
        } else {
            itemwise.push_back(c);
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (const std::size_t c : itemwise) readers[c].append_item(builders[c], i);
    }

    std::vector<Column> built;
    built.reserve(builders.size());
    for (ColumnBuilder& b : builders) built.push_back(b.finish());
    return batch_of_columns(std::move(names), std::move(built), length);
}

py::dict selections_to_columns(const std::vector<Selection>& parts,
                               const std::optional<std::vector<std::string>>& select) {
    py::dict result;
    std::size_t total = 0;
    for (const auto& part : parts) total += part.rows.size();
    if (total == 0) return result;

    const std::vector<std::string_view> names = selection_names(parts, select);

    const auto n = static_cast<Py_ssize_t>(total);
    std::vector<const Column*> cols(parts.size());
    std::vector<PyObject*> texts;  // one str per dictionary value of a column, made when first needed
    for (const std::string_view name : names) {
        // The column's type, from the values it returns (nulls never decide it).
        const ColumnType type = selection_value_type(parts, name, cols);

        PyObject* list_ptr = PyList_New(n);  // items start as NULL, which list_dealloc tolerates
        if (list_ptr == nullptr) throw py::error_already_set();
        py::object list = py::reinterpret_steal<py::object>(list_ptr);
        Py_ssize_t at = 0;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const Column* col = cols[p];
            const std::vector<std::uint32_t>& rows = parts[p].rows;
            if (col == nullptr) {
                for (std::size_t k = 0; k < rows.size(); ++k) PyList_SET_ITEM(list_ptr, at++, Py_NewRef(Py_None));
                continue;
            }
            if (col->kind == ColumnKind::Int && type == ColumnType::Int) {
                for (const std::uint32_t i : rows) {
                    PyObject* o = PyLong_FromLongLong(col->ints[i]);
                    if (o == nullptr) throw py::error_already_set();
                    PyList_SET_ITEM(list_ptr, at++, o);
                }
            } else if (col->kind == ColumnKind::Float && type == ColumnType::Float) {
                for (const std::uint32_t i : rows) {
                    PyObject* o = PyFloat_FromDouble(col->floats[i]);
                    if (o == nullptr) throw py::error_already_set();
                    PyList_SET_ITEM(list_ptr, at++, o);
                }
            } else if (col->kind == ColumnKind::Text && type == ColumnType::Text &&
                       !per_code_tables_pay(col->dict.size(), rows.size())) {
                for (const std::uint32_t i : rows) PyList_SET_ITEM(list_ptr, at++, decode_text(col->dict[col->codes[i]]));
            } else if (col->kind == ColumnKind::Text && type == ColumnType::Text) {
                texts.assign(col->dict.size(), nullptr);
                struct Release {
                    std::vector<PyObject*>& objects;
                    ~Release() {
                        for (PyObject* o : objects) Py_XDECREF(o);
                    }
                } release{texts};
                for (const std::uint32_t i : rows) {
                    PyObject*& o = texts[col->codes[i]];
                    if (o == nullptr) o = decode_text(col->dict[col->codes[i]]);
                    PyList_SET_ITEM(list_ptr, at++, Py_NewRef(o));
                }
            } else {
                for (const std::uint32_t i : rows) PyList_SET_ITEM(list_ptr, at++, to_python(col->cell_at(i), type));
            }
        }
        py::object key = py::reinterpret_steal<py::object>(decode_name(name));
        if (PyDict_SetItem(result.ptr(), key.ptr(), list.ptr()) != 0) throw py::error_already_set();
    }
    return result;
}

py::dict windows_to_columns(const WindowRows& rows, const PlanSpec& plan) {
    py::dict result;
    if (rows.empty()) return result;
    const auto n = static_cast<Py_ssize_t>(rows.size());
    auto new_list = [n] {
        PyObject* list = PyList_New(n);  // items start as NULL, which list_dealloc tolerates
        if (list == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(list);
    };
    auto int_list = [&](const std::vector<std::int64_t>& values) {
        py::object list = new_list();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* o = PyLong_FromLongLong(values[static_cast<std::size_t>(i)]);
            if (o == nullptr) throw py::error_already_set();
            PyList_SET_ITEM(list.ptr(), i, o);
        }
        return list;
    };
    std::vector<py::object> texts;  // each distinct group text decoded once
    for (const auto& [name, field] : window_fields(plan)) {
        py::object list;
        switch (field) {
            case WindowField::Start: list = int_list(rows.starts); break;
            case WindowField::End: list = int_list(rows.ends); break;
            case WindowField::Count: list = int_list(rows.counts); break;
            case WindowField::Mean:
                list = new_list();
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject* o = PyFloat_FromDouble(rows.means[static_cast<std::size_t>(i)]);
                    if (o == nullptr) throw py::error_already_set();
                    PyList_SET_ITEM(list.ptr(), i, o);
                }
                break;
            case WindowField::Group:
                if (texts.empty()) {
                    texts.reserve(rows.texts.size());
                    for (const std::string& t : rows.texts) texts.push_back(py::reinterpret_steal<py::object>(decode_text(t)));
                }
                list = new_list();
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyList_SET_ITEM(list.ptr(), i, Py_NewRef(texts[rows.groups[static_cast<std::size_t>(i)]].ptr()));
                }
                break;
            case WindowField::Missing:
                list = new_list();
                for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.ptr(), i, Py_NewRef(Py_None));
                break;
            default: {
                const AggColumn& a = rows.aggs[agg_index(field)];
                list = new_list();
                for (Py_ssize_t i = 0; i < n; ++i) {
                    const auto k = static_cast<std::size_t>(i);
                    PyObject* o = !a.valid[k]   ? Py_NewRef(Py_None)
                                  : a.integer ? PyLong_FromLongLong(a.ints[k])
                                              : PyFloat_FromDouble(a.floats[k]);
                    if (o == nullptr) throw py::error_already_set();
                    PyList_SET_ITEM(list.ptr(), i, o);
                }
                break;
            }
        }
        py::object key = py::reinterpret_steal<py::object>(decode_name(name));
        if (PyDict_SetItem(result.ptr(), key.ptr(), list.ptr()) != 0) throw py::error_already_set();
    }
    return result;
}

py::dict result_columns(const ProcessOutput& out, const PlanSpec& plan) {
    if (!out.passed.empty()) return selections_to_columns(out.passed, plan.select);
    return windows_to_columns(out.windows, plan);
}

}  // namespace ravik
