// NativeStream: the Python object of a stream, a thin binding over the
// engine's Stream. It converts arguments (plans, events, column dicts, NumPy
// arrays) to core values, calls the engine, and converts results back. Both
// extension modules compile this class; a NativeStream made by `_ravik` is
// handed to `ravik._native`'s functions through the class registration the
// two modules share, so its layout must not depend on the module.
//
// The interpreter lock: every method runs with it held, as its caller does,
// and releases it only around engine calls that block on the engine's
// threads (close and the destructor, which join them; waits and joins of
// `ravik._native`). No engine thread ever asks for it, so holding it across
// a short engine lock is safe.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "core_processing.hpp"
#include "gil.hpp"
#include "python_abi.hpp"
#include "stream.hpp"

namespace ravik {

namespace py = pybind11;

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using UInt8Array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using Float64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

class NativeStream {
public:
    explicit NativeStream(std::unique_ptr<Stream> engine) noexcept : engine_(std::move(engine)) {}
    // Stops the engine (joining its threads) without the interpreter lock.
    ~NativeStream();
    NativeStream(const NativeStream&) = delete;
    NativeStream& operator=(const NativeStream&) = delete;
    NativeStream(NativeStream&&) = delete;
    NativeStream& operator=(NativeStream&&) = delete;

    static std::unique_ptr<NativeStream> udp(const std::string& host, std::uint16_t port, std::uint32_t batch_size,
                                             std::uint64_t linger_ms, std::uint32_t capacity);
    static std::unique_ptr<NativeStream> manual(std::uint32_t batch_size, std::uint64_t linger_ms,
                                                std::uint32_t capacity);

    std::pair<std::string, std::uint16_t> address() const { return engine_->address(); }
    bool is_closed() const { return engine_->is_closed(); }
    void close();
    void emit_json(const py::dict& event);
    void emit_columns(const py::dict& columns);
    py::object next_batch(const py::dict& plan, std::uint64_t timeout_ms);
    py::dict aggregate_columns(const py::dict& columns, const py::dict& plan);
    py::dict aggregate_trade_numeric(const Int64Array& timestamps, const UInt8Array& is_trade,
                                     const Int64Array& symbol_id, const Float64Array& values,
                                     std::int64_t window_ms);
    void save_checkpoint(const std::string& path) { engine_->save_checkpoint(path); }
    void load_checkpoint(const std::string& path) { engine_->load_checkpoint(path); }
    std::map<std::string, std::uint64_t> stats() const { return engine_->stats(); }

    // A plan dict parsed and given the stream's own limits. `method` names
    // a contract method, which refuses a plan with options of ravik.plan;
    // null: the package's own pulls, which take them.
    PlanSpec plan_of(const py::dict& plan, const char* method = nullptr) const;
    Stream& engine() noexcept { return *engine_; }
    const Stream& engine() const noexcept { return *engine_; }

private:
    std::unique_ptr<Stream> engine_;  // never null
};

// One pull of `stream` (Stream::pull) turned into a Python result by
// `convert(out, plan)`, or None when nothing came out; the output counters
// move only once the result exists. With `release_lock` the interpreter lock
// is let go for the pull, which touches no Python object.
template <class Convert>
py::object pull_result(Stream& stream, const PlanSpec& plan, std::uint64_t timeout_ms, bool flush_closed,
                       bool release_lock, Convert&& convert) {
    ProcessOutput out;
    bool produced_any = false;
    if (release_lock) {
        GilReleaseIfHeld released;
        produced_any = stream.pull(plan, timeout_ms, out, flush_closed);
    } else {
        produced_any = stream.pull(plan, timeout_ms, out, flush_closed);
    }
    if (!produced_any) return py::none();
    const std::size_t produced = out.passed_count() + out.windows.size();
    py::object result = convert(out, plan);
    stream.count_output(produced);
    return result;
}

}  // namespace ravik
