// POSCAR/CONTCAR position blocks and XDATCAR configuration blocks.
//
// Python-free: lines in as UTF-8 string views, arrays or text out, or a
// Failure whose message is the exact text to raise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quorvel/native/buffer.hpp"
#include "quorvel/native/failure.hpp"
#include "quorvel/native/text_sink.hpp"
#include "quorvel/native/views.hpp"
#include "text_block.hpp"

namespace quorvel::ledgra {

struct PoscarBlock {
    std::size_t rows = 0;
    Buffer<double> positions;              // rows x 3, row-major
    std::optional<Buffer<uint8_t>> flags;  // rows x 3 of 0/1 (1 = 'F', held fixed); only if selective
};

[[nodiscard]] Result<PoscarBlock> parse_poscar_positions(std::span<const std::string_view> lines,
                                                         bool selective);
// The same from a block of a file's bytes: the same values and failures as
// for its lines.
[[nodiscard]] Result<PoscarBlock> parse_poscar_positions_bytes(TextBlock block, bool selective);

// Appends the N atom lines to `out`, reserving 61 (73 with flags) bytes a row
// once the shape check has passed. `flags` (any non-zero byte is true) may
// be null. Errors: the shape ValueError; the panic "ndarray: index out of
// bounds" for rows with fewer than three columns.
[[nodiscard]] Result<void> format_poscar_positions(View2<double> coord, const View2<uint8_t>* flags,
                                                   TextSink& out);

// Returns rows x 3 fractional coordinates, row-major.
[[nodiscard]] Result<Buffer<double>> parse_xdatcar_coords(std::span<const std::string_view> lines);
[[nodiscard]] Result<Buffer<double>> parse_xdatcar_coords_bytes(TextBlock block);

// The blocks of `atoms` lines at each offset of `blocks` in `text`, one
// frame after the other: frames x atoms x 3, row-major. Fails as
// text_block_at or parse_xdatcar_coords fails on the first bad block (its
// line counted within that block).
[[nodiscard]] Result<Buffer<double>> parse_xdatcar_frames(std::string_view text, std::span<const int64_t> blocks,
                                                          std::size_t atoms);

// Reserves 30 + 40 bytes a row in `out` before writing.
[[nodiscard]] Result<void> format_xdatcar_config(View2<double> scaled_positions, uint64_t index,
                                                 TextSink& out);

}  // namespace quorvel::ledgra
