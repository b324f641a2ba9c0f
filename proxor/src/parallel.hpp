// Threads of one call: started, polled for cancellation and joined within
// the call, so no thread outlives it (a process forked afterwards has
// nothing of them).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "quorvel/native/failure.hpp"

namespace quorvel::proxor::detail {

// The CPUs this process may use: its affinity mask, lowered to the cgroup
// CPU quota (cgroup v2 cpu.max, or v1 cfs quota) when one is set. At least 1.
[[nodiscard]] unsigned available_cpus() noexcept;

// The number of threads a call runs on: `requested` (0 = available_cpus()),
// lowered so that each thread has at least `min_per_thread` of `work`
// units; at least 1.
[[nodiscard]] unsigned plan_threads(unsigned requested, std::size_t work, std::size_t min_per_thread) noexcept;

// Runs work(t, stop) for t in [0, threads). With one thread it runs on the
// calling thread, and `stop` asks `caller` at most about every 100 ms. With
// more, each runs on a thread of its own while the calling thread waits and
// asks `caller` about every 100 ms; `caller` is only ever called on the
// calling thread. Work polls `stop` now and then and returns early when it
// says so; that happens once `caller` said so or a work item threw.
// Returns false when cancelled. The first exception thrown by a work item
// is rethrown once every thread has been joined; a thread that cannot be
// started throws std::bad_alloc.
[[nodiscard]] bool run_parallel(unsigned threads, const std::function<void(unsigned, const CancelCheck&)>& work,
                                const CancelCheck& caller);

}  // namespace quorvel::proxor::detail
