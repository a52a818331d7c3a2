#include "py_convert.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ravik {

namespace {

// The binding layer's cast error for a value that cannot become the C++ type,
// with the message it gives in release builds.
[[noreturn]] void throw_cast_error(py::handle obj) {
    throw py::cast_error("Unable to cast Python instance of type " +
                         py::str(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).cast<std::string>() +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for "
                         "details)");
}

// UTF-8 bytes of a str object; a text that cannot be encoded (a lone
// surrogate) is the cast error of `culprit`.
std::string_view utf8_view(PyObject* text, py::handle culprit) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        throw_cast_error(culprit);
    }
    return {data, static_cast<std::size_t>(size)};
}

Cell text_cell_of_str(py::handle obj) { return Cell{std::string(utf8_view(obj.ptr(), obj))}; }

Cell int_cell(py::handle obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (overflow != 0) throw_cast_error(obj);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return Cell{static_cast<std::int64_t>(v)};
}

// NumPy scalars that are not subclasses of int, bool or float. NumPy is
// consulted only for types that come from it, so this module never imports
// NumPy itself.
enum class NumpyKind { None, Integer, Bool, Floating };

NumpyKind numpy_kind(PyTypeObject* type) {
    // Static types only (NumPy's scalar types are static): they live as long
    // as the process, so their addresses are never reused. A heap type (a
    // class) can be freed and another allocated at its address, and caching
    // every class would grow without bound; those are decided on each call.
    static std::unordered_map<PyTypeObject*, NumpyKind> cache;  // guarded by the interpreter lock
    const bool cacheable = !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
    if (cacheable) {
        auto it = cache.find(type);
        if (it != cache.end()) return it->second;
    }
    NumpyKind kind = NumpyKind::None;
    py::handle type_obj(reinterpret_cast<PyObject*>(type));
    py::object module = py::getattr(type_obj, "__module__", py::none());
    if (PyUnicode_Check(module.ptr()) && module.cast<std::string>() == "numpy") {
        py::object numpy = py::module_::import("numpy");
        auto is_sub = [&](const char* base) {
            py::object b = numpy.attr(base);
            const int r = PyObject_IsSubclass(type_obj.ptr(), b.ptr());
            if (r < 0) throw py::error_already_set();
            return r == 1;
        };
        // timedelta64 derives from numpy.integer but has no __index__: its
        // text form it is, like datetime64's ("5 milliseconds").
        if (is_sub("timedelta64")) kind = NumpyKind::None;
        else if (is_sub("integer")) kind = NumpyKind::Integer;
        else if (is_sub("bool_")) kind = NumpyKind::Bool;
        else if (is_sub("floating")) kind = NumpyKind::Floating;
    }
    if (cacheable) cache.emplace(type, kind);
    return kind;
}

Cell numpy_scalar_cell(py::handle obj, NumpyKind kind) {
    switch (kind) {
        case NumpyKind::Integer: {
            PyObject* as_int = PyNumber_Index(obj.ptr());
            if (as_int == nullptr) throw py::error_already_set();
            py::object owned = py::reinterpret_steal<py::object>(as_int);
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(as_int, &overflow);
            if (overflow != 0) throw_cast_error(obj);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            return Cell{static_cast<std::int64_t>(v)};
        }
        case NumpyKind::Bool: {
            const int truth = PyObject_IsTrue(obj.ptr());
            if (truth < 0) throw py::error_already_set();
            return Cell{truth == 1};
        }
        default: {
            const double v = PyFloat_AsDouble(obj.ptr());
            if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            return Cell{v};
        }
    }
}

std::string text_arg(py::handle obj) {
    if (PyUnicode_Check(obj.ptr())) return std::string(utf8_view(obj.ptr(), obj));
    if (PyBytes_Check(obj.ptr())) {
        return std::string(PyBytes_AS_STRING(obj.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(obj.ptr())));
    }
    if (PyByteArray_Check(obj.ptr())) {
        return std::string(PyByteArray_AS_STRING(obj.ptr()),
                           static_cast<std::size_t>(PyByteArray_GET_SIZE(obj.ptr())));
    }
    throw_cast_error(obj);
}

// The binding layer's integer conversion, with the release-build cast error
// whatever the build type (debug builds word it in more detail).
std::int64_t int_arg(py::handle obj) {
    try {
        return py::cast<std::int64_t>(obj);
    } catch (const py::cast_error&) {
        throw_cast_error(obj);
    }
}

bool truth_arg(py::handle obj) {
    if (obj.ptr() == Py_True) return true;
    if (obj.ptr() == Py_False) return false;
    PyNumberMethods* num = Py_TYPE(obj.ptr())->tp_as_number;
    if (num == nullptr || num->nb_bool == nullptr) throw_cast_error(obj);
    const int r = num->nb_bool(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::list as_list(py::handle obj) {
    if (PyList_Check(obj.ptr())) return py::reinterpret_borrow<py::list>(obj);
    PyObject* l = PySequence_List(obj.ptr());
    if (l == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(l);
}

py::dict as_dict(py::handle obj) {
    if (PyDict_Check(obj.ptr())) return py::reinterpret_borrow<py::dict>(obj);
    PyObject* d = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), obj.ptr());
    if (d == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(d);
}

// d[key] by subscription, so a missing key raises the KeyError of Python.
py::object item(const py::dict& d, const char* key) {
    PyObject* k = PyUnicode_FromString(key);
    if (k == nullptr) throw py::error_already_set();
    py::object key_obj = py::reinterpret_steal<py::object>(k);
    PyObject* v = PyObject_GetItem(d.ptr(), k);
    if (v == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

}  // namespace

bool is_none(py::handle h) noexcept { return h.ptr() == Py_None; }

std::string field_name(py::handle key) {
    if (PyUnicode_CheckExact(key.ptr())) return std::string(utf8_view(key.ptr(), key));
    PyObject* s = PyObject_Str(key.ptr());
    if (s == nullptr) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(s);
    return std::string(utf8_view(s, owned));
}


Cell cell_from_py(py::handle obj) {
    PyObject* p = obj.ptr();
    if (p == Py_None) return Cell{};
    if (PyBool_Check(p)) return Cell{p == Py_True};
    if (PyLong_Check(p)) return int_cell(obj);
    if (PyFloat_Check(p)) return Cell{PyFloat_AS_DOUBLE(p)};
    if (PyUnicode_Check(p)) return text_cell_of_str(obj);
    const NumpyKind kind = numpy_kind(Py_TYPE(p));
    if (kind != NumpyKind::None) return numpy_scalar_cell(obj, kind);
    PyObject* s = PyObject_Str(p);
    if (s == nullptr) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(s);
    return Cell{std::string(utf8_view(s, owned))};
}

Row dict_to_row(const py::dict& d) {
    // Fields are collected in the dict's order and sorted once (stably, so
    // the later of two keys with the same text wins): inserting each into the
    // sorted Row would be quadratic for keys in descending order.
    std::vector<Row::Field> fields;
    fields.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(d.ptr())));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        // Borrowed references: hold them while str() may run arbitrary code.
        py::object k = py::reinterpret_borrow<py::object>(key);
        py::object v = py::reinterpret_borrow<py::object>(value);
        Cell cell = cell_from_py(v);
        fields.push_back(Row::Field{field_name(k), std::move(cell)});
    }
    return Row::from_fields(std::move(fields), now_millis);
}

PlanSpec parse_plan(const py::dict& plan) {
    PlanSpec spec;

    py::list filters = as_list(item(plan, "filters"));
    spec.filters.reserve(static_cast<std::size_t>(PyList_GET_SIZE(filters.ptr())));
    // By index, each element owned while it is converted: dict() of an element
    // and str() of a filter value run Python code, which may shrink or clear
    // the caller's list while it is being read.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters.ptr()); ++i) {
        py::object element = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(filters.ptr(), i));
        py::dict f = as_dict(element);
        FilterSpec fs;
        fs.field = text_arg(item(f, "field"));
        fs.op = text_arg(item(f, "op"));
        fs.value = cell_from_py(item(f, "value"));
        spec.filters.push_back(std::move(fs));
    }

    py::object select = item(plan, "select");
    if (!is_none(select)) {
        py::list names = as_list(select);
        std::vector<std::string> out;
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names.ptr())));
        for (py::handle name : names) out.push_back(text_arg(name));
        spec.select = std::move(out);
    }

    py::object window = item(plan, "window");
    if (!is_none(window)) {
        py::dict w = as_dict(window);
        WindowSpec ws;
        ws.seconds = int_arg(item(w, "seconds"));
        py::object by = item(w, "by");
        if (!is_none(by)) ws.by = text_arg(by);
        ws.time_field = text_arg(item(w, "time_field"));
        if (ws.seconds <= 0) throw py::value_error("window seconds must be positive");
        if (ws.seconds > std::numeric_limits<std::int64_t>::max() / 1000) {
            throw py::value_error("window seconds out of range");
        }
        spec.window = std::move(ws);
    }

    py::object mean = item(plan, "mean");
    if (!is_none(mean)) {
        py::dict m = as_dict(mean);
        MeanSpec ms;
        ms.field = text_arg(item(m, "field"));
        ms.alias = text_arg(item(m, "alias"));
        spec.mean = std::move(ms);
    }

    py::object watermark = item(plan, "watermark_ms");
    if (!is_none(watermark)) spec.watermark_ms = int_arg(watermark);
    py::object lateness = item(plan, "allowed_lateness_ms");
    if (!is_none(lateness)) spec.allowed_lateness_ms = int_arg(lateness);
    py::object id_field = item(plan, "event_id_field");
    if (!is_none(id_field)) spec.event_id_field = text_arg(id_field);
    py::object drop_late = item(plan, "drop_late");
    if (!is_none(drop_late)) spec.drop_late = truth_arg(drop_late);
    return spec;
}

namespace {

// plan[key] when the dict has the key, else null; a borrowed reference.
PyObject* optional_item(const py::dict& d, const char* key) {
    PyObject* k = PyUnicode_FromString(key);
    if (k == nullptr) throw py::error_already_set();
    py::object key_obj = py::reinterpret_steal<py::object>(k);
    PyObject* v = PyDict_GetItemWithError(d.ptr(), k);
    if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

std::optional<std::int64_t> optional_int(const py::dict& d, const char* key, std::int64_t minimum) {
    PyObject* v = optional_item(d, key);
    if (v == nullptr || v == Py_None) return std::nullopt;
    const std::int64_t n = int_arg(v);
    if (n < minimum) throw py::value_error(std::string(key) + " must be at least " + std::to_string(minimum));
    return n;
}

// Hopping and session windows and aggregates: the entries "window_ms",
// "hop_ms", "session_gap_ms" and "aggregates" (a list of
// [name, function, field, argument or None]).
void parse_window_options(const py::dict& options, PlanSpec& spec) {
    spec.window_ms = optional_int(options, "window_ms", 1);
    spec.hop_ms = optional_int(options, "hop_ms", 1);
    spec.session_gap_ms = optional_int(options, "session_gap_ms", 1);
    if (PyObject* aggs = optional_item(options, "aggregates"); aggs != nullptr && aggs != Py_None) {
        py::list items = as_list(py::reinterpret_borrow<py::object>(aggs));
        for (py::handle entry : items) {
            py::list parts = as_list(py::reinterpret_borrow<py::object>(entry));
            if (PyList_GET_SIZE(parts.ptr()) != 4) throw py::value_error("an aggregate is [name, function, field, argument]");
            AggregateSpec a;
            a.name = text_arg(parts[0]);
            const std::string func = text_arg(parts[1]);
            const auto f = agg_func_of(func);
            if (!f) throw py::value_error("unknown aggregate function '" + func + "'");
            a.func = *f;
            a.field = text_arg(parts[2]);
            a.arg = is_none(parts[3]) ? default_agg_arg(a.func) : py::cast<double>(parts[3]);
            if (auto bad = check_agg(a)) throw py::value_error(*bad);
            spec.aggregates.push_back(std::move(a));
        }
        if (spec.aggregates.size() > 1000) throw py::value_error("a plan takes at most 1000 aggregates");
    }
    const bool any = spec.window_ms || spec.hop_ms || spec.session_gap_ms || !spec.aggregates.empty();
    if (!any) return;
    if (!spec.window) throw py::value_error("hopping and session windows and aggregates need a window");
    if (!spec.windowed()) throw py::value_error("a window needs a mean or aggregates");
    if (spec.hop_ms && spec.session_gap_ms) throw py::value_error("a window hops or is a session, not both");
    const std::int64_t length = spec.window_length_ms();
    if (spec.hop_ms && (*spec.hop_ms > length || length % *spec.hop_ms != 0)) {
        throw py::value_error("the window length must be a multiple of the hop");
    }
}

}  // namespace

bool has_plan_options(const py::dict& plan) {
    PyObject* options = optional_item(plan, "options");
    return options != nullptr && options != Py_None;
}

PlanSpec parse_plan_with_options(const py::dict& plan) {
    PlanSpec spec = parse_plan(plan);
    PyObject* entry = optional_item(plan, "options");
    if (entry == nullptr || entry == Py_None) return spec;
    const py::dict options = as_dict(entry);
    spec.align_origin = optional_int(options, "align_origin_ms", std::numeric_limits<std::int64_t>::min());
    spec.idle_close_ms = optional_int(options, "idle_close_ms", 1);
    spec.dedup_horizon_ms = optional_int(options, "dedup_horizon_ms", 0);
    if (PyObject* late = optional_item(options, "late"); late != nullptr && late != Py_None) {
        const std::string how = text_arg(late);
        if (how == "side") {
            spec.late_side = true;
        } else if (how != "drop") {
            throw py::value_error("late must be 'drop' or 'side'");
        }
    }
    if (spec.dedup_horizon_ms && !spec.event_id_field) throw py::value_error("dedup_horizon_ms needs event_id_field");
    parse_window_options(options, spec);
    return spec;
}

}  // namespace ravik
