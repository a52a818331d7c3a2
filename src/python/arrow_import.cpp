// Events from Arrow data through the Arrow PyCapsule interface: anything
// with __arrow_c_stream__ (a pyarrow Table, a Polars DataFrame, a DuckDB
// result) or __arrow_c_array__ (a pyarrow RecordBatch, a struct array).
// Each record batch becomes one column batch, read by nanoarrow without
// Python objects: fixed-width numbers and booleans copied whole, text read
// from its buffers, dictionary-encoded text kept as codes into its values.
// Nulls become the Null a None becomes in a column dict. A type with no
// such reading raises ArrowTypeUnsupported (the package then converts the
// data through Python values, as emit_columns would).
#include "arrow_import.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "nanoarrow/nanoarrow.h"
#include "py_convert.hpp"

namespace ravik {

namespace {

struct ArrayViewGuard {
    ArrowArrayView view{};
    ~ArrayViewGuard() { ArrowArrayViewReset(&view); }
};

template <class T>
struct Released {
    T value{};
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        if (value.release != nullptr) value.release(&value);
    }
};

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("emit_arrow: " + what); }

bool is_text(ArrowType t) noexcept {
    return t == NANOARROW_TYPE_STRING || t == NANOARROW_TYPE_LARGE_STRING || t == NANOARROW_TYPE_STRING_VIEW;
}

std::string_view text_at(const ArrowArrayView* v, std::int64_t i) noexcept {
    const ArrowStringView s = ArrowArrayViewGetStringUnsafe(v, i);
    return {s.data, static_cast<std::size_t>(s.size_bytes)};
}

// One child of the record batch as a column of `n` events.
Column read_column(const std::string& name, const ArrowSchema* schema, const ArrowArrayView* v, std::size_t n) {
    ArrowSchemaView sv;
    ArrowError error;
    if (ArrowSchemaViewInit(&sv, schema, &error) != NANOARROW_OK) fail("column '" + name + "': " + error.message);
    ColumnBuilder b(name);
    b.reserve(n);
    const bool nulls = v->null_count != 0;
    const auto len = static_cast<std::int64_t>(n);
    // Appends value(i) for each event i, a Null where the column has one.
    auto each = [&](auto&& value) {
        for (std::int64_t i = 0; i < len; ++i) {
            if (nulls && ArrowArrayViewIsNull(v, i)) {
                b.append(Cell{});
            } else {
                value(i);
            }
        }
    };
    switch (sv.type) {
        case NANOARROW_TYPE_NA:
            for (std::int64_t i = 0; i < len; ++i) b.append(Cell{});
            break;
        case NANOARROW_TYPE_INT64:
            if (!nulls) {
                b.append_ints(v->buffer_views[1].data.as_int64 + v->offset, n);
                break;
            }
            [[fallthrough]];
        case NANOARROW_TYPE_INT8:
        case NANOARROW_TYPE_INT16:
        case NANOARROW_TYPE_INT32:
        case NANOARROW_TYPE_UINT8:
        case NANOARROW_TYPE_UINT16:
        case NANOARROW_TYPE_UINT32:
            each([&](std::int64_t i) { b.append_int(ArrowArrayViewGetIntUnsafe(v, i)); });
            break;
        case NANOARROW_TYPE_UINT64:
            each([&](std::int64_t i) {
                const std::uint64_t u = ArrowArrayViewGetUIntUnsafe(v, i);
                // A Python int beyond int64 is refused by emit_columns too.
                if (u > static_cast<std::uint64_t>(INT64_MAX)) {
                    throw std::overflow_error("emit_arrow: column '" + name + "' holds " + std::to_string(u) +
                                              ", beyond a 64-bit signed integer");
                }
                b.append_int(static_cast<std::int64_t>(u));
            });
            break;
        case NANOARROW_TYPE_DOUBLE:
            if (!nulls) {
                b.append_floats(v->buffer_views[1].data.as_double + v->offset, n);
                break;
            }
            [[fallthrough]];
        case NANOARROW_TYPE_FLOAT:
        case NANOARROW_TYPE_HALF_FLOAT:
            each([&](std::int64_t i) { b.append_float(ArrowArrayViewGetDoubleUnsafe(v, i)); });
            break;
        case NANOARROW_TYPE_BOOL:
            each([&](std::int64_t i) { b.append_bool(ArrowArrayViewGetIntUnsafe(v, i) != 0); });
            break;
        case NANOARROW_TYPE_STRING:
        case NANOARROW_TYPE_LARGE_STRING:
        case NANOARROW_TYPE_STRING_VIEW:
            each([&](std::int64_t i) { b.append_text(text_at(v, i)); });
            break;
        case NANOARROW_TYPE_DICTIONARY: {
            const ArrowArrayView* values = v->dictionary;
            ArrowSchemaView values_view;
            if (values == nullptr || schema->dictionary == nullptr ||
                ArrowSchemaViewInit(&values_view, schema->dictionary, &error) != NANOARROW_OK ||
                !is_text(values_view.type)) {
                throw ArrowTypeUnsupported(name);
            }
            const std::int64_t size = values->length;
            if (nulls || values->null_count != 0) {
                each([&](std::int64_t i) {
                    const std::int64_t code = ArrowArrayViewGetIntUnsafe(v, i);
                    if (code < 0 || code >= size) fail("column '" + name + "' has a dictionary index out of range");
                    if (ArrowArrayViewIsNull(values, code)) {
                        b.append(Cell{});
                    } else {
                        b.append_text(text_at(values, code));
                    }
                });
                break;
            }
            // Codes kept as they are: the dictionary's values become the
            // column's (a value may repeat; each code reads its own).
            Column c;
            c.name = name;
            c.kind = ColumnKind::Text;
            c.dict.reserve(static_cast<std::size_t>(size));
            for (std::int64_t d = 0; d < size; ++d) c.dict.emplace_back(text_at(values, d));
            c.codes.resize(n);
            for (std::int64_t i = 0; i < len; ++i) {
                const std::int64_t code = ArrowArrayViewGetIntUnsafe(v, i);
                if (code < 0 || code >= size) fail("column '" + name + "' has a dictionary index out of range");
                c.codes[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(code);
            }
            return c;
        }
        default:
            throw ArrowTypeUnsupported(name);
    }
    return b.finish();
}

// Raises ArrowTypeUnsupported for the first column read_column cannot read,
// before any batch is read (a stream may be readable only once).
void check_types(const ArrowSchema* schema) {
    for (std::int64_t c = 0; c < schema->n_children; ++c) {
        const ArrowSchema* child = schema->children[c];
        const std::string name = child->name != nullptr ? child->name : "";
        ArrowSchemaView sv;
        ArrowError error;
        if (ArrowSchemaViewInit(&sv, child, &error) != NANOARROW_OK) fail("column '" + name + "': " + error.message);
        switch (sv.type) {
            case NANOARROW_TYPE_NA:
            case NANOARROW_TYPE_INT8:
            case NANOARROW_TYPE_INT16:
            case NANOARROW_TYPE_INT32:
            case NANOARROW_TYPE_INT64:
            case NANOARROW_TYPE_UINT8:
            case NANOARROW_TYPE_UINT16:
            case NANOARROW_TYPE_UINT32:
            case NANOARROW_TYPE_UINT64:
            case NANOARROW_TYPE_HALF_FLOAT:
            case NANOARROW_TYPE_FLOAT:
            case NANOARROW_TYPE_DOUBLE:
            case NANOARROW_TYPE_BOOL:
            case NANOARROW_TYPE_STRING:
            case NANOARROW_TYPE_LARGE_STRING:
            case NANOARROW_TYPE_STRING_VIEW:
                break;
            case NANOARROW_TYPE_DICTIONARY: {
                ArrowSchemaView values;
                if (child->dictionary == nullptr || ArrowSchemaViewInit(&values, child->dictionary, &error) != NANOARROW_OK ||
                    !is_text(values.type)) {
                    throw ArrowTypeUnsupported(name);
                }
                break;
            }
            default: throw ArrowTypeUnsupported(name);
        }
    }
}

// One record batch (a struct array) as a column batch; null without events.
// Each column is viewed and checked on its own (a producer may give a null
// column a buffer that the format does not have; it is not read).
std::shared_ptr<ColumnBatch> read_batch(const ArrowSchema* schema, const ArrowArray* array) {
    ArrowSchemaView top;
    ArrowError error;
    if (ArrowSchemaViewInit(&top, schema, &error) != NANOARROW_OK) fail(error.message);
    if (top.type != NANOARROW_TYPE_STRUCT) fail("the data is not a table (its Arrow type is not a struct of columns)");
    if (array->n_children != schema->n_children || array->length < 0 || array->offset < 0) {
        fail("malformed Arrow data: the batch does not match its schema");
    }
    const auto n = static_cast<std::size_t>(array->length);
    if (n == 0 || schema->n_children == 0) return nullptr;
    std::vector<std::string> names;
    std::vector<Column> columns;
    for (std::int64_t c = 0; c < schema->n_children; ++c) {
        const ArrowSchema* child = schema->children[c];
        const ArrowArray* data = array->children[c];
        names.emplace_back(child->name != nullptr ? child->name : "");
        const std::string& name = names.back();
        if (data == nullptr || data->length < array->offset + array->length) {
            fail("malformed Arrow data: column '" + name + "' is shorter than its batch");
        }
        ArrowSchemaView sv;
        if (ArrowSchemaViewInit(&sv, child, &error) != NANOARROW_OK) fail("column '" + name + "': " + error.message);
        if (sv.type == NANOARROW_TYPE_NA) {
            ColumnBuilder nulls(name);
            for (std::size_t i = 0; i < n; ++i) nulls.append(Cell{});
            columns.push_back(nulls.finish());
            continue;
        }
        ArrayViewGuard guard;
        if (ArrowArrayViewInitFromSchema(&guard.view, child, &error) != NANOARROW_OK ||
            ArrowArrayViewSetArray(&guard.view, data, &error) != NANOARROW_OK ||
            ArrowArrayViewValidate(&guard.view, NANOARROW_VALIDATION_LEVEL_FULL, &error) != NANOARROW_OK) {
            fail("malformed Arrow data in column '" + name + "': " + error.message);
        }
        // A struct's offset applies to its children on top of their own.
        guard.view.offset += array->offset;
        guard.view.length = array->length;
        columns.push_back(read_column(name, child, &guard.view, n));
    }
    return batch_of_columns(std::move(names), std::move(columns), n);
}

void* capsule_pointer(const py::object& capsule, const char* name) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), name);
    if (p == nullptr) throw py::error_already_set();
    return p;
}

}  // namespace

std::vector<std::shared_ptr<ColumnBatch>> batches_from_arrow(const py::object& data) {
    std::vector<std::shared_ptr<ColumnBatch>> out;
    if (py::hasattr(data, "__arrow_c_stream__")) {
        py::object capsule = data.attr("__arrow_c_stream__")();
        auto* source = static_cast<ArrowArrayStream*>(capsule_pointer(capsule, "arrow_array_stream"));
        Released<ArrowArrayStream> stream;
        ArrowArrayStreamMove(source, &stream.value);  // ours to release now
        Released<ArrowSchema> schema;
        if (stream.value.get_schema(&stream.value, &schema.value) != 0) {
            const char* why = stream.value.get_last_error(&stream.value);
            fail(std::string("reading the schema failed: ") + (why ? why : "unknown error"));
        }
        check_types(&schema.value);
        for (;;) {
            Released<ArrowArray> array;
            if (stream.value.get_next(&stream.value, &array.value) != 0) {
                const char* why = stream.value.get_last_error(&stream.value);
                fail(std::string("reading a batch failed: ") + (why ? why : "unknown error"));
            }
            if (array.value.release == nullptr) break;
            if (auto batch = read_batch(&schema.value, &array.value)) out.push_back(std::move(batch));
        }
        return out;
    }
    if (py::hasattr(data, "__arrow_c_array__")) {
        py::tuple pair = data.attr("__arrow_c_array__")();
        if (pair.size() != 2) fail("__arrow_c_array__ did not return a (schema, array) pair");
        py::object schema_capsule = pair[0];
        py::object array_capsule = pair[1];
        auto* schema = static_cast<ArrowSchema*>(capsule_pointer(schema_capsule, "arrow_schema"));
        auto* source = static_cast<ArrowArray*>(capsule_pointer(array_capsule, "arrow_array"));
        Released<ArrowArray> array;
        ArrowArrayMove(source, &array.value);
        check_types(schema);
        if (auto batch = read_batch(schema, &array.value)) out.push_back(std::move(batch));
        return out;
    }
    throw py::type_error("emit_arrow takes Arrow data (an object with __arrow_c_stream__ or __arrow_c_array__, "
                         "such as a pyarrow Table or RecordBatch or a Polars DataFrame), not " +
                         std::string(Py_TYPE(data.ptr())->tp_name));
}

}  // namespace ravik
