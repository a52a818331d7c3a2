// The extension module: registers NativeStream and forwards each method.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "native_stream.hpp"

namespace py = pybind11;
using ravik::NativeStream;

namespace {

// A NativeStream object exists only as the result of a factory. The binding
// layer's own allocator would hand out an instance with no stream inside
// (reachable as NativeStream.__new__(NativeStream)), and its methods would
// then run on uninitialised memory; refuse that with the same TypeError that
// calling the class gives. The factories build their instances without
// going through tp_new.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    const std::string msg = py::detail::get_fully_qualified_tp_name(type) + ": No constructor defined!";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

}  // namespace

namespace ravik {
// A file system path: str, bytes or bytearray as before, or any os.PathLike
// (whose __fspath__ gives str or bytes). Other types fail to load, and the
// call fails with the binding layer's usual TypeError.
struct FsPath {
    std::string value;
};
}  // namespace ravik

namespace pybind11::detail {
template <>
struct type_caster<ravik::FsPath> {
    PYBIND11_TYPE_CASTER(ravik::FsPath, io_name("str | bytes | os.PathLike[str] | os.PathLike[bytes]", "str"));
    bool load(handle src, bool convert) {
        object path = reinterpret_borrow<object>(src);
        if (!PyUnicode_Check(src.ptr()) && !PyBytes_Check(src.ptr()) && !PyByteArray_Check(src.ptr())) {
            if (!hasattr(src, "__fspath__")) return false;
            PyObject* fs = PyOS_FSPath(src.ptr());
            if (fs == nullptr) throw error_already_set();
            path = reinterpret_steal<object>(fs);
        }
        make_caster<std::string> text;
        if (!text.load(path, convert)) return false;
        value.value = cast_op<std::string&&>(std::move(text));
        return true;
    }
};
}  // namespace pybind11::detail

// Every instance method carries an argument record for `self`, which refuses
// None: without one the binding layer would accept None as self and call the
// member on a null pointer. Methods with named parameters get it from
// py::arg; the others from py::pos_only(), which also states what holds for
// their parameters anyway: they are positional only.
PYBIND11_MODULE(_ravik, m, py::multiple_interpreters::not_supported()) {
    // The binding layer loads NumPy's C API at its first use, letting the
    // interpreter lock go while it does so. A first use on a daemon thread
    // while the interpreter finalizes (a first aggregate_trade_numeric at
    // exit) would then end that thread inside a destructor, which terminates
    // the process. Loaded here, on the importing thread, nothing is left to
    // load later. Without NumPy the module still imports; the trade
    // aggregation then needs it and says so.
    try {
        py::detail::npy_api::get();
    } catch (py::error_already_set&) {
    }
    py::class_<NativeStream, std::unique_ptr<NativeStream>> cls(m, "NativeStream");
    cls.def_static("udp", &NativeStream::udp, py::arg("host"), py::arg("port"), py::arg("batch_size"),
                   py::arg("linger_ms"), py::arg("capacity"))
        .def_static("manual", &NativeStream::manual, py::arg("batch_size"), py::arg("linger_ms"),
                    py::arg("capacity"))
        .def("address", &NativeStream::address, py::pos_only())
        .def("emit_json", &NativeStream::emit_json, py::pos_only())
        .def("emit_columns", &NativeStream::emit_columns, py::pos_only())
        .def("next_batch", &NativeStream::next_batch, py::arg("plan"), py::arg("timeout_ms"))
        .def("aggregate_columns", &NativeStream::aggregate_columns, py::arg("columns"), py::arg("plan"))
        .def("aggregate_trade_numeric", &NativeStream::aggregate_trade_numeric, py::arg("timestamps"),
             py::arg("is_trade"), py::arg("symbol_id"), py::arg("values"), py::arg("window_ms"))
        .def("save_checkpoint", [](NativeStream& s, const ravik::FsPath& path) { s.save_checkpoint(path.value); },
             py::pos_only())
        .def("load_checkpoint", [](NativeStream& s, const ravik::FsPath& path) { s.load_checkpoint(path.value); },
             py::pos_only())
        .def("stats", &NativeStream::stats, py::pos_only())
        .def("is_closed", &NativeStream::is_closed, py::pos_only())
        .def("close", &NativeStream::close, py::pos_only())
        // A stream is a context manager: the block's end closes it (and,
        // like close(), joins its worker), whether the block raised or not.
        .def("__enter__", [](py::object self) { return self; }, py::pos_only())
        .def("__exit__", [](NativeStream& s, const py::args&) { s.close(); return false; });
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = refuse_new;
    PyType_Modified(type);
}
