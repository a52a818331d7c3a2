// ravik._native: the package's private access to streams made by _ravik.
// `_ravik.NativeStream` keeps exactly its public surface; what the package
// adds on top of a stream's native side is bound here instead. Arguments are
// `_ravik.NativeStream` objects: the binding layer finds the C++ stream
// inside through the class registration that both modules share.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_export.hpp"
#include "arrow_import.hpp"
#include "flat_json.hpp"
#include "gil.hpp"
#include "native_stream.hpp"
#include "py_convert.hpp"
#include "python_abi.hpp"

namespace py = pybind11;
using ravik::NativeStream;

namespace {

py::dict diagnostics(const NativeStream& stream) {
    const ravik::Stream::Diagnostics d = stream.engine().diagnostics();
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
    out["lone_surrogates"] = d.lone_surrogates;
    out["pending_dropped"] = d.pending_dropped;
    out["late_side_dropped"] = d.late_side_dropped;
    const auto time_or_none = [](std::int64_t t) -> py::object {
        return t == ravik::kTimeUnset ? py::object(py::none()) : py::object(py::int_(t));
    };
    out["newest_event_time"] = time_or_none(d.newest_event_time);
    out["watermark"] = time_or_none(d.watermark);
    out["lag_ms"] = d.watermark == ravik::kTimeUnset
                        ? py::object(py::none())
                        : py::object(py::int_(static_cast<std::int64_t>(static_cast<std::uint64_t>(d.now_ms) -
                                                                        static_cast<std::uint64_t>(d.watermark))));
    out["recent_malformed"] = std::move(recent);
    return out;
}

// Waits without the interpreter lock until a batch is ready or the stream
// is closed (true), or timeout_ms passed (false). The wait is cut into short
// slices, between which the interpreter's signal handlers run: Ctrl-C ends
// it promptly with KeyboardInterrupt.
bool wait_ready(NativeStream& stream, std::uint64_t timeout_ms) {
    constexpr std::uint64_t kSliceMs = 50;
    std::uint64_t remaining = timeout_ms;
    for (;;) {
        const std::uint64_t slice = std::min(remaining, kSliceMs);
        bool ready = false;
        {
            // The engine's wait touches no Python object.
            ravik::GilReleaseIfHeld released;
            ready = stream.engine().wait_ready(slice);
        }
        if (ready) return true;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        remaining -= slice;
        if (remaining == 0) return false;
    }
}

// NativeStream.udp on several sockets; a socket failure's message carries the
// system's reason ("udp bind failed: Address already in use").
std::unique_ptr<NativeStream> udp_stream(const std::string& host, std::uint16_t port, std::uint32_t receivers,
                                         std::uint32_t batch_size, std::uint64_t linger_ms, std::uint32_t capacity) {
    try {
        return std::make_unique<NativeStream>(
            ravik::Stream::udp_receivers(host, port, receivers, batch_size, linger_ms, capacity));
    } catch (const ravik::SocketError& error) {
        throw std::runtime_error(std::string(error.what()) + ": " + std::strerror(error.code));
    }
}

// Owns a read-only view of a bytes-like object.
class ReadView {
public:
    explicit ReadView(const py::object& obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    ~ReadView() { PyBuffer_Release(&view_); }
    ReadView(const ReadView&) = delete;
    ReadView& operator=(const ReadView&) = delete;
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// The lines of a bytes-like block, ingested without the interpreter lock
// (the exported buffer cannot be resized or freed meanwhile).
std::size_t emit_lines(NativeStream& stream, const py::object& data, bool final) {
    const ReadView view(data);
    ravik::GilReleaseIfHeld released;
    return stream.engine().ingest_lines(view.bytes(), final);
}

// Each bytes object of `values` parsed as one datagram and queued; `stamps`
// (None, or one integer per value) stand in for the clock as the timestamp
// of objects without one. The bytes objects are immutable and held by the
// list, so they are read without the interpreter lock.
void emit_datagrams(NativeStream& stream, const py::list& values, const py::object& stamps) {
    std::vector<std::string_view> texts;
    texts.reserve(values.size());
    std::vector<py::object> held;  // keeps the values alive if the list changes meanwhile
    held.reserve(values.size());
    for (const py::handle v : values) {
        if (!PyBytes_Check(v.ptr())) throw py::type_error("values must be bytes objects");
        held.push_back(py::reinterpret_borrow<py::object>(v));
        texts.emplace_back(PyBytes_AS_STRING(v.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(v.ptr())));
    }
    std::vector<std::int64_t> times;
    if (!stamps.is_none()) {
        times = stamps.cast<std::vector<std::int64_t>>();
        if (times.size() != texts.size()) throw py::value_error("one stamp per value, or None");
    }
    ravik::GilReleaseIfHeld released;
    stream.engine().ingest_datagrams(texts, times);
}

// A message's method called without arguments (the Kafka client's Message
// is a C type whose layout is private: its accessors are the interface).
py::object call0(const py::handle message, PyObject* name) {
    PyObject* out = PyObject_CallMethodNoArgs(message.ptr(), name);
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

// One poll's messages of a consumer into the streams of their partitions, in
// one call: each value parsed as a datagram, an event without a "timestamp"
// timed by its message's timestamp (when every message of that partition in
// the list has one), as emit_datagrams does. Messages of partitions not in
// `streams` (revoked meanwhile) are skipped; tombstones (no value) carry no
// event but move the partition's position. Returns, per partition that got
// messages, the offset after its last one, and the messages that carry an
// error (in order), for the caller to judge.
py::tuple emit_messages(const py::dict& streams, const py::list& messages) {
    static PyObject* const kError = PyUnicode_InternFromString("error");
    static PyObject* const kPartition = PyUnicode_InternFromString("partition");
    static PyObject* const kOffset = PyUnicode_InternFromString("offset");
    static PyObject* const kValue = PyUnicode_InternFromString("value");
    static PyObject* const kTimestamp = PyUnicode_InternFromString("timestamp");
    struct Share {
        NativeStream* stream = nullptr;
        std::vector<std::string_view> texts;
        std::vector<std::int64_t> stamps;
        bool stamped = true;
        std::int64_t next_offset = 0;
    };
    std::vector<std::pair<std::int64_t, Share>> shares;  // few partitions: a linear search
    std::vector<py::object> held;  // the values, alive until the engine has parsed them
    held.reserve(messages.size());
    py::list errors;
    for (const py::handle m : messages) {
        if (!call0(m, kError).is_none()) {
            errors.append(m);
            continue;
        }
        const auto partition = call0(m, kPartition).cast<std::int64_t>();
        auto found = std::find_if(shares.begin(), shares.end(), [&](const auto& s) { return s.first == partition; });
        if (found == shares.end()) {
            const py::object key = py::int_(partition);
            if (!streams.contains(key)) continue;
            shares.emplace_back(partition, Share{});
            found = shares.end() - 1;
            found->second.stream = &streams[key].cast<NativeStream&>();
        }
        Share& share = found->second;
        share.next_offset = call0(m, kOffset).cast<std::int64_t>() + 1;
        py::object value = call0(m, kValue);
        if (value.is_none()) continue;
        if (!PyBytes_Check(value.ptr())) throw py::type_error("message values must be bytes");
        const py::tuple stamp = call0(m, kTimestamp);
        const auto ms = stamp[1].cast<std::int64_t>();
        share.stamped = share.stamped && ms >= 0;
        share.stamps.push_back(ms);
        share.texts.emplace_back(PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr())));
        held.push_back(std::move(value));
    }
    py::dict positions;
    for (auto& [partition, share] : shares) {
        positions[py::int_(partition)] = share.next_offset;
        if (share.texts.empty()) continue;
        if (!share.stamped) share.stamps.clear();
        ravik::GilReleaseIfHeld released;
        share.stream->engine().ingest_datagrams(share.texts, share.stamps);
    }
    return py::make_tuple(std::move(positions), std::move(errors));
}

// For each value: is it an acceptable datagram, and the text of its member
// `field` as the datagram writes it (see member_text). Returns the keys
// (bytes, or None when absent, null or no field is given) and the indices
// of the values that are not acceptable.
py::tuple datagram_keys(const py::list& values, const std::optional<std::string>& field) {
    py::list keys;
    py::list rejected;
    std::size_t index = 0;
    for (const py::handle v : values) {
        if (!PyBytes_Check(v.ptr())) throw py::type_error("values must be bytes objects");
        const std::string_view text(PyBytes_AS_STRING(v.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(v.ptr())));
        bool valid = false;
        const auto key = ravik::member_text(text, field ? std::string_view(*field) : std::string_view(), valid);
        if (!valid) rejected.append(index);
        keys.append(key && field ? py::object(py::bytes(*key)) : py::object(py::none()));
        ++index;
    }
    return py::make_tuple(std::move(keys), std::move(rejected));
}

// The package's pulls, for any plan of ravik.plan (options included): with
// `cut`, everything queued is cut first, so that every event offered before
// the call is processed by it; without `flush`, a closed stream keeps its
// open windows (for a checkpoint). The result is a column dict or Arrow data
// (None when nothing came out), as next_batch's over the same batches, beside
// the milliseconds until an idle-closing plan may next close a window (None:
// no such moment yet). The interpreter lock is let go while processing.
py::tuple pull(NativeStream& stream, const py::dict& plan_dict, bool cut, bool flush, bool arrow) {
    const ravik::PlanSpec plan = stream.plan_of(plan_dict);
    if (cut) stream.engine().cut_now();
    py::object result = arrow ? ravik::pull_result(stream.engine(), plan, 0, flush, true,
                                                   [](ravik::ProcessOutput& out, const ravik::PlanSpec& p) {
                                                       return py::cast(ravik::ArrowBatch(ravik::arrow_table(out, p)));
                                                   })
                              : ravik::pull_result(stream.engine(), plan, 0, flush, true, ravik::result_columns);
    const auto due = stream.engine().idle_close_due_in_ms(plan);
    return py::make_tuple(result, due ? py::object(py::int_(*due)) : py::object(py::none()));
}

// aggregate_columns({}, plan) for any plan of ravik.plan: every open window
// out now.
py::dict flush_windows(NativeStream& stream, const py::dict& plan_dict) {
    const ravik::PlanSpec plan = stream.plan_of(plan_dict);
    ravik::ProcessOutput out = stream.engine().aggregate(nullptr, plan);
    const std::size_t produced = out.passed_count() + out.windows.size();
    py::dict result = ravik::result_columns(out, plan);
    stream.engine().count_output(produced);
    return result;
}

// The late events kept aside by plans with late="side", every field, as a
// column dict or Arrow data; None when there are none.
py::object late_events(NativeStream& stream, bool arrow) {
    ravik::ProcessOutput out;
    out.passed = stream.engine().take_late_events();
    if (out.passed.empty()) return py::none();
    const ravik::PlanSpec all_fields;
    if (arrow) return py::cast(ravik::ArrowBatch(ravik::arrow_table(out, all_fields)));
    return ravik::result_columns(out, all_fields);
}

// The record batches of Arrow data offered as column batches, each as
// emit_columns offers one.
void emit_arrow(NativeStream& stream, const py::object& data) {
    for (auto& batch : ravik::batches_from_arrow(data)) stream.engine().push_batch(std::move(batch));
}

// An eventfd that the stream writes after every batch cut and on close: an
// event loop watches fileno() for readability instead of polling.
class Waker {
public:
    explicit Waker(py::object stream_object) : owner_(std::move(stream_object)) {
        if (!py::isinstance<NativeStream>(owner_)) throw py::type_error("stream must be a NativeStream");
        stream_ = &owner_.cast<NativeStream&>().engine();
        fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("eventfd failed");
        stream_->add_waker(fd_);
    }
    ~Waker() { close(); }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    int fileno() const {
        if (fd_ < 0) throw py::value_error("waker is closed");
        return fd_;
    }
    // Reads the pending wake-ups away (none pending is fine).
    void clear() const noexcept {
        std::uint64_t count = 0;
        if (fd_ >= 0) {
            [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof(count));
        }
    }
    void close() noexcept {
        if (fd_ < 0) return;
        stream_->remove_waker(fd_);
        ::close(fd_);
        fd_ = -1;
    }

private:
    py::object owner_;      // keeps the stream alive while registered
    ravik::Stream* stream_ = nullptr;  // the engine inside owner_
    int fd_ = -1;
};

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.def("diagnostics", &diagnostics, py::arg("stream"));
    m.def(
        "set_max_future_ms", [](NativeStream& s, std::int64_t ms) { s.engine().set_max_future_ms(ms); },
        py::arg("stream"), py::arg("ms"));
    m.def("udp_stream", &udp_stream, py::arg("host"), py::arg("port"), py::arg("receivers"),
          py::arg("batch_size"), py::arg("linger_ms"), py::arg("capacity"));
    m.def("wait_ready", &wait_ready, py::arg("stream"), py::arg("timeout_ms"));
    m.def("emit_datagrams", &emit_datagrams, py::arg("stream"), py::arg("values"), py::arg("stamps"));
    m.def("emit_messages", &emit_messages, py::arg("streams"), py::arg("messages"));
    m.def("datagram_keys", &datagram_keys, py::arg("values"), py::arg("field"));
    m.def("emit_lines", &emit_lines, py::arg("stream"), py::arg("data"), py::arg("final"));
    m.def("emit_arrow", &emit_arrow, py::arg("stream"), py::arg("data"));
    m.def("pull", &pull, py::arg("stream"), py::arg("plan"), py::arg("cut"), py::arg("flush"), py::arg("arrow"));
    m.def("flush_windows", &flush_windows, py::arg("stream"), py::arg("plan"));
    m.def("late_events", &late_events, py::arg("stream"), py::arg("arrow"));
    m.def(
        "set_clock",
        [](NativeStream& s, std::optional<std::int64_t> ms) { s.engine().set_clock(ms); },
        py::arg("stream"), py::arg("ms"));
    m.def(
        "set_max_pending", [](NativeStream& s, std::uint64_t bound) { s.engine().set_max_pending(bound); },
        py::arg("stream"), py::arg("events"));
    py::register_exception<ravik::ArrowTypeUnsupported>(m, "ArrowTypeUnsupported", PyExc_TypeError);
    m.def(
        "join_multicast",
        [](NativeStream& s, const std::string& group, const std::string& interface) {
            // A close in progress holds the engine's stop lock while it
            // joins; the call waits for it without the interpreter lock.
            ravik::GilReleaseIfHeld released;
            s.engine().join_multicast(group, interface);
        },
        py::arg("stream"), py::arg("group"), py::arg("interface"));
    py::class_<Waker>(m, "Waker")
        .def(py::init<py::object>(), py::arg("stream"))
        .def("fileno", &Waker::fileno)
        .def("clear", &Waker::clear)
        .def("close", &Waker::close);
    ravik::bind_arrow(m);
}
