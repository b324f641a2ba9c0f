// Trajectory bytes: line counting against a plain loop, UTF-8 checks, the
// byte-block parsers against the line-list parsers on the same lines (values
// bit for bit, every failure fact), and the frame scanner on each layout.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "frame_scan.hpp"
#include "vasp.hpp"
#include "xyz.hpp"

namespace ql = quorvel::ledgra;

namespace {

// The lines of a text as a str list holds them: each with its line end.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

ql::TextBlock whole(std::string_view text) { return {text, split_lines(text).size()}; }

template <class T>
void expect_same_failure(const quorvel::Result<T>& bytes, const quorvel::Result<T>& lines) {
    ASSERT_FALSE(bytes.has_value());
    ASSERT_FALSE(lines.has_value());
    EXPECT_EQ(bytes.error().message, lines.error().message);
    ASSERT_EQ(bytes.error().fault.has_value(), lines.error().fault.has_value());
    if (!lines.error().fault) return;
    EXPECT_EQ(bytes.error().fault->line, lines.error().fault->line);
    EXPECT_EQ(bytes.error().fault->field, lines.error().fault->field);
    EXPECT_EQ(bytes.error().fault->has_field, lines.error().fault->has_field);
    EXPECT_EQ(bytes.error().fault->expected, lines.error().fault->expected);
}

void expect_same_bits(const double* a, const double* b, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(std::bit_cast<uint64_t>(a[k]), std::bit_cast<uint64_t>(b[k])) << "value " << k;
    }
}

}  // namespace

TEST(SkipLines, AgreesWithALoopAcrossWindowBoundaries) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        std::string text;
        const std::size_t size = rng() % 400;
        for (std::size_t k = 0; k < size; ++k) text.push_back(rng() % 5 == 0 ? '\n' : 'x');
        const std::size_t offset = text.empty() ? 0 : rng() % (text.size() + 1);
        const std::size_t count = rng() % 60;
        // The loop: whole lines, then a last line without a line end.
        std::size_t pos = offset;
        std::size_t lines = 0;
        while (lines < count && pos < text.size()) {
            const std::size_t nl = text.find('\n', pos);
            pos = nl == std::string::npos ? text.size() : nl + 1;
            ++lines;
        }
        const ql::LineRun run = ql::skip_lines(text, offset, count);
        EXPECT_EQ(run.lines, lines) << trial;
        EXPECT_EQ(run.end, pos) << trial;
    }
    EXPECT_EQ(ql::skip_lines("a\nb", 9, 3).lines, 0u);
}

TEST(LoneCr, FindsOnlyCarriageReturnsWithoutLineFeed) {
    EXPECT_EQ(ql::find_lone_cr("a\r\nb\r\n", 0), ql::k_no_offset);
    EXPECT_EQ(ql::find_lone_cr("a\r\nb\rc", 0), 4u);
    EXPECT_EQ(ql::find_lone_cr("ab\r", 0), 2u);
    EXPECT_EQ(ql::find_lone_cr("a\rb", 2), ql::k_no_offset);
}

TEST(Utf8, StrictAsPythonsDecoder) {
    struct Case {
        std::string text;
        std::size_t bad;
    };
    const std::vector<Case> cases = {
        {"plain ascii text that is long enough for words", ql::k_no_offset},
        {"Fe \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", ql::k_no_offset},
        {"ab\xff", 2},
        {"\xc0\x80", 0},                  // overlong NUL
        {"x\xe0\x80\x80", 1},             // overlong three-byte form
        {"\xed\xa0\x80", 0},              // a surrogate
        {"\xf4\x90\x80\x80", 0},          // above U+10FFFF
        {"0123456789\xe2\x82", 10},       // cut sequence
        {"0123456789abcdef\x80", 16},     // continuation byte alone
    };
    for (const Case& c : cases) EXPECT_EQ(ql::find_invalid_utf8(c.text), c.bad) << c.text;
}

TEST(TextBlock, ShortTextAndBadBytesAreRefused) {
    const std::string text = "1 2 3\n4 5 6\n";
    auto r = ql::text_block_at(text, 0, 3);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "the text ends after 2 of the 3 lines of the block");
    r = ql::text_block_at("1 2 3\n4 \xff 6\n", 0, 2);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "line 1 of the block is not UTF-8 text (byte 0xFF at column 3)");
    r = ql::text_block_at("1 2 3\r4 5 6\n", 0, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "the block holds a lone carriage return (an old Mac line end)");
    r = ql::text_block_at(text, 6, 1);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->text, "4 5 6\n");
}

// Blocks that each parser reads from a list of lines and from bytes: the
// same values bit for bit, or the same failure.
const std::vector<std::string> k_coordinate_blocks = {
    "  0.5 -0.25\t0.0\n 1e400 nan -0\n",
    "0.1 0.2 0.3\r\n0.4 0.5 0.6\r\n",
    "0.10000000 0.20000000 0.30000000\n0.40000000 0.50000000 0.60000000",  // no last line end
    "0.1 0.2 0.3\n0.1 0.2\n",
    "0.1 0.2 0.3\n0.1 zz 0.3\n",
    "1 2 3 F T T\n4 5 6 T F\n",
    "1 2 3 F X T\n",
};

TEST(ByteBlocks, XdatcarAsFromLines) {
    for (const std::string& text : k_coordinate_blocks) {
        const auto lines = split_lines(text);
        const auto a = ql::parse_xdatcar_coords_bytes(whole(text));
        const auto b = ql::parse_xdatcar_coords(lines);
        if (!b) {
            expect_same_failure(a, b);
            continue;
        }
        ASSERT_TRUE(a.has_value()) << a.error().message;
        expect_same_bits(a->data(), b->data(), 3 * lines.size());
    }
}

TEST(ByteBlocks, PoscarAsFromLines) {
    for (const bool selective : {false, true}) {
        for (const std::string& text : k_coordinate_blocks) {
            const auto lines = split_lines(text);
            const auto a = ql::parse_poscar_positions_bytes(whole(text), selective);
            const auto b = ql::parse_poscar_positions(lines, selective);
            if (!b) {
                expect_same_failure(a, b);
                continue;
            }
            ASSERT_TRUE(a.has_value()) << a.error().message;
            expect_same_bits(a->positions.data(), b->positions.data(), 3 * lines.size());
            ASSERT_EQ(a->flags.has_value(), b->flags.has_value());
            if (selective) {
                EXPECT_EQ(std::vector<uint8_t>(a->flags->data(), a->flags->data() + 3 * lines.size()),
                          std::vector<uint8_t>(b->flags->data(), b->flags->data() + 3 * lines.size()));
            }
        }
    }
}

TEST(ByteBlocks, XyzAsFromLines) {
    const std::vector<std::string> blocks = {
        "fe 0.5 -0.25 0\nO 1 2 3\r\nh\t4 5 6 extra\n",
        "\xc3\xa9x 1 2 3\n",  // a non-ASCII symbol
        "C 1 2 3\n\n",
        "C 1 2\n",
        "C 1 2 x3\n",
    };
    for (const std::string& text : blocks) {
        const auto lines = split_lines(text);
        const auto a = ql::parse_xyz_block_bytes(whole(text));
        const auto b = ql::parse_xyz_block(lines);
        if (!b) {
            expect_same_failure(a, b);
            continue;
        }
        ASSERT_TRUE(a.has_value()) << a.error().message;
        EXPECT_EQ(a->symbol_text, b->symbol_text);
        EXPECT_EQ(a->symbol_ends, b->symbol_ends);
        expect_same_bits(a->positions.data(), b->positions.data(), 3 * lines.size());
    }
}

TEST(ByteBlocks, ManyXdatcarFramesAsOneBlockEach) {
    const std::string text = "h\n0.1 0.2 0.3\n0.4 0.5 0.6\nD\n0.7 0.8 0.9\n1 1 1\n";
    const std::vector<int64_t> blocks = {2, 28};
    const auto r = ql::parse_xdatcar_frames(text, blocks, 2);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    const auto last = ql::parse_xdatcar_coords(split_lines(std::string_view(text).substr(28)));
    expect_same_bits(r->data() + 6, last->data(), 6);
    const auto bad = ql::parse_xdatcar_frames(text, std::vector<int64_t>{2, 26}, 2);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().message, "XDATCAR: cannot parse 'D' on line 0: invalid float literal");
}

namespace {

std::string xdatcar_frame(const char* head, int atoms) {
    std::string s = head;
    for (int k = 0; k < atoms; ++k) s += "  0.10000000  0.20000000  0.30000000\n";
    return s;
}

const std::string k_header = "Si\n 1.0\n 5 0 0\n 0 5 0\n 0 0 5\n Si\n 2\n";

}  // namespace

struct ScanCase {
    const char* name;
    std::string text;
    std::vector<int64_t> start_lines;
    std::vector<int64_t> kinds;
    ql::ScanStop reason;
    int64_t stop_line;
};

TEST(ScanXdatcar, Layouts) {
    const std::string direct = xdatcar_frame("Direct configuration=     1\n", 2);
    const std::string cart = xdatcar_frame("cartesian configuration=     2\n", 2);
    const std::vector<ScanCase> cases = {
        {"fixed cell", k_header + direct + cart + "\n\n", {8, 11}, {0, 1}, ql::ScanStop::end, 14},
        {"blank separated", k_header + "\n" + xdatcar_frame("", 2) + " \n" + xdatcar_frame("", 2), {9, 12}, {2, 2},
         ql::ScanStop::end, 14},
        {"variable cell", k_header + direct + k_header + cart, {8, 11}, {0, 3}, ql::ScanStop::end, 21},
        // An empty comment opens the second header: the reader decides.
        {"variable cell, empty comment", k_header + direct + "\n" + k_header.substr(3) + cart, {8}, {0},
         ql::ScanStop::unread, 11},
        {"blank line, then a header", k_header + direct + "\n" + k_header + cart, {8, 12}, {0, 3},
         ql::ScanStop::end, 22},
        {"cut in a frame", k_header + direct + xdatcar_frame("Direct configuration=     2\n", 1), {8}, {0},
         ql::ScanStop::cut, 11},
        {"last line cut", k_header + direct + "Direct configuration= 2\n 0.1 0.2 0.3\n 0.1 0.2", {8}, {0},
         ql::ScanStop::cut, 11},
        {"a word that is not a configuration", k_header + direct + "Directions\n", {8}, {0}, ql::ScanStop::cut, 11},
        {"a Unicode blank", k_header + direct + "\xc2\xa0\n" + direct, {8}, {0}, ql::ScanStop::unread, 11},
        {"no configuration line", k_header + xdatcar_frame("", 2), {}, {}, ql::ScanStop::unread, 8},
        {"header only", k_header, {}, {}, ql::ScanStop::end, 8},
        {"a lone CR in atom lines", k_header + direct + xdatcar_frame("Direct configuration= 2\n", 1) + " 0.1\r0.2\n",
         {8}, {0}, ql::ScanStop::unread, 11},
        {"a lone CR ends a configuration line", k_header + direct + "Direct\r" + xdatcar_frame("", 2), {8}, {0},
         ql::ScanStop::unread, 11},
    };
    for (const ScanCase& c : cases) {
        const ql::FrameTable t = ql::scan_xdatcar(c.text, k_header.size(), 8, 2, 0, false);
        EXPECT_EQ(t.start_lines, c.start_lines) << c.name;
        EXPECT_EQ(std::vector<int64_t>(t.kinds.begin(), t.kinds.end()), c.kinds) << c.name;
        EXPECT_EQ(t.reason, c.reason) << c.name;
        EXPECT_EQ(static_cast<int64_t>(t.stop_line), c.stop_line) << c.name;
        for (std::size_t k = 0; k < t.size(); ++k) {
            // Each block holds the frame's atom lines.
            const auto block = ql::text_block_at(c.text, static_cast<std::size_t>(t.blocks[k]), 2);
            ASSERT_TRUE(block.has_value());
            EXPECT_TRUE(block->text.starts_with("  0.1")) << c.name;
            EXPECT_EQ(t.atoms[k], 2);
        }
    }
}

TEST(ScanXyz, CountsThatChangeCutsAndOddLines) {
    const std::string frames = "2\nfirst\nH 0 0 0\nH 0 0 1\n\n 3 \r\nsecond\r\nO 0 0 0\r\nH 1 0 0\r\nH 0 1 0\r\n";
    ql::FrameTable t = ql::scan_xyz(frames, 0, 1);
    EXPECT_EQ(t.start_lines, (std::vector<int64_t>{1, 6}));
    EXPECT_EQ(t.block_lines, (std::vector<int64_t>{3, 8}));
    EXPECT_EQ(t.atoms, (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(t.reason, ql::ScanStop::end);
    EXPECT_EQ(std::string_view(frames).substr(static_cast<std::size_t>(t.blocks[1]), 7), "O 0 0 0");

    t = ql::scan_xyz(frames + "4\ncut\nH 0 0 0\n", 0, 1);
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.reason, ql::ScanStop::cut);
    EXPECT_EQ(t.stop_line, 11u);

    t = ql::scan_xyz(frames + "two\n", 0, 1);
    EXPECT_EQ(t.reason, ql::ScanStop::unread);
    EXPECT_EQ(t.stop, frames.size());

    t = ql::scan_xyz("0\nempty frame\n1\nc\nX 1 2 3", 0, 1);
    EXPECT_EQ(t.atoms, (std::vector<int64_t>{0}));
    EXPECT_EQ(t.reason, ql::ScanStop::cut);  // the last atom line lacks its line end
}

TEST(TextBlock, OnePassAgreesWithTheSeparateChecks) {
    std::mt19937 rng(11);
    const char* pieces[] = {"\n", "\r", "\r\n", "x", "0.5 ", "\xc3\xa9", "\xff"};
    for (int trial = 0; trial < 2000; ++trial) {
        std::string text;
        const std::size_t parts = rng() % 120;
        for (std::size_t k = 0; k < parts; ++k) {
            const auto r = static_cast<unsigned>(rng() % 100);
            text += pieces[r < 10 ? 0 : r < 12 ? 1 : r < 16 ? 2 : r < 70 ? 3 : r < 96 ? 4 : r < 99 ? 5 : 6];
        }
        const std::size_t offset = text.empty() ? 0 : rng() % (text.size() + 1);
        const std::size_t rows = rng() % 12;
        const ql::LineRun run = ql::skip_lines(text, offset, rows);
        std::string want;
        if (run.lines < rows) {
            want = "ends";
        } else if (ql::find_lone_cr(std::string_view(text).substr(0, run.end), offset) != ql::k_no_offset) {
            want = "lone";
        } else if (ql::find_invalid_utf8(std::string_view(text).substr(offset, run.end - offset)) !=
                   ql::k_no_offset) {
            want = "utf8";
        }
        const auto got = ql::text_block_at(text, offset, rows);
        const std::string got_kind = got.has_value() ? ""
                                     : got.error().message.find("ends after") != std::string::npos ? "ends"
                                     : got.error().message.find("carriage") != std::string::npos   ? "lone"
                                                                                                    : "utf8";
        ASSERT_EQ(got_kind, want) << trial;
        if (got.has_value() && rows > 0) {
            EXPECT_EQ(got->text.size(), run.end - offset) << trial;
        }
    }
}
