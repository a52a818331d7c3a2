// ravik._native: the package's private access to streams made by _ravik.
// `_ravik.NativeStream` keeps exactly its public surface; what the package
// adds on top of a stream's native side is bound here instead. Arguments are
// `_ravik.NativeStream` objects: the binding layer finds the C++ stream
// inside through the class registration that both modules share.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "native_stream.hpp"
#include "python_abi.hpp"

namespace py = pybind11;
using ravik::NativeStream;

namespace {

py::dict diagnostics(const NativeStream& stream) {
    const NativeStream::Diagnostics d = stream.diagnostics();
    py::list recent;
    for (const auto& sample : d.recent_malformed) {
        recent.append(py::make_tuple(py::bytes(sample.bytes), py::str(sample.reason)));
    }
    py::dict out;
    out["malformed_datagrams"] = d.malformed_datagrams;
    out["kernel_dropped"] = d.kernel_dropped;
    out["non_integer_times"] = d.non_integer_times;
    out["events_without_mean"] = d.events_without_mean;
    out["future_events"] = d.future_events;
    out["recent_malformed"] = std::move(recent);
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.def("diagnostics", &diagnostics, py::arg("stream"));
    m.def("set_max_future_ms", &NativeStream::set_max_future_ms, py::arg("stream"), py::arg("ms"));
}
