// Owned buffers: every way of making one gives writable memory of the asked
// size, zeroed where promised, that keeps its contents when it grows or
// shrinks across the malloc / mmap boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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
