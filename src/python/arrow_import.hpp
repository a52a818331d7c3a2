// Events from Arrow data (the Arrow PyCapsule interface), as column batches.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "columnar.hpp"

namespace ravik {

namespace py = pybind11;

// A column of an Arrow type that has no direct reading (timestamps,
// decimals, lists, ...): the caller converts such data through Python values.
class ArrowTypeUnsupported : public std::runtime_error {
public:
    explicit ArrowTypeUnsupported(const std::string& column)
        : std::runtime_error("column '" + column + "' has an Arrow type without a direct reading") {}
};

// The record batches of `data` (an object with __arrow_c_stream__ or
// __arrow_c_array__) as column batches, with the conversions of a column
// dict: "timestamp" stamped with the arrival time when absent, of two
// columns with one name the later kept, batches without events left out.
// Raises TypeError for other objects, ValueError for malformed data.
std::vector<std::shared_ptr<ColumnBatch>> batches_from_arrow(const py::object& data);

}  // namespace ravik
