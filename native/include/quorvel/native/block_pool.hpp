// A bounded pool of freed large result buffers, for reuse by the next call.
//
// A neighbor search that runs every step of a trajectory writes hundreds of
// megabytes of fresh output per call, and a fresh mapping costs a page fault
// and the kernel's zeroing for every page of it. When the arrays of an
// earlier call are freed, their mappings go into the pool instead of back to
// the kernel; the next call's outputs take them, already faulted in.
//
// Pooled memory is marked MADV_FREE, so under memory pressure the kernel may
// still take the pages back (a later write then faults a fresh zero page,
// as a new mapping would); nothing pooled is ever read before it is written.
// The pool holds at most `max_blocks` mappings and `max_bytes` bytes; what
// does not fit is unmapped at once.
//
// Thread-safe. The lock is only ever tried, never waited for: a call that
// finds it taken (or a process forked while another thread held it) simply
// maps or unmaps memory as if there were no pool.
#pragma once

#include <sys/mman.h>

#include <array>
#include <cstddef>
#include <mutex>

#include "quorvel/native/buffer.hpp"

namespace quorvel {

class BlockPool {
public:
    static constexpr std::size_t k_max_blocks = 16;

    explicit BlockPool(std::size_t max_bytes = std::size_t{2} << 30) noexcept : max_bytes_(max_bytes) {}
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool() { clear(); }

    // A pooled mapping resized to exactly `bytes` (a size that Buffer maps
    // rather than mallocs), or {nullptr, 0} when there is none: the block
    // nearest in size, shrunk or grown in place where the kernel allows.
    // Contents are unspecified.
    [[nodiscard]] Allocation take(std::size_t bytes) noexcept {
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer does not model mremap (see realloc_bytes).
        (void)bytes;
        return {};
#else
        if (bytes < detail::k_mmap_threshold) return {};
        const std::size_t want = detail::round_to_pages(bytes);
        Allocation block;
        {
            std::unique_lock lock(mutex_, std::try_to_lock);
            if (!lock.owns_lock() || count_ == 0) return {};
            // The block nearest in size (by ratio): a bigger one loses its
            // tail, a smaller one grows by fresh pages.
            std::size_t best = 0;
            double best_ratio = 0.0;
            for (std::size_t k = 0; k < count_; ++k) {
                const auto have = static_cast<double>(length(blocks_[k]));
                const auto need = static_cast<double>(want);
                const double ratio = have >= need ? have / need : need / have;
                if (k == 0 || ratio < best_ratio) {
                    best = k;
                    best_ratio = ratio;
                }
            }
            block = blocks_[best];
            blocks_[best] = blocks_[--count_];
            held_ -= length(block);
        }
        const std::size_t have = length(block);
        if (have == want) return Allocation{block.ptr, bytes};
        void* moved = ::mremap(block.ptr, have, want, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) {
            ::munmap(block.ptr, have);
            return {};
        }
#ifdef MADV_HUGEPAGE
        if (want > have) ::madvise(moved, want, MADV_HUGEPAGE);
#endif
        return Allocation{moved, bytes};
#endif
    }

    // Keeps a mapping made by Buffer (its `bytes` as the buffer recorded
    // them) for a later take(), or frees it when it is small, the pool is
    // full or busy.
    void give(Allocation a) noexcept {
        if (a.ptr == nullptr) return;
        if (a.bytes >= detail::k_mmap_threshold) {
            std::unique_lock lock(mutex_, std::try_to_lock);
            const std::size_t len = length(a);
            if (lock.owns_lock() && count_ < k_max_blocks && held_ + len <= max_bytes_) {
#ifdef MADV_FREE
                ::madvise(a.ptr, len, MADV_FREE);
#endif
                blocks_[count_++] = a;
                held_ += len;
                return;
            }
        }
        free_allocation(a);
    }

    // Unmaps every pooled block.
    void clear() noexcept {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        for (std::size_t k = 0; k < count_; ++k) free_allocation(blocks_[k]);
        count_ = 0;
        held_ = 0;
    }

    // Bytes held now.
    [[nodiscard]] std::size_t held() noexcept {
        std::unique_lock lock(mutex_, std::try_to_lock);
        return lock.owns_lock() ? held_ : 0;
    }

private:
    [[nodiscard]] static std::size_t length(const Allocation& a) noexcept { return detail::round_to_pages(a.bytes); }

    std::mutex mutex_;
    std::array<Allocation, k_max_blocks> blocks_{};
    std::size_t count_ = 0;
    std::size_t held_ = 0;
    std::size_t max_bytes_;
};

}  // namespace quorvel
