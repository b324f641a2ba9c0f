#include "quorvel/binding/results.hpp"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/numpy.hpp"

namespace quorvel::binding {

namespace {

constexpr const char* k_holder_name = "quorvel.buffer";
constexpr const char* k_pooled_name = "quorvel.pooled_buffer";

void free_holder(PyObject* capsule) noexcept {
    void* ptr = PyCapsule_GetPointer(capsule, k_holder_name);
    const auto bytes = reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule));
    free_allocation(Allocation{ptr, static_cast<std::size_t>(bytes)});
}

// The context of a pooled holder: the allocation's size and where it goes.
struct PooledMemory {
    std::size_t bytes;
    BlockPool* pool;
};

void free_pooled_holder(PyObject* capsule) noexcept {
    void* ptr = PyCapsule_GetPointer(capsule, k_pooled_name);
    auto* memory = static_cast<PooledMemory*>(PyCapsule_GetContext(capsule));
    memory->pool->give(Allocation{ptr, memory->bytes});
    delete memory;
}

// A capsule that frees `memory` (or hands it to `pool`) when it goes away;
// null with an exception, the memory freed, on failure.
Ref make_holder(Allocation memory, BlockPool* pool) {
    if (pool == nullptr) {
        Ref holder = Ref::steal(PyCapsule_New(memory.ptr, k_holder_name, free_holder));
        if (!holder) {
            free_allocation(memory);
            return Ref();
        }
        if (PyCapsule_SetContext(holder.get(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(memory.bytes))) !=
            0) {
            PyCapsule_SetDestructor(holder.get(), nullptr);
            free_allocation(memory);
            return Ref();
        }
        return holder;
    }
    auto* context = new (std::nothrow) PooledMemory{memory.bytes, pool};
    if (context == nullptr) {
        free_allocation(memory);
        PyErr_NoMemory();
        return Ref();
    }
    Ref holder = Ref::steal(PyCapsule_New(memory.ptr, k_pooled_name, free_pooled_holder));
    if (!holder || PyCapsule_SetContext(holder.get(), context) != 0) {
        if (holder) PyCapsule_SetDestructor(holder.get(), nullptr);
        delete context;
        free_allocation(memory);
        return Ref();
    }
    return holder;
}

template <class T>
Ref make_array(Buffer<T>&& buffer, int typenum, std::initializer_list<int64_t> shape, BlockPool* pool = nullptr) {
    if (!ensure_numpy()) return Ref();
    // One, two or three dimensions.
    npy_intp dims[3] = {0, 0, 0};
    npy_intp strides[3] = {0, 0, 0};
    if (shape.size() > 3) {
        PyErr_SetString(PyExc_SystemError, "array_from_buffer: more than three dimensions");
        return Ref();
    }
    const int nd = static_cast<int>(shape.size());
    npy_intp count = 1;
    int k = 0;
    for (int64_t extent : shape) {
        dims[k++] = static_cast<npy_intp>(extent);
        count *= static_cast<npy_intp>(extent);
    }
    // Row-major strides; all zero for an array without elements.
    if (count != 0) {
        npy_intp step = static_cast<npy_intp>(sizeof(T));
        for (int q = nd - 1; q >= 0; --q) {
            strides[q] = step;
            step *= dims[q];
        }
    }

    Allocation memory = buffer.release();
    Ref holder = make_holder(memory, pool);
    if (!holder) return Ref();
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (descr == nullptr) return Ref();
    // PyArray_NewFromDescr steals the descriptor reference.
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, strides, memory.ptr,
                                                NPY_ARRAY_CARRAY, nullptr));
    if (!array) return Ref();
    // PyArray_SetBaseObject steals the holder reference, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) != 0) {
        return Ref();
    }
    return array;
}

// Large result strings are written once, from start to end: ask for huge
// pages on their interior so that the writes cost fewer page faults.
void advise_huge_pages(void* start, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t k_huge = std::size_t{2} << 20;
    if (bytes < 2 * k_huge) return;
    auto begin = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t end = begin + bytes;
    begin = (begin + 4095) & ~std::uintptr_t{4095};
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), (end - begin) & ~std::uintptr_t{4095}, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace

Ref array_from_buffer(Buffer<double>&& buffer, std::initializer_list<int64_t> shape) {
    return make_array(std::move(buffer), NPY_FLOAT64, shape);
}
Ref array_from_buffer(Buffer<int64_t>&& buffer, std::initializer_list<int64_t> shape) {
    return make_array(std::move(buffer), NPY_INT64, shape);
}
Ref array_from_buffer(Buffer<uint8_t>&& buffer, std::initializer_list<int64_t> shape) {
    return make_array(std::move(buffer), NPY_BOOL, shape);
}
Ref array_from_buffer(Buffer<double>&& buffer, std::initializer_list<int64_t> shape, BlockPool& pool) {
    return make_array(std::move(buffer), NPY_FLOAT64, shape, &pool);
}
Ref array_from_buffer(Buffer<int64_t>&& buffer, std::initializer_list<int64_t> shape, BlockPool& pool) {
    return make_array(std::move(buffer), NPY_INT64, shape, &pool);
}

void AsciiStringSink::grow(std::size_t extra) {
    const std::size_t used = size();
    std::size_t capacity = static_cast<std::size_t>(end_ - begin_) * 2;
    if (capacity < used + extra) capacity = used + extra;
    if (capacity < 64) capacity = 64;
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2) throw std::bad_alloc();
    if (!text_) {
        text_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127));
        if (!text_) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
    } else {
        // The string is new and unshared, so it may be resized in place.
        PyObject* p = text_.release();
        if (PyUnicode_Resize(&p, static_cast<Py_ssize_t>(capacity)) != 0) {
            // On failure the object has been released and p set to null.
            PyErr_Clear();
            begin_ = cur_ = end_ = nullptr;
            throw std::bad_alloc();
        }
        text_ = Ref::steal(p);
    }
    begin_ = static_cast<char*>(PyUnicode_DATA(text_.get()));
    cur_ = begin_ + used;
    end_ = begin_ + capacity;
    advise_huge_pages(cur_, capacity - used);
}

Ref AsciiStringSink::finish() noexcept {
    const std::size_t used = size();
    begin_ = cur_ = end_ = nullptr;
    if (!text_) return Ref::steal(PyUnicode_New(0, 127));
    PyObject* p = text_.release();
    if (PyUnicode_Resize(&p, static_cast<Py_ssize_t>(used)) != 0) return Ref();
    return Ref::steal(p);
}

Ref string_from_utf8(std::string_view text) noexcept {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

Ref new_string(std::string_view text) noexcept {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return string_from_utf8(text);
    }
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (s && !text.empty()) std::memcpy(PyUnicode_DATA(s.get()), text.data(), text.size());
    return s;
}

}  // namespace quorvel::binding
