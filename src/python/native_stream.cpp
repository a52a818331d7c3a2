#include "native_stream.hpp"

#include "gil.hpp"
#include "py_convert.hpp"

namespace ravik {

NativeStream::~NativeStream() {
    // Stopping joins the engine's threads, which need nothing of Python's:
    // other Python threads run meanwhile.
    GilReleaseIfHeld released;
    engine_.reset();
}

std::unique_ptr<NativeStream> NativeStream::udp(const std::string& host, std::uint16_t port,
                                                std::uint32_t batch_size, std::uint64_t linger_ms,
                                                std::uint32_t capacity) {
    return std::make_unique<NativeStream>(Stream::udp(host, port, batch_size, linger_ms, capacity));
}

std::unique_ptr<NativeStream> NativeStream::manual(std::uint32_t batch_size, std::uint64_t linger_ms,
                                                   std::uint32_t capacity) {
    return std::make_unique<NativeStream>(Stream::manual(batch_size, linger_ms, capacity));
}

void NativeStream::close() {
    // Joins the engine's threads; a concurrent close() holds the engine's
    // stop lock while it joins, so waiting for that lock must not hold the
    // interpreter lock either.
    GilReleaseIfHeld released;
    engine_->close();
}

PlanSpec NativeStream::plan_of(const py::dict& plan, const char* method) const {
    if (method == nullptr) return engine_->stream_plan(parse_plan_with_options(plan));
    if (has_plan_options(plan)) {
        throw py::value_error(std::string(method) +
                              " does not take a plan with options of ravik.plan (align, idle_close_ms, late, "
                              "dedup_horizon_ms, window_ms, hop, session_gap, aggregates): pull it with ravik.pull, "
                              "ravik.batches, ravik.abatches or ravik.arrow_batches");
    }
    return engine_->stream_plan(parse_plan(plan));
}

void NativeStream::emit_json(const py::dict& event) { engine_->push_event(dict_to_row(event)); }

void NativeStream::emit_columns(const py::dict& columns) { engine_->push_batch(batch_from_columns(columns)); }

py::object NativeStream::next_batch(const py::dict& plan_dict, std::uint64_t timeout_ms) {
    // The wait for a batch holds the interpreter lock, as this method always has.
    return pull_result(*engine_, plan_of(plan_dict, "next_batch"), timeout_ms, true, false, result_columns);
}

py::dict NativeStream::aggregate_columns(const py::dict& columns, const py::dict& plan_dict) {
    const PlanSpec plan = plan_of(plan_dict, "aggregate_columns");
    ProcessOutput out = engine_->aggregate(batch_from_columns(columns), plan);
    const std::size_t produced = out.passed_count() + out.windows.size();
    py::dict result = result_columns(out, plan);
    engine_->count_output(produced);
    return result;
}

}  // namespace ravik
