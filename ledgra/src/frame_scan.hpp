// Trajectory files as bytes: lines counted without parsing them, the blocks
// of atom lines the block parsers read straight from a file's bytes, and
// the scanner that finds where every frame of an XDATCAR or XYZ file starts.
//
// Python-free: a file's bytes in (a memory map or a buffer), offsets and
// counts out. The scanner parses no number; it takes only the frames whose
// shape it is sure of and stops where a reader must look closer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "quorvel/native/failure.hpp"
#include "text_block.hpp"

namespace quorvel::ledgra {

inline constexpr std::size_t k_no_offset = static_cast<std::size_t>(-1);

// Where `count` lines from `offset` end: `end` is the offset after the last
// one's '\n' (or the end of the text, for a last line without one) and
// `lines` how many there were, fewer than `count` only at the end of the
// text. An offset past the end counts no line.
struct LineRun {
    std::size_t end = 0;
    std::size_t lines = 0;
};
[[nodiscard]] LineRun skip_lines(std::string_view text, std::size_t offset, std::size_t count) noexcept;

// The offset of the first '\r' at or after `offset` that is not followed by
// '\n' (a line end of old Mac files), or k_no_offset.
[[nodiscard]] std::size_t find_lone_cr(std::string_view text, std::size_t offset) noexcept;

// The offset of the first byte of `text` that does not belong to a UTF-8
// sequence (as Python's strict UTF-8 decoder reads it: no overlong forms,
// no surrogates, nothing above U+10FFFF), or k_no_offset.
[[nodiscard]] std::size_t find_invalid_utf8(std::string_view text) noexcept;

// The `rows` lines from `offset` as a block, or a ValueError when the text
// ends before them ("... ends after K of the N lines ..."), holds a lone
// '\r' (a text stream would split the lines there) or one of them is not
// UTF-8 text (a list of str could not hold it either).
[[nodiscard]] Result<TextBlock> text_block_at(std::string_view text, std::size_t offset, std::size_t rows);

// How a frame starts.
enum class FrameKind : uint8_t {
    direct = 0,           // a "Direct configuration=" line
    cartesian = 1,        // a "Cartesian configuration" line
    blank_separated = 2,  // blank lines, then the atom lines (older VASP 5)
    header = 3,           // a whole VASP header, then a configuration line (variable cell)
    xyz = 4,              // an atom count and a comment line
};

// Why the scanner stopped.
enum class ScanStop : uint8_t {
    end = 0,     // nothing but blank lines left
    cut = 1,     // the text ends inside the frame at `stop`, or its last line lacks a line end
    unread = 2,  // a line the scanner does not judge (or a lone '\r'): a reader must read the frame at `stop`
};

// The frames found: for frame k, where it starts (the configuration line,
// header or count line; the first atom line for blank-separated frames),
// where its atom block starts, its atom count and its kind, with the 1-based
// line numbers of both offsets. `stop` and `stop_line` are where the
// scanner stopped: the end of the last whole frame, before any blank lines.
struct FrameTable {
    std::vector<int64_t> starts;
    std::vector<int64_t> blocks;
    std::vector<int64_t> atoms;
    std::vector<int64_t> start_lines;
    std::vector<int64_t> block_lines;
    std::vector<uint8_t> kinds;
    std::size_t stop = 0;
    std::size_t stop_line = 0;
    ScanStop reason = ScanStop::end;

    [[nodiscard]] std::size_t size() const noexcept { return starts.size(); }
};

// The frames of an XDATCAR file from `offset` (the line after the first
// header's atom counts, numbered `line`), each of `atoms` atom lines.
// `frames_before` frames were read before `offset`; `blank_separated` says
// whether those were separated by blank lines. Each frame is taken as the
// reader takes it: blank lines, then a configuration line, or (after blank
// lines, when the frames are blank-separated) the atom lines, or a header
// of at least five lines up to its configuration line.
[[nodiscard]] FrameTable scan_xdatcar(std::string_view text, std::size_t offset, std::size_t line,
                                      std::size_t atoms, std::size_t frames_before, bool blank_separated);

// The frames of a multi-frame XYZ file from `offset` (line `line`): blank
// lines, a count line (digits alone), a comment line and that many atom
// lines; the count may change from frame to frame.
[[nodiscard]] FrameTable scan_xyz(std::string_view text, std::size_t offset, std::size_t line);

}  // namespace quorvel::ledgra
