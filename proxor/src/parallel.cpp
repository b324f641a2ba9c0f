// Per-call threads with a stop flag, a polling calling thread and exception
// capture.
#include "parallel.hpp"

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvel::proxor::detail {

namespace {

constexpr auto k_poll_interval = std::chrono::milliseconds(100);

// ceil(quota / period) from the cgroup files; 0 when there is no quota.
unsigned cgroup_cpu_limit() noexcept {
    double quota = 0.0;
    double period = 0.0;
    if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu.max", "r")) {
        char text[32] = "";
        if (std::fscanf(f, "%31s %lf", text, &period) == 2 && std::sscanf(text, "%lf", &quota) != 1) quota = 0.0;
        (void)std::fclose(f);
    } else {
        if (std::FILE* q = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "r")) {
            if (std::fscanf(q, "%lf", &quota) != 1) quota = 0.0;
            (void)std::fclose(q);
        }
        if (std::FILE* p = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "r")) {
            if (std::fscanf(p, "%lf", &period) != 1) period = 0.0;
            (void)std::fclose(p);
        }
    }
    if (!(quota > 0.0) || !(period > 0.0)) return 0;
    const double cpus = quota / period;
    if (cpus >= 4096.0) return 4096;
    const auto whole = static_cast<unsigned>(cpus);
    return static_cast<double>(whole) < cpus ? whole + 1 : whole;
}

// Asks `caller` only when the interval has passed since it was last asked,
// and remembers a yes.
struct GatedCheck {
    const CancelCheck* caller;
    std::atomic<bool>* stop;
    std::chrono::steady_clock::time_point next;

    static bool poll(void* context) noexcept {
        auto* self = static_cast<GatedCheck*>(context);
        if (self->stop->load(std::memory_order_relaxed)) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now < self->next) return false;
        self->next = now + k_poll_interval;
        if ((*self->caller)()) {
            self->stop->store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }
};

bool flag_set(void* context) noexcept { return static_cast<std::atomic<bool>*>(context)->load(std::memory_order_relaxed); }

}  // namespace

unsigned available_cpus() noexcept {
    unsigned cpus = 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) cpus = static_cast<unsigned>(n);
    } else {
        const unsigned hw = std::thread::hardware_concurrency();
        if (hw > 0) cpus = hw;
    }
    const unsigned limit = cgroup_cpu_limit();
    if (limit > 0 && limit < cpus) cpus = limit;
    return cpus;
}

unsigned plan_threads(unsigned requested, std::size_t work, std::size_t min_per_thread) noexcept {
    unsigned threads = requested == 0 ? available_cpus() : requested;
    const std::size_t most = min_per_thread == 0 ? work : work / min_per_thread;
    if (most < threads) threads = static_cast<unsigned>(most);
    return threads == 0 ? 1 : threads;
}

bool run_parallel(unsigned threads, const std::function<void(unsigned, const CancelCheck&)>& work,
                  const CancelCheck& caller) {
    std::atomic<bool> stop{false};
    if (threads <= 1) {
        GatedCheck gate{&caller, &stop, std::chrono::steady_clock::now() + k_poll_interval};
        work(0, CancelCheck{&GatedCheck::poll, &gate});
        return !stop.load();
    }

    const CancelCheck check{&flag_set, &stop};
    std::mutex mutex;
    std::condition_variable done;
    unsigned running = 0;
    std::exception_ptr failure;
    bool cancelled = false;
    {
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        try {
            for (unsigned t = 0; t < threads; ++t) {
                {
                    const std::lock_guard lock(mutex);
                    ++running;
                }
                try {
                    pool.emplace_back([&, t] {
                        try {
                            work(t, check);
                        } catch (...) {
                            const std::lock_guard lock(mutex);
                            if (!failure) failure = std::current_exception();
                            stop.store(true);
                        }
                        const std::lock_guard lock(mutex);
                        --running;
                        done.notify_all();
                    });
                } catch (...) {
                    const std::lock_guard lock(mutex);
                    --running;
                    throw;
                }
            }
        } catch (...) {
            // No thread to run on: the process is out of memory or of
            // threads (std::system_error). The started ones stop and are
            // joined by the pool.
            stop.store(true);
            std::exception_ptr why = std::current_exception();
            try {
                throw;
            } catch (const std::system_error&) {
                why = std::make_exception_ptr(std::bad_alloc());
            } catch (...) {
            }
            const std::lock_guard lock(mutex);
            if (!failure) failure = why;
        }
        std::unique_lock lock(mutex);
        while (running > 0) {
            if (done.wait_for(lock, k_poll_interval, [&] { return running == 0; })) break;
            lock.unlock();
            if (!stop.load() && caller()) {
                cancelled = true;
                stop.store(true);
            }
            lock.lock();
        }
    }  // joins every thread
    if (failure) std::rethrow_exception(failure);
    return !cancelled;
}

}  // namespace quorvel::proxor::detail
