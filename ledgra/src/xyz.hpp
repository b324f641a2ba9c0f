// XYZ atom blocks.
//
// Python-free: lines in as UTF-8 string views, symbols and positions or text
// out, or a Failure whose message is the exact text to raise.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/native/buffer.hpp"
#include "quorvel/native/failure.hpp"
#include "quorvel/native/text_sink.hpp"
#include "quorvel/native/views.hpp"
#include "text_block.hpp"

namespace quorvel::ledgra {

struct XyzBlock {
    std::size_t rows = 0;
    // The normalised symbols, concatenated; symbol k is
    // symbol_text[symbol_ends[k-1] .. symbol_ends[k]) (from 0 for k = 0).
    std::string symbol_text;
    std::vector<std::size_t> symbol_ends;
    Buffer<double> positions;  // rows x 3, row-major

    [[nodiscard]] std::string_view symbol(std::size_t k) const {
        const std::size_t b = k == 0 ? 0 : symbol_ends[k - 1];
        return std::string_view(symbol_text).substr(b, symbol_ends[k] - b);
    }
};

[[nodiscard]] Result<XyzBlock> parse_xyz_block(std::span<const std::string_view> lines);
// The same from a block of a file's bytes: the same symbols, values and
// failures as for its lines.
[[nodiscard]] Result<XyzBlock> parse_xyz_block_bytes(TextBlock block);

// Reserves 75 bytes a row in `out` once the length check has passed.
// Errors: the length-mismatch ValueError; the panic "ndarray: index out of
// bounds" for rows with fewer than three columns.
[[nodiscard]] Result<void> format_xyz_block(std::span<const std::string_view> symbols,
                                            View2<double> positions, TextSink& out);

}  // namespace quorvel::ledgra
