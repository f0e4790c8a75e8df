// slice_container.cpp — PySliceContainer: its heap type, creation, buffer export and
// deallocation.
#include "array/slice_container.h"

#include <cstdlib>
#include <cstring>

#include "binding/error.h"
#include "binding/first_use_cell.h"
#include "binding/trap.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::array {
namespace {

/// The owner of a result's memory: `count` float64 at `memory`. A result without elements
/// has no memory, and neither has an instance made by a replaced __new__ (zero-filled).
struct SliceContainer {
    PyObject ob_base; ///< what PyObject_HEAD declares
    double* memory;
    std::size_t count;
};

/// The size of an instance as Python reports it (__basicsize__, sys.getsizeof), kept at
/// what it has always been; the bytes past the fields are not used.
constexpr std::size_t instance_size = 56;
static_assert(sizeof(SliceContainer) <= instance_size);

constexpr const auto& docstring = contract_text::container_doc;
static_assert(sizeof docstring == 71, "the docstring is 70 characters and a NUL");

binding::FirstUseCell<PyTypeObject> container_type;

void container_dealloc(PyObject* self) {
    binding::run_in_frame([self]() -> binding::Result<PyObject*> {
        runtime::FreeMemory()(reinterpret_cast<SliceContainer*>(self)->memory);
        // Instances of a heap type hold a reference to it.
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
        return static_cast<PyObject*>(nullptr);
    });
}

// NumPy lets a view's writeable flag be set to true only when the final base lends
// its memory as writeable bytes, so the container lends the whole result. The memory
// stays put until the container goes, and the container lives as long as any export
// (each holds a reference), so no export needs counting or releasing. A container
// without memory (a result without elements, or an instance made by a replaced __new__)
// lends zero bytes at a stand-in, which nothing can write.
int container_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    static double no_elements = 0.0;
    const SliceContainer* container = reinterpret_cast<SliceContainer*>(self);
    if (container->memory == nullptr) {
        return PyBuffer_FillInfo(view, self, &no_elements, 0, 0, flags);
    }
    const auto bytes = static_cast<Py_ssize_t>(container->count * sizeof(double));
    return PyBuffer_FillInfo(view, self, container->memory, bytes, 0, flags);
}

PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
    return binding::run_in_frame([]() -> binding::Result<PyObject*> {
        return binding::Error::type_error(std::string_view(contract_text::no_constructor));
    });
}

PyTypeObject* create_type() {
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(docstring)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&container_dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(&container_new)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(&container_getbuffer)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.PySliceContainer", static_cast<int>(instance_size), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) {
        binding::Error::fetch().restore();
        PyErr_PrintEx(0);
        runtime::fail(contract_text::container_type_failed);
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(created);
    // The type keeps a docstring of its own in interpreter memory, whatever happens
    // to the constant it was made from.
    if (void* copy = PyObject_Malloc(sizeof docstring)) {
        std::memcpy(copy, docstring, sizeof docstring);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = static_cast<const char*>(copy);
    }
    return type;
}

} // namespace

PyTypeObject* slice_container_type() {
    return container_type.get(&create_type);
}

PyObject* new_slice_container(runtime::Float64Memory memory, std::size_t count) {
    PyTypeObject* type = slice_container_type();
    // What the inherited allocator does for a type that neither collects garbage nor can be
    // subclassed, less the zero fill: every field is set below. tp_free, PyObject_Free,
    // gives the memory back.
    void* instance = PyObject_Malloc(instance_size);
    if (instance == nullptr) {
        PyErr_NoMemory();
        runtime::fail(contract_text::object_creation_failed, binding::Error::fetch().render());
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(instance), type);
    SliceContainer* container = reinterpret_cast<SliceContainer*>(object);
    container->memory = memory.release();
    container->count = count;
    return object;
}

} // namespace tesk::array
