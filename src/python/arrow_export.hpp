// Processing results exported as Arrow data (the Arrow PyCapsule interface).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "columnar.hpp"
#include "core_processing.hpp"
#include "python_abi.hpp"
#include "result_table.hpp"

namespace ravik {

namespace py = pybind11;

// One result batch: a struct array of the result's columns. Immutable; each
// export lends the same buffers again.
class ArrowBatch {
public:
    explicit ArrowBatch(ResultTable table);
    std::size_t num_rows() const noexcept;
    py::list column_names() const;
    py::object schema_capsule() const;
    py::tuple array_capsules(const py::object& requested_schema) const;
    py::object stream_capsule(const py::object& requested_schema) const;

private:
    std::shared_ptr<const ResultTable> table_;
};

// A processing result as a table; text that is not UTF-8 is repaired as the
// column dicts decode it. Runs with the interpreter lock held.
ResultTable arrow_table(ProcessOutput& out, const PlanSpec& plan);

void bind_arrow(py::module_& m);

}  // namespace ravik
