// numpy_api.cpp — fetching NumPy's C-API table and the typed slot accessors.
#include "array/numpy_api.h"

#include "binding/first_use_cell.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::array {
namespace {

// Written only under the interpreter lock. A failed fetch leaves it null so the
// next call that needs NumPy tries again.
void* const* table = nullptr;

// The module and the capsule stay referenced for the life of the process: the
// table lives inside them.
binding::FirstUseCell<> kept_module;
binding::FirstUseCell<> kept_capsule;

void* const* fetch_table() {
    PyObject* module = PyImport_ImportModule("numpy.core.multiarray");
    if (module == nullptr) {
        PyErr_Clear();
        runtime::fail(contract_text::numpy_import_failed);
    }
    kept_module.keep(module);
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    if (capsule == nullptr) {
        PyErr_Clear();
        runtime::fail(contract_text::numpy_capsule_failed);
    }
    // A capsule that carries a name, or is not a capsule at all, yields no pointer;
    // a null table would be a crash later, so it counts as a failed fetch.
    void* pointer = PyCapsule_GetPointer(capsule, nullptr);
    if (pointer == nullptr) {
        PyErr_Clear();
        Py_DECREF(capsule);
        runtime::fail(contract_text::numpy_capsule_failed);
    }
    kept_capsule.keep(capsule);
    return static_cast<void* const*>(pointer);
}

/// The entries of the table that the module uses, where NumPy's API puts them.
enum class Slot : int {
    array_type = 2,       ///< PyArray_Type
    descr_from_type = 45, ///< PyArray_DescrFromType
    new_from_descr = 94,  ///< PyArray_NewFromDescr
    equiv_types = 182,    ///< PyArray_EquivTypes
};

template <typename Entry> Entry slot(Slot index) {
    return reinterpret_cast<Entry>(numpy_api()[static_cast<int>(index)]);
}

} // namespace

void* const* numpy_api() {
    if (table == nullptr) {
        table = fetch_table();
    }
    return table;
}

PyTypeObject* array_type() {
    return slot<PyTypeObject*>(Slot::array_type);
}

PyArray_Descr* descr_from_type(int type_number) {
    return slot<PyArray_Descr* (*)(int)>(Slot::descr_from_type)(type_number);
}

PyObject* new_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd, const npy_intp* dims,
                         const npy_intp* strides, void* data, int flags, PyObject* obj) {
    using Function = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*,
                                   const npy_intp*, void*, int, PyObject*);
    return slot<Function>(Slot::new_from_descr)(subtype, descr, nd, dims, strides, data, flags,
                                                obj);
}

bool equiv_types(PyArray_Descr* first, PyArray_Descr* second) {
    return slot<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(Slot::equiv_types)(first,
                                                                                      second) != 0;
}

} // namespace tesk::array
