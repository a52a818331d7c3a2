// Conversions between Python objects and cells, rows, plans and column dicts.
// Every function here runs with the interpreter lock held and no stream lock.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cell.hpp"
#include "columnar.hpp"
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
// Whether a plan dict carries options of ravik.plan beyond the eight keys
// (a non-None "options" entry).
bool has_plan_options(const py::dict& plan);
// parse_plan, and the "options" entry when there is one.
PlanSpec parse_plan_with_options(const py::dict& plan);
// The events of a column dict as one batch (null when it holds no event).
std::shared_ptr<ColumnBatch> batch_from_columns(const py::dict& columns);
// Window rows as a column dict: one list per column of window_fields, text
// not valid UTF-8 decoded with U+FFFD replacements.
py::dict windows_to_columns(const WindowRows& rows, const PlanSpec& plan);
// A pass-through result as a column dict: the select list's fields (or all
// fields of the batches), typed by the values they hold (Bool, Int, Float, or text for any mix).
py::dict selections_to_columns(const std::vector<Selection>& parts,
                               const std::optional<std::vector<std::string>>& select);
// The result of one processing call as a column dict: its passed events or
// its windows (a plan produces one kind or the other).
py::dict result_columns(const ProcessOutput& out, const PlanSpec& plan);

}  // namespace ravik
