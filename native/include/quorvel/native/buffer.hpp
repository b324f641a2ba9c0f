// Owned result buffers.
//
// A Buffer<T> owns one allocation that is later handed, without copying, to a
// NumPy array (through a holder object) or to a Python string. Large
// allocations come straight from mmap with transparent huge pages requested:
// writing hundreds of megabytes of fresh output costs several times more with
// ordinary 4 KiB page faults, and mmap'd memory can grow and shrink in place
// (mremap) without copying. Small allocations use malloc.
//
// Allocation failure throws std::bad_alloc; the binding layer maps it to
// MemoryError.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvel {

namespace detail {

// Allocations of at least this many bytes are mmap'd; smaller ones malloc'd.
// The rule depends only on the size, so free_bytes() can tell which is which.
inline constexpr std::size_t k_mmap_threshold = std::size_t{1} << 20;
inline constexpr std::size_t k_page = 4096;
inline constexpr std::size_t k_huge_page = std::size_t{2} << 20;

[[nodiscard]] inline std::size_t round_to_pages(std::size_t bytes) {
    return (bytes + k_page - 1) & ~(k_page - 1);
}

// Returns memory of at least `bytes` bytes (never null; at least one byte is
// allocated). mmap'd memory is already zero; with `zero` malloc'd memory is
// cleared too.
// With `aligned`, a mapping starts on a huge-page boundary (see zeroed_aligned).
[[nodiscard]] inline void* alloc_bytes(std::size_t bytes, bool zero, bool aligned = false) {
    if (bytes < k_mmap_threshold) {
        void* p = zero ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    const std::size_t len = round_to_pages(bytes);
    // Aligned: map one huge page more and trim the ends, so that the region
    // starts on a huge-page boundary and huge pages can back all but its tail.
    const std::size_t extra = aligned && len >= k_huge_page ? k_huge_page : 0;
    void* raw = ::mmap(nullptr, len + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    void* p = raw;
    if (extra != 0) {
        const auto at = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t start = (at + k_huge_page - 1) & ~(std::uintptr_t{k_huge_page} - 1);
        const std::size_t head = start - at;
        if (head != 0) ::munmap(raw, head);
        ::munmap(reinterpret_cast<void*>(start + len), extra - head);
        p = reinterpret_cast<void*>(start);
    }
#ifdef MADV_HUGEPAGE
    ::madvise(p, len, MADV_HUGEPAGE);
#endif
    return p;
}

inline void free_bytes(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < k_mmap_threshold) {
        std::free(p);
    } else {
        ::munmap(p, round_to_pages(bytes));
    }
}

// Resizes an allocation made by alloc_bytes, keeping the first
// min(old, new) bytes. Memory beyond the old size is not cleared.
[[nodiscard]] inline void* realloc_bytes(void* p, std::size_t old_bytes, std::size_t new_bytes) {
    const bool old_mapped = old_bytes >= k_mmap_threshold;
    const bool new_mapped = new_bytes >= k_mmap_threshold;
    if (!old_mapped && !new_mapped) {
        void* q = std::realloc(p, new_bytes == 0 ? 1 : new_bytes);
        if (q == nullptr) throw std::bad_alloc();
        return q;
    }
    if (old_mapped && new_mapped) {
        const std::size_t old_len = round_to_pages(old_bytes);
        const std::size_t new_len = round_to_pages(new_bytes);
        if (old_len == new_len) return p;
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer does not see mremap give up the old range, and takes
        // a later mapping there by another thread for a race: copy instead.
        void* moved = alloc_bytes(new_bytes, false);
        std::memcpy(moved, p, old_bytes < new_bytes ? old_bytes : new_bytes);
        free_bytes(p, old_bytes);
        return moved;
#endif
        void* q = ::mremap(p, old_len, new_len, MREMAP_MAYMOVE);
        if (q == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (new_len > old_len) ::madvise(q, new_len, MADV_HUGEPAGE);
#endif
        return q;
    }
    void* q = alloc_bytes(new_bytes, false);
    std::memcpy(q, p, old_bytes < new_bytes ? old_bytes : new_bytes);
    free_bytes(p, old_bytes);
    return q;
}

}  // namespace detail

// The raw allocation behind a buffer, handed over on release(); free it with
// free_allocation().
struct Allocation {
    void* ptr = nullptr;
    std::size_t bytes = 0;
};

inline void free_allocation(Allocation a) noexcept { detail::free_bytes(a.ptr, a.bytes); }

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    // n elements, contents unspecified.
    [[nodiscard]] static Buffer uninitialized(std::size_t n) { return Buffer(n, false); }
    // n elements, all bits zero (0.0, 0, false).
    [[nodiscard]] static Buffer zeroed(std::size_t n) { return Buffer(n, true); }
    // n zero elements for an output that will be written in full: a large
    // one starts on a huge-page boundary, so that huge pages back nearly all
    // of it and a few megabytes cost a few page faults instead of hundreds.
    // (Buffers that grow, or are only partly written, fare better with
    // ordinary pages, which are cleared only where they are touched.)
    [[nodiscard]] static Buffer zeroed_aligned(std::size_t n) { return Buffer(n, true, true); }
    // n elements in memory handed over by release() or a BlockPool, whose
    // `bytes` must be n * sizeof(T); contents as they are.
    [[nodiscard]] static Buffer adopt(Allocation a, std::size_t n) noexcept {
        Buffer b;
        b.ptr_ = static_cast<T*>(a.ptr);
        b.size_ = n;
        b.bytes_ = a.bytes;
        return b;
    }

    Buffer(Buffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), size_(std::exchange(other.size_, 0)),
          bytes_(std::exchange(other.bytes_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
            size_ = std::exchange(other.size_, 0);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { reset(); }

    [[nodiscard]] T* data() noexcept { return ptr_; }
    [[nodiscard]] const T* data() const noexcept { return ptr_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t k) noexcept { return ptr_[k]; }
    const T& operator[](std::size_t k) const noexcept { return ptr_[k]; }

    // Changes the element count, keeping the first min(old, n) elements.
    // New elements are unspecified. Large buffers grow and shrink in place.
    void resize(std::size_t n) {
        if (ptr_ == nullptr) {
            *this = uninitialized(n);
            return;
        }
        const std::size_t new_bytes = checked_bytes(n);
        ptr_ = static_cast<T*>(detail::realloc_bytes(ptr_, bytes_, new_bytes));
        bytes_ = new_bytes;
        size_ = n;
    }

    // Hands the allocation over; the buffer is empty afterwards.
    [[nodiscard]] Allocation release() noexcept {
        Allocation a{ptr_, bytes_};
        ptr_ = nullptr;
        size_ = 0;
        bytes_ = 0;
        return a;
    }

private:
    Buffer(std::size_t n, bool zero, bool aligned = false)
        : ptr_(static_cast<T*>(detail::alloc_bytes(checked_bytes(n), zero, aligned))), size_(n),
          bytes_(checked_bytes(n)) {}

    [[nodiscard]] static std::size_t checked_bytes(std::size_t n) {
        if (n > (SIZE_MAX / 2) / sizeof(T)) throw std::bad_alloc();
        return n * sizeof(T);
    }

    void reset() noexcept {
        detail::free_bytes(ptr_, bytes_);
        ptr_ = nullptr;
        size_ = 0;
        bytes_ = 0;
    }

    T* ptr_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace quorvel
