// Conversions between Python objects and cells, rows, plans and column dicts.
// Every function here runs with the interpreter lock held and no stream lock.
#pragma once

#include <pybind11/pybind11.h>

#include "cell.hpp"
#include "core_processing.hpp"
#include "python_abi.hpp"

namespace ravik {

namespace py = pybind11;

bool is_none(py::handle h) noexcept;
Cell cell_from_py(py::handle obj);
// The field name a dict key stands for: the UTF-8 text of str(key).
std::string field_name(py::handle key);
Row dict_to_row(const py::dict& d);
PlanSpec parse_plan(const py::dict& plan);
Rows rows_from_columns(const py::dict& columns);
py::dict rows_to_columns(const Rows& rows);

}  // namespace ravik
