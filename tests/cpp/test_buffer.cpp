// Owned buffers: every way of making one gives writable memory of the asked
// size, zeroed where promised, that keeps its contents when it grows or
// shrinks across the malloc / mmap boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "quorvel/native/block_pool.hpp"
#include "quorvel/native/buffer.hpp"

namespace {

using quorvel::Buffer;

struct Making {
    const char* name;
    Buffer<uint8_t> (*make)(std::size_t);
    bool zero;
};

const Making k_makings[] = {
    {"Uninitialized", &Buffer<uint8_t>::uninitialized, false},
    {"Zeroed", &Buffer<uint8_t>::zeroed, true},
    {"ZeroedAligned", &Buffer<uint8_t>::zeroed_aligned, true},
};

class Buffers : public ::testing::TestWithParam<std::tuple<Making, std::size_t>> {};

TEST_P(Buffers, WholeSizeUsableAndKeptAcrossResizes) {
    const auto& [making, n] = GetParam();
    Buffer<uint8_t> b = making.make(n);
    ASSERT_EQ(b.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
        if (making.zero) {
            ASSERT_EQ(b[k], 0) << k;
        }
        b[k] = static_cast<uint8_t>(k * 7 + 1);  // every byte written: the tail must be mapped
    }
    if (std::string_view(making.name) == "ZeroedAligned" && n >= (std::size_t{2} << 20)) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % (std::size_t{2} << 20), 0u);
    }
    for (const std::size_t m : {n + n / 2 + 4096, n / 3, n}) {
        const std::size_t kept = m < b.size() ? m : b.size();
        b.resize(m);
        ASSERT_EQ(b.size(), m);
        for (std::size_t k = 0; k < kept; ++k) ASSERT_EQ(b[k], static_cast<uint8_t>(k * 7 + 1)) << k;
        for (std::size_t k = kept; k < m; ++k) b[k] = static_cast<uint8_t>(k * 7 + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Buffers,
    ::testing::Combine(::testing::ValuesIn(k_makings),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, (std::size_t{1} << 20) - 1,
                                         std::size_t{1} << 20, (std::size_t{2} << 20) - 4096,
                                         std::size_t{2} << 20, (std::size_t{2} << 20) + 1,
                                         (std::size_t{5} << 20) + 123)),
    [](const auto& p) {
        return std::string(std::get<0>(p.param).name) + "_" + std::to_string(std::get<1>(p.param));
    });

}  // namespace

// The pool of freed mappings: the block nearest in size comes back, resized
// to the exact request and writable; it holds no more than its bounds.
namespace {

using quorvel::Allocation;
using quorvel::BlockPool;

constexpr std::size_t k_mib = std::size_t{1} << 20;

Allocation mapped(std::size_t bytes) { return Buffer<uint8_t>::uninitialized(bytes).release(); }

TEST(BlockPool, GivesBackTheNearestBlockResizedAndWritable) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the pool maps nothing under ThreadSanitizer";
#endif
    BlockPool pool;
    EXPECT_EQ(pool.take(4 * k_mib).ptr, nullptr);
    const Allocation small = mapped(2 * k_mib);
    const Allocation large = mapped(12 * k_mib);
    pool.give(small);
    pool.give(large);
    EXPECT_EQ(pool.held(), 14 * k_mib);
    for (const std::size_t want : {std::size_t{11} * k_mib, 2 * k_mib - 5000}) {
        const Allocation got = pool.take(want);
        ASSERT_NE(got.ptr, nullptr);
        EXPECT_EQ(got.bytes, want);
        EXPECT_EQ(got.ptr, want > 4 * k_mib ? large.ptr : small.ptr);  // shrunk in place
        auto b = Buffer<uint8_t>::adopt(got, want);
        std::memset(b.data(), 0x5a, want);
        b.resize(want + 3 * k_mib);
        EXPECT_EQ(b[want - 1], 0x5a);
    }
    EXPECT_EQ(pool.held(), 0u);
    EXPECT_EQ(pool.take(2 * k_mib).ptr, nullptr);
}

TEST(BlockPool, KeepsWithinItsBoundsAndNothingSmall) {
    BlockPool pool(8 * k_mib);
    pool.give(Buffer<uint8_t>::uninitialized(1000).release());  // malloc'd: freed, not kept
    EXPECT_EQ(pool.held(), 0u);
    for (int k = 0; k < 3; ++k) pool.give(mapped(3 * k_mib));
    EXPECT_EQ(pool.held(), 6 * k_mib);  // the third would pass 8 MiB
    BlockPool many;
    for (std::size_t k = 0; k < BlockPool::k_max_blocks + 4; ++k) many.give(mapped(k_mib));
    EXPECT_EQ(many.held(), BlockPool::k_max_blocks * k_mib);
    many.clear();
    EXPECT_EQ(many.held(), 0u);
}

}  // namespace
