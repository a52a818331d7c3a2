// NativeStream::aggregate_trade_numeric: argument checks, the aggregation
// kernel run without the interpreter lock, and the five result lists.
#include <cstdint>
#include <vector>

#include "cell.hpp"
#include "native_stream.hpp"
#include "gil.hpp"
#include "trade_aggregation.hpp"

namespace ravik {

namespace {

// A new list with `size` empty positions; each is filled exactly once with
// PyList_SET_ITEM, which takes over the reference. A list dropped half
// filled (an error while building) releases what it holds and skips the
// empty positions.
py::list new_list(py::ssize_t size) {
    PyObject* list = PyList_New(size);
    if (list == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

PyObject* checked(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return object;
}

// Python ints for the values of a dense range, each made once and shared by
// every list position that holds it. Owns one reference to each int it made.
class DenseIntCache {
public:
    DenseIntCache(std::int64_t first, std::size_t span) : first_(first), objects_(span, nullptr) {}
    ~DenseIntCache() {
        for (PyObject* o : objects_) Py_XDECREF(o);
    }
    DenseIntCache(const DenseIntCache&) = delete;
    DenseIntCache& operator=(const DenseIntCache&) = delete;

    // A new reference to the int with this value; value lies in the range.
    PyObject* get(std::int64_t value) {
        PyObject*& slot = objects_[static_cast<std::size_t>(static_cast<std::uint64_t>(value) -
                                                           static_cast<std::uint64_t>(first_))];
        if (slot == nullptr) slot = checked(PyLong_FromLongLong(value));
        Py_INCREF(slot);
        return slot;
    }

private:
    std::int64_t first_;
    std::vector<PyObject*> objects_;
};

}  // namespace

py::dict NativeStream::aggregate_trade_numeric(const Int64Array& timestamps, const UInt8Array& is_trade,
                                               const Int64Array& symbol_id, const Float64Array& values,
                                               std::int64_t window_ms) {
    if (timestamps.ndim() != 1 || is_trade.ndim() != 1 || symbol_id.ndim() != 1 || values.ndim() != 1) {
        throw py::value_error("numeric columns must be one-dimensional");
    }
    const py::ssize_t n = timestamps.shape(0);
    if (is_trade.shape(0) != n || symbol_id.shape(0) != n || values.shape(0) != n) {
        throw py::value_error("numeric columns must have equal length");
    }
    if (window_ms <= 0) throw py::value_error("window_ms must be positive");

    std::vector<TradeGroup> groups;
    {
        // Only raw array memory is read here; the caller's arguments keep the
        // arrays alive, and no Python object is touched.
        GilReleaseIfHeld released;
        groups = aggregate_trades(timestamps.data(), is_trade.data(), symbol_id.data(), values.data(),
                                  static_cast<std::size_t>(n), window_ms);
    }

    const auto size = static_cast<py::ssize_t>(groups.size());
    py::list starts = new_list(size);
    py::list ends = new_list(size);
    py::list symbols = new_list(size);
    py::list averages = new_list(size);
    py::list counts = new_list(size);

    // Symbols repeat in every window: when their range is small, or dense
    // enough that each int would serve several groups, one int per distinct
    // symbol is shared by all groups.
    std::int64_t min_symbol = 0, max_symbol = 0;
    if (!groups.empty()) {
        min_symbol = max_symbol = groups.front().symbol_id;
        for (const TradeGroup& g : groups) {
            if (g.symbol_id < min_symbol) min_symbol = g.symbol_id;
            if (g.symbol_id > max_symbol) max_symbol = g.symbol_id;
        }
    }
    const std::uint64_t symbol_span = static_cast<std::uint64_t>(max_symbol) - static_cast<std::uint64_t>(min_symbol);
    const bool dense_symbols = symbol_span < 65536 || symbol_span < groups.size() / 4;
    DenseIntCache symbol_ints(min_symbol, dense_symbols ? static_cast<std::size_t>(symbol_span) + 1 : 0);

    // Groups come sorted by window start, so equal starts (and ends) are
    // adjacent and share one int each.
    PyObject* start_int = nullptr;
    PyObject* end_int = nullptr;
    for (py::ssize_t i = 0; i < size; ++i) {
        const TradeGroup& g = groups[static_cast<std::size_t>(i)];
        if (i == 0 || g.window_start != groups[static_cast<std::size_t>(i - 1)].window_start) {
            start_int = checked(PyLong_FromLongLong(g.window_start));
            PyList_SET_ITEM(starts.ptr(), i, start_int);
            end_int = checked(PyLong_FromLongLong(window_bounds(0, g.window_start, window_ms).end));
            PyList_SET_ITEM(ends.ptr(), i, end_int);
        } else {
            Py_INCREF(start_int);
            PyList_SET_ITEM(starts.ptr(), i, start_int);
            Py_INCREF(end_int);
            PyList_SET_ITEM(ends.ptr(), i, end_int);
        }
        PyList_SET_ITEM(symbols.ptr(), i,
                        dense_symbols ? symbol_ints.get(g.symbol_id) : checked(PyLong_FromLongLong(g.symbol_id)));
        PyList_SET_ITEM(averages.ptr(), i, checked(PyFloat_FromDouble(g.sum / static_cast<double>(g.count))));
        PyList_SET_ITEM(counts.ptr(), i, checked(PyLong_FromLongLong(g.count)));
    }

    // Only now that every list is complete do the counters move.
    engine_->count_stateless_aggregation(static_cast<std::uint64_t>(n), groups.size());
    py::dict result;
    result["window_start"] = std::move(starts);
    result["window_end"] = std::move(ends);
    result["symbol_id"] = std::move(symbols);
    result["avg_value"] = std::move(averages);
    result["count"] = std::move(counts);
    return result;
}

}  // namespace ravik
