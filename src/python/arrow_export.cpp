// Results as Arrow data through the Arrow PyCapsule interface. The schema and
// array structs are built by nanoarrow; their buffers are the result table's
// own vectors, lent without a copy: every exported buffer holds a reference
// to the table and drops it when the consumer releases the buffer, so the
// same batch can be exported any number of times, to several consumers.
#include "arrow_export.hpp"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "nanoarrow/nanoarrow.h"

namespace ravik {

namespace {

using TablePtr = std::shared_ptr<const ResultTable>;

void check(ArrowErrorCode code, const char* what) {
    if (code != NANOARROW_OK) throw std::runtime_error(std::string("arrow export failed: ") + what);
}

// Owns a schema or array struct until it is handed to a capsule.
template <class T, void (*Release)(T*)>
struct Owned {
    T value{};
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (value.release != nullptr) Release(&value);
    }
};
void release_schema(ArrowSchema* s) { s->release(s); }
void release_array(ArrowArray* a) { a->release(a); }
void release_stream(ArrowArrayStream* s) { s->release(s); }
using OwnedSchema = Owned<ArrowSchema, release_schema>;
using OwnedArray = Owned<ArrowArray, release_array>;
using OwnedStream = Owned<ArrowArrayStream, release_stream>;

ArrowType arrow_type(ValueType t) noexcept {
    switch (t) {
        case ValueType::Bool: return NANOARROW_TYPE_BOOL;
        case ValueType::Int: return NANOARROW_TYPE_INT64;
        case ValueType::Float: return NANOARROW_TYPE_DOUBLE;
        default: return NANOARROW_TYPE_STRING;  // text, and columns of nulls only
    }
}

void make_schema(const ResultTable& table, ArrowSchema* out) {
    ArrowSchemaInit(out);
    check(ArrowSchemaSetTypeStruct(out, static_cast<std::int64_t>(table.columns.size())), "schema");
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        ArrowSchema* child = out->children[i];
        check(ArrowSchemaSetType(child, arrow_type(table.columns[i].type)), "column type");
        check(ArrowSchemaSetName(child, table.columns[i].name.c_str()), "column name");
    }
}

void drop_table_reference(ArrowBufferAllocator* allocator, std::uint8_t*, std::int64_t) {
    delete static_cast<TablePtr*>(allocator->private_data);
}

// Sets buffer i of `array` to the bytes [data, data + size) of the table.
template <class T>
void lend(ArrowArray* array, std::int64_t i, const TablePtr& table, const T* data, std::size_t count) {
    ArrowBuffer buffer;
    ArrowBufferInit(&buffer);
    if (count > 0) {
        auto* keep = new TablePtr(table);
        ArrowBufferSetAllocator(&buffer, ArrowBufferDeallocator(&drop_table_reference, keep));
        buffer.data = reinterpret_cast<std::uint8_t*>(const_cast<T*>(data));
        buffer.size_bytes = static_cast<std::int64_t>(count * sizeof(T));
        buffer.capacity_bytes = buffer.size_bytes;
    }
    if (ArrowArraySetBuffer(array, i, &buffer) != NANOARROW_OK) {
        ArrowBufferReset(&buffer);
        throw std::runtime_error("arrow export failed: buffer");
    }
}

void make_array(const TablePtr& table, const ArrowSchema* schema, ArrowArray* out) {
    ArrowError error;
    check(ArrowArrayInitFromSchema(out, schema, &error), "array");
    const auto n = static_cast<std::int64_t>(table->length);
    for (std::size_t c = 0; c < table->columns.size(); ++c) {
        const ResultColumn& col = table->columns[c];
        ArrowArray* child = out->children[c];
        child->length = n;
        child->null_count = col.null_count;
        lend(child, 0, table, col.validity.data(), col.validity.size());
        switch (col.type) {
            case ValueType::Int: lend(child, 1, table, col.ints.data(), col.ints.size()); break;
            case ValueType::Float: lend(child, 1, table, col.floats.data(), col.floats.size()); break;
            case ValueType::Bool: lend(child, 1, table, col.bools.data(), col.bools.size()); break;
            default:
                lend(child, 1, table, col.offsets.data(), col.offsets.size());
                lend(child, 2, table, col.text.data(), col.text.size());
                break;
        }
    }
    out->length = n;
    out->null_count = 0;
    if (ArrowArrayFinishBuildingDefault(out, &error) != NANOARROW_OK) {
        throw std::runtime_error(std::string("arrow export failed: ") + error.message);
    }
}

template <class T, void (*Release)(T*)>
void capsule_destructor(PyObject* capsule, const char* name) {
    auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (value == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    // A consumer that imported the struct has moved it out and marked it released.
    if (value->release != nullptr) Release(value);
    delete value;
}
void schema_capsule_destructor(PyObject* c) { capsule_destructor<ArrowSchema, release_schema>(c, "arrow_schema"); }
void array_capsule_destructor(PyObject* c) { capsule_destructor<ArrowArray, release_array>(c, "arrow_array"); }
void stream_capsule_destructor(PyObject* c) {
    capsule_destructor<ArrowArrayStream, release_stream>(c, "arrow_array_stream");
}

// Moves a struct into a new capsule that releases it unless it was consumed.
template <class T>
py::object capsule_of(T& owned, const char* name, PyCapsule_Destructor destructor) {
    auto* moved = new T(owned);
    owned.release = nullptr;
    PyObject* capsule = PyCapsule_New(moved, name, destructor);
    if (capsule == nullptr) {
        moved->release(moved);
        delete moved;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

std::string repair_text(std::string_view s) {
    // As the column dicts decode text: each invalid sequence becomes U+FFFD.
    py::object decoded = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    if (!decoded) throw py::error_already_set();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.ptr(), &size);
    if (utf8 == nullptr) throw py::error_already_set();
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

ArrowBatch::ArrowBatch(ResultTable table) : table_(std::make_shared<const ResultTable>(std::move(table))) {}

std::size_t ArrowBatch::num_rows() const noexcept { return table_->length; }

py::list ArrowBatch::column_names() const {
    py::list names;
    for (const auto& c : table_->columns) names.append(py::str(c.name));
    return names;
}

py::object ArrowBatch::schema_capsule() const {
    OwnedSchema schema;
    make_schema(*table_, &schema.value);
    return capsule_of(schema.value, "arrow_schema", &schema_capsule_destructor);
}

py::tuple ArrowBatch::array_capsules(const py::object&) const {
    // A requested schema is a request, not a demand: consumers cast what
    // they get (the batch has one fixed type per column).
    OwnedSchema schema;
    make_schema(*table_, &schema.value);
    OwnedArray array;
    make_array(table_, &schema.value, &array.value);
    py::object s = capsule_of(schema.value, "arrow_schema", &schema_capsule_destructor);
    py::object a = capsule_of(array.value, "arrow_array", &array_capsule_destructor);
    return py::make_tuple(s, a);
}

py::object ArrowBatch::stream_capsule(const py::object&) const {
    OwnedSchema schema;
    make_schema(*table_, &schema.value);
    OwnedArray array;
    make_array(table_, &schema.value, &array.value);
    OwnedStream stream;
    // Both calls move their argument into the stream (and mark it released).
    check(ArrowBasicArrayStreamInit(&stream.value, &schema.value, 1), "stream");
    ArrowBasicArrayStreamSetArray(&stream.value, 0, &array.value);
    return capsule_of(stream.value, "arrow_array_stream", &stream_capsule_destructor);
}

ResultTable arrow_table(ProcessOutput& out, const PlanSpec& plan) {
    return result_table(out, plan, &repair_text);
}

void bind_arrow(py::module_& m) {
    py::class_<ArrowBatch>(m, "ArrowBatch")
        .def_property_readonly("num_rows", &ArrowBatch::num_rows)
        .def_property_readonly("column_names", &ArrowBatch::column_names)
        .def("__len__", &ArrowBatch::num_rows)
        .def("__arrow_c_schema__", &ArrowBatch::schema_capsule)
        .def("__arrow_c_array__", &ArrowBatch::array_capsules, py::arg("requested_schema") = py::none())
        .def("__arrow_c_stream__", &ArrowBatch::stream_capsule, py::arg("requested_schema") = py::none())
        .def("__repr__", [](const ArrowBatch& b) {
            return "<ravik.ArrowBatch: " + std::to_string(b.num_rows()) + " rows, " +
                   std::to_string(py::len(b.column_names())) + " columns>";
        });
}

}  // namespace ravik
