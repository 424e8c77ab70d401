#include "numpy_bridge.hpp"

#include <limits>
#include <new>
#include <string>
#include <vector>

// Only the struct layouts, flags and type numbers are taken from NumPy's
// headers; the functions come from the table fetched at run time, so the
// import machinery of `__multiarray_api.h` stays out.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#if NPY_ABI_VERSION < 0x02000000
#error "build against the NumPy 2 headers: only they describe both descriptor layouts"
#endif

namespace veltra::np {
namespace {

// Positions in NumPy's published C API table.
enum ApiSlot : std::size_t {
    array_type_slot = 2,
    descr_from_type_slot = 45,
    new_from_descr_slot = 94,
    equiv_types_slot = 182,
    feature_version_slot = 211,
    set_base_object_slot = 282,
};

// NumPy 2 widened the descriptor's item size to npy_intp and moved it.
constexpr unsigned numpy2_feature_version = 0x12;

constexpr std::string_view api_failure = "Failed to access NumPy array API capsule: ";
constexpr std::string_view registry_failure = "Interal borrow checking API error: ";

struct Api {
    void** table = nullptr;
    bool numpy2_descr = false;
};

// Written once under the interpreter lock, then only read.
Api api_slot;

// NumPy 2 keeps `numpy.core` as an alias of `numpy._core`; should a later
// NumPy drop the alias, the module under its new name serves as well. When
// neither imports, the old name's error is the one worth reporting.
PyResult<Object> multiarray_module() {
    Object module = Object::steal(PyImport_ImportModule("numpy.core.multiarray"));
    if (module)
        return module;
    PyErr first = PyErr::fetch_or_system_error();
    module = Object::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (module)
        return module;
    PyErr_Clear();
    return first;
}

[[noreturn]] void api_panic(PyErr err, std::source_location where = std::source_location::current()) {
    panic(std::string(api_failure) + err.debug(), where);
}

const Api& loaded_api() {
    if (api_slot.table != nullptr) [[likely]]
        return api_slot;
    auto module = multiarray_module();
    if (!module)
        api_panic(std::move(module).error());
    Object capsule = Object::steal(PyObject_GetAttrString(module.value().get(), "_ARRAY_API"));
    if (!capsule)
        api_panic(PyErr::fetch_or_system_error());
    if (!PyCapsule_CheckExact(capsule.get()))
        api_panic(PyErr::refusal(capsule.handle(), "PyCapsule"));
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr)
        PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr)
        api_panic(PyErr::fetch_or_system_error());
    // The import may have let another thread in, and that one may have filled
    // the slot already: the first value stays.
    if (api_slot.table == nullptr) {
        void** table = static_cast<void**>(pointer);
        const auto feature_version = reinterpret_cast<unsigned (*)()>(table[feature_version_slot])();
        api_slot.numpy2_descr = feature_version >= numpy2_feature_version;
        api_slot.table = table;
    }
    return api_slot;
}

template <class Fn>
Fn entry(ApiSlot slot) {
    return reinterpret_cast<Fn>(loaded_api().table[slot]);
}

PyTypeObject* array_type() {
    return static_cast<PyTypeObject*>(loaded_api().table[array_type_slot]);
}

PyObject* descr_from_type(int type_num) {
    auto fn = entry<PyArray_Descr* (*)(int)>(descr_from_type_slot);
    return reinterpret_cast<PyObject*>(fn(type_num));
}

bool equiv_types(PyObject* a, PyObject* b) {
    auto fn = entry<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(equiv_types_slot);
    return fn(reinterpret_cast<PyArray_Descr*>(a), reinterpret_cast<PyArray_Descr*>(b)) != 0;
}

const PyArrayObject* as_array(Handle array) noexcept {
    return reinterpret_cast<const PyArrayObject*>(array.ptr());
}

std::size_t checked_mul(std::size_t a, std::size_t b,
                        std::source_location where = std::source_location::current()) {
    std::size_t out;
    if (__builtin_mul_overflow(a, b, &out))
        panic("attempt to multiply with overflow", where);
    return out;
}

std::size_t byte_count(Handle array) {
    return checked_mul(item_size(descr(array)), element_count(array));
}

// ---------------------------------------------------------------------------
// PySliceContainer

struct SliceContainer {
    PyObject_HEAD void* data;
    std::size_t len;
    std::size_t cap;
    ReleaseFn release;
};

PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
    return call_guard(
        []() -> PyResult<Object> { return PyErr::new_message(PyExc_TypeError, "No constructor defined"); });
}

void container_dealloc(PyObject* self) {
    dealloc_guard([self] {
        // Only array_from_raw fills a container, but an instance that never
        // got a buffer must still die quietly.
        auto* container = reinterpret_cast<SliceContainer*>(self);
        if (container->release != nullptr)
            container->release(container->data, container->len, container->cap);
    });
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

char container_doc[] = "A utility type that safely keeps a native buffer on the Python heap.";

PyType_Slot container_slots[] = {
    {Py_tp_doc, container_doc},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {0, nullptr},
};

PyType_Spec container_type_def = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    // Immutable like the interpreter's own types: a class attribute set from
    // Python (a __new__ of its own, say) could make instances without a buffer.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    container_slots,
};

PyObject* container_type_slot = nullptr;

PyTypeObject* container_type() {
    if (container_type_slot == nullptr) {
        PyObject* created = PyType_FromSpec(&container_type_def);
        if (created == nullptr) {
            PyErr_Print();
            panic("failed to create type object for PySliceContainer");
        }
        container_type_slot = created;
    }
    return reinterpret_cast<PyTypeObject*>(container_type_slot);
}

// A buffer taken over by `array_from_raw` and not yet inside a container:
// released here if creation stops before the hand-over.
class PendingBuffer {
public:
    PendingBuffer(void* data, std::size_t len, std::size_t cap, ReleaseFn release) noexcept
        : data_(data), len_(len), cap_(cap), release_(release) {}
    PendingBuffer(const PendingBuffer&) = delete;
    PendingBuffer& operator=(const PendingBuffer&) = delete;
    ~PendingBuffer() {
        if (release_ != nullptr)
            release_(data_, len_, cap_);
    }
    void move_into(SliceContainer& container) noexcept {
        container.data = data_;
        container.len = len_;
        container.cap = cap_;
        container.release = std::exchange(release_, nullptr);
    }

private:
    void* data_;
    std::size_t len_;
    std::size_t cap_;
    ReleaseFn release_;
};

template <class T>
void release_buffer(void* data, std::size_t, std::size_t cap) {
    Buffer<T>::release(static_cast<T*>(data), cap);
}

template <class T>
Object adopt(Buffer<T>&& buffer, int type_num) {
    // One routine per element size: int64 and uint64 buffers share one.
    using Unit = std::conditional_t<sizeof(T) == 1, std::uint8_t, std::uint64_t>;
    static_assert(sizeof(T) == sizeof(Unit) && alignof(T) == alignof(Unit));
    auto raw = buffer.into_raw();
    return array_from_raw(raw.data, raw.len, raw.cap, release_buffer<Unit>, type_num, sizeof(T));
}

// ---------------------------------------------------------------------------
// The borrow registry
//
// The capsule (named "numpy.core.multiarray._veltra_borrow_registry") points
// to a `RegistryApi`. Its first field is the protocol version: a version only
// ever appends fields, so a user accepts any version at least as high as the
// one it was written for. The functions take and return plain values and are
// called with the interpreter lock held, which is also what serialises them.
// Whoever creates the registry owns its state and never frees it, because any
// extension may keep the pointer for the rest of the process.
//
// A borrow covers the byte range [start, end) that an array's elements span.
// Two borrows conflict when their ranges share a byte and one of them is
// exclusive; empty ranges never conflict.

constexpr std::uint64_t registry_version = 1;
constexpr const char* registry_capsule_name = "numpy.core.multiarray._veltra_borrow_registry";

enum : int { borrow_granted = 0, borrow_refused = 1, borrow_no_memory = -1 };

struct RegistryApi {
    std::uint64_t version;
    void* state;
    // borrow_granted, borrow_refused, or borrow_no_memory when it could not be recorded.
    int (*acquire)(void* state, std::uintptr_t start, std::uintptr_t end, int exclusive);
    // Returns a borrow granted before with the same arguments.
    void (*release)(void* state, std::uintptr_t start, std::uintptr_t end, int exclusive);
};

struct RegistryEntry {
    std::uintptr_t start;
    std::uintptr_t end;
    bool exclusive;
    std::size_t holders;  // shared borrows of exactly this range
};

// Borrows are few (one per array argument of calls in progress), so a flat
// list scanned in full is the simplest table that is fast enough.
struct RegistryState {
    std::vector<RegistryEntry> entries;
};

int registry_acquire(void* state, std::uintptr_t start, std::uintptr_t end, int exclusive) noexcept {
    auto& entries = static_cast<RegistryState*>(state)->entries;
    for (const RegistryEntry& e : entries)
        if ((exclusive != 0 || e.exclusive) && start < e.end && e.start < end)
            return borrow_refused;
    if (exclusive == 0) {
        for (RegistryEntry& e : entries)
            if (!e.exclusive && e.start == start && e.end == end) {
                ++e.holders;
                return borrow_granted;
            }
    }
    try {
        entries.push_back({start, end, exclusive != 0, 1});
    } catch (const std::bad_alloc&) {
        return borrow_no_memory;
    }
    return borrow_granted;
}

void registry_release(void* state, std::uintptr_t start, std::uintptr_t end, int exclusive) noexcept {
    auto& entries = static_cast<RegistryState*>(state)->entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        RegistryEntry& e = entries[i];
        if (e.exclusive == (exclusive != 0) && e.start == start && e.end == end) {
            if (--e.holders == 0) {
                e = entries.back();
                entries.pop_back();
            }
            return;
        }
    }
}

// The registry this copy of the code uses, once obtained.
RegistryApi* registry_slot = nullptr;

RegistryApi* create_registry() {
    // Never freed: other extensions may hold the pointer until the process ends.
    static RegistryApi* created =
        new RegistryApi{registry_version, new RegistryState, registry_acquire, registry_release};
    return created;
}

// The attribute straight from the module's dictionary: NumPy 2's
// numpy.core.multiarray answers unknown names through a module __getattr__
// that warns about names it finds in numpy._core.multiarray.
Object read_registry_attribute(PyObject* module) {
    if (PyModule_Check(module)) {
        PyObject* dict = PyModule_GetDict(module);
        return Object::new_ref(PyDict_GetItemString(dict, borrow_registry_attribute));
    }
    Object value = Object::steal(PyObject_GetAttrString(module, borrow_registry_attribute));
    if (!value)
        PyErr_Clear();
    return value;
}

PyResult<RegistryApi*> obtain_registry() {
    auto module = multiarray_module();
    if (!module)
        return std::move(module).error();
    PyObject* m = module.value().get();
    Object capsule = read_registry_attribute(m);
    if (!capsule) {
        RegistryApi* created = create_registry();
        capsule = Object::steal(PyCapsule_New(created, registry_capsule_name, nullptr));
        if (!capsule || PyObject_SetAttrString(m, borrow_registry_attribute, capsule.get()) != 0)
            return PyErr::fetch_or_system_error();
        return created;
    }
    if (!PyCapsule_CheckExact(capsule.get()))
        return PyErr::refusal(capsule.handle(), "PyCapsule");
    auto* found = static_cast<RegistryApi*>(PyCapsule_GetPointer(capsule.get(), registry_capsule_name));
    if (found == nullptr)
        return PyErr::fetch_or_system_error();
    if (found->version < registry_version)
        return PyErr::new_message(PyExc_RuntimeError,
                                  "borrow registry version " + std::to_string(found->version) +
                                      " is older than the required " + std::to_string(registry_version));
    return found;
}

RegistryApi& registry() {
    if (registry_slot == nullptr) {
        auto obtained = obtain_registry();
        if (!obtained)
            panic(std::string(registry_failure) + obtained.error().debug());
        registry_slot = obtained.value();
    }
    return *registry_slot;
}

struct ByteRange {
    std::uintptr_t start;
    std::uintptr_t end;
};

// The bytes an array's elements occupy, from its data pointer, shape and
// strides (which may be negative). Should the arithmetic overflow, which no
// real array allows, the range covers all memory: too wide is safe.
ByteRange extent_of(Handle array) {
    const PyArrayObject* a = as_array(array);
    const auto base = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    const int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    for (int i = 0; i < nd; ++i)
        if (dims[i] == 0)
            return {base, base};
    constexpr ByteRange everything{0, std::numeric_limits<std::uintptr_t>::max()};
    std::uintptr_t start = base;
    std::uintptr_t end;
    if (__builtin_add_overflow(base, item_size(descr(array)), &end))
        return everything;
    for (int i = 0; i < nd; ++i) {
        npy_intp span;
        if (__builtin_mul_overflow(dims[i] - 1, strides[i], &span))
            return everything;
        const bool overflow = span < 0
                                  ? __builtin_sub_overflow(start, -static_cast<std::uintmax_t>(span), &start)
                                  : __builtin_add_overflow(end, static_cast<std::uintmax_t>(span), &end);
        if (overflow)
            return everything;
    }
    return {start, end};
}

// Registers a borrow of the array's memory; empty when it is refused.
std::optional<detail::RegisteredBorrow> register_borrow(Handle array, bool exclusive) {
    ensure(is_ndarray(array), "assertion failed: is_ndarray(array)");
    const ByteRange range = extent_of(array);
    RegistryApi& r = registry();
    switch (r.acquire(r.state, range.start, range.end, exclusive ? 1 : 0)) {
        case borrow_granted:
            return detail::RegisteredBorrow(Object::new_ref(array.ptr()), range.start, range.end, exclusive);
        case borrow_refused:
            return std::nullopt;
        default:
            throw std::bad_alloc();
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Arrays and views

void** api() {
    return loaded_api().table;
}

bool is_ndarray(Handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    PyTypeObject* ndarray = array_type();
    return type == ndarray || PyType_IsSubtype(type, ndarray) != 0;
}

int ndim(Handle array) {
    return PyArray_NDIM(as_array(array));
}

Handle descr(Handle array) {
    return Handle(reinterpret_cast<PyObject*>(PyArray_DESCR(as_array(array))));
}

const std::byte* data(Handle array) {
    return static_cast<const std::byte*>(PyArray_DATA(as_array(array)));
}

bool is_contiguous(Handle array) {
    return (PyArray_FLAGS(as_array(array)) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
}

std::size_t element_count(Handle array) {
    const PyArrayObject* a = as_array(array);
    const int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    for (int i = 0; i < nd; ++i)
        if (dims[i] == 0)
            return 0;
    std::size_t count = 1;
    for (int i = 0; i < nd; ++i)
        count = checked_mul(count, static_cast<std::size_t>(dims[i]));
    return count;
}

std::size_t item_size(Handle d) {
    const npy_intp size = loaded_api().numpy2_descr
                              ? reinterpret_cast<const _PyArray_LegacyDescr*>(d.ptr())->elsize
                              : reinterpret_cast<const PyArray_DescrProto*>(d.ptr())->elsize;
    return size < 0 ? 0 : static_cast<std::size_t>(size);
}

bool dtype_equivalent(Handle a, Handle b) {
    return a.ptr() == b.ptr() || equiv_types(a.ptr(), b.ptr());
}

bool has_dtype_of(Handle array, int type_num) {
    Object wanted = expect_new(descr_from_type(type_num));
    return equiv_types(descr(array).ptr(), wanted.get());
}

PyResult<ByteView> byte_view(Handle array) {
    if (!is_contiguous(array))
        return PyErr::new_message(PyExc_ValueError, "Array is not contiguous");
    return ByteView{reinterpret_cast<const std::uint8_t*>(data(array)), byte_count(array)};
}

PyResult<Int64View> int64_view(Handle array) {
    if (!is_contiguous(array))
        return PyErr::new_message(PyExc_ValueError, "Array is not contiguous");
    return Int64View(data(array), byte_count(array) / sizeof(std::int64_t));
}

Object array_from_raw(void* data, std::size_t len, std::size_t cap, ReleaseFn release, int type_num,
                      std::size_t item_size) {
    PendingBuffer pending(data, len, cap, release);
    ensure(data != nullptr, "assertion failed: !data.is_null()");
    const Api& numpy = loaded_api();
    PyTypeObject* type = container_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Object container = Object::steal(alloc(type, 0));
    if (!container)
        panic("Failed to create slice container: " + PyErr::fetch_or_system_error().debug());
    pending.move_into(*reinterpret_cast<SliceContainer*>(container.get()));

    PyObject* dtype = expect_new(descr_from_type(type_num)).release();
    npy_intp dims[1] = {static_cast<npy_intp>(len)};
    npy_intp strides[1] = {static_cast<npy_intp>(item_size)};
    using NewFromDescr = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*,
                                       void*, int, PyObject*);
    // Takes over the descriptor reference, also when it fails.
    Object array = expect_new(reinterpret_cast<NewFromDescr>(numpy.table[new_from_descr_slot])(
        array_type(), reinterpret_cast<PyArray_Descr*>(dtype), 1, dims, strides, data, NPY_ARRAY_WRITEABLE,
        nullptr));
    // Takes over the container reference, also when it fails.
    using SetBaseObject = int (*)(PyArrayObject*, PyObject*);
    if (reinterpret_cast<SetBaseObject>(numpy.table[set_base_object_slot])(
            reinterpret_cast<PyArrayObject*>(array.get()), container.release()) != 0) {
        PyErr_Print();
        panic("Python API call failed");
    }
    return array;
}

Object array_from_buffer(Buffer<std::uint8_t>&& buffer) {
    return adopt(std::move(buffer), NPY_UBYTE);
}
Object array_from_buffer(Buffer<std::int64_t>&& buffer) {
    return adopt(std::move(buffer), NPY_LONG);
}
Object array_from_buffer(Buffer<std::uint64_t>&& buffer) {
    return adopt(std::move(buffer), NPY_ULONG);
}

// ---------------------------------------------------------------------------
// Borrows

detail::RegisteredBorrow::~RegisteredBorrow() {
    // The registry is the interpreter lock's to guard, like the array.
    if (!array_ || !may_touch_objects())
        return;
    // A borrow exists only after the registry was obtained.
    registry_slot->release(registry_slot->state, start_, end_, exclusive_ ? 1 : 0);
}

SharedBorrow SharedBorrow::acquire(Handle array) {
    std::optional<detail::RegisteredBorrow> borrow = register_borrow(array, false);
    if (!borrow)
        panic(std::string(msg::unwrap_err) + "AlreadyBorrowed");
    return SharedBorrow(std::move(*borrow));
}

std::optional<ExclusiveBorrow> ExclusiveBorrow::try_acquire(Handle array) {
    std::optional<detail::RegisteredBorrow> borrow = register_borrow(array, true);
    if (!borrow)
        return std::nullopt;
    return ExclusiveBorrow(std::move(*borrow));
}

}  // namespace veltra::np
