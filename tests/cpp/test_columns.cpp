// The fixed-column reader must read every line exactly as the field-by-field
// parser does: the same status, the same values bit for bit, the same
// offending field and the same position afterwards, whatever the line holds
// and however often the layout changes.
//
// Every test here is about the vector path: without it next3 is the field
// parser itself, so the tests skip (saying which instruction sets the CPU
// lacks) rather than compare the field parser with itself. The field parser
// is checked against independent references in test_text.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "columns.hpp"
#include "fields.hpp"

namespace ql = quorvel::ledgra;
using FloatField = ql::FieldSplitter::FloatField;

namespace {

struct Outcome {
    FloatField status;
    double values[4];
    std::string_view field;
    std::vector<std::string_view> rest;  // the fields after the three
};

Outcome read_line(std::string_view line, bool symbol_first, ql::ColumnReader* reader) {
    Outcome o{};
    std::memset(o.values, 0x5A, sizeof o.values);  // out[3] must stay untouched
    ql::FieldSplitter fields(line);
    std::string_view symbol;
    if (symbol_first && !fields.next(symbol)) {
        o.status = FloatField::missing;
        return o;
    }
    o.status = reader != nullptr ? reader->next3(line, fields, o.values, o.field)
                                 : fields.next_floats(o.values, 3, o.field);
    if (o.status == FloatField::ok) {
        std::string_view f;
        while (fields.next(f)) o.rest.push_back(f);
    }
    return o;
}

::testing::AssertionResult same_outcome(const Outcome& want, const Outcome& got, std::string_view line) {
    auto fail = [&](const char* what) {
        std::string shown;
        for (const char c : line) {
            if (c >= 32 && c < 127) {
                shown += c;
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
                shown += buf;
            }
        }
        return ::testing::AssertionFailure() << what << " differs on \"" << shown << "\"";
    };
    if (want.status != got.status) return fail("status");
    if (want.status == FloatField::invalid &&
        (want.field.data() != got.field.data() || want.field.size() != got.field.size())) {
        return fail("offending field");
    }
    const std::size_t n = want.status == FloatField::ok ? 3 : 0;
    if (std::memcmp(want.values + 3, got.values + 3, sizeof(double)) != 0) return fail("value after the three");
    if (std::memcmp(want.values, got.values, n * sizeof(double)) != 0) return fail("values");
    if (want.rest != got.rest) return fail("following fields");
    return ::testing::AssertionSuccess();
}

// Reads the block with one reader and checks every line against the field
// parser. Returns how many lines the layout path read.
std::size_t check_block(const std::vector<std::string>& lines, bool symbol_first) {
    ql::ColumnReader reader;
    for (const std::string& line : lines) {
        const Outcome want = read_line(line, symbol_first, nullptr);
        const Outcome got = read_line(line, symbol_first, &reader);
        EXPECT_TRUE(same_outcome(want, got, line));
    }
    return reader.layout_lines();
}

struct Family {
    const char* name;
    const char* format;  // three %f conversions, after a %s when symbol_first
    bool symbol_first;
    double low, high;
    bool fixed_columns;  // whether the numbers sit in fixed columns a layout can hold
};

std::string format_line(const Family& f, std::mt19937_64& rng, double low, double high) {
    std::uniform_real_distribution<double> u(low, high);
    char buf[512];
    if (f.symbol_first) {
        static const char* symbols[] = {"H", "Fe", "O", "Cu"};
        std::snprintf(buf, sizeof buf, f.format, symbols[rng() % 4], u(rng), u(rng), u(rng));
    } else {
        std::snprintf(buf, sizeof buf, f.format, u(rng), u(rng), u(rng));
    }
    return buf;
}

// `line` with `count` bytes at `at` replaced by `text`, built afresh (GCC 12
// warns wrongly about std::string::insert with a constant here).
std::string splice(const std::string& line, std::size_t at, std::size_t count, std::string_view text) {
    std::string out;
    out.reserve(line.size() + text.size());
    out.append(line.data(), at);
    out.append(text);
    out.append(line.data() + at + count, line.size() - at - count);
    return out;
}

// Edits that take a line out of its layout, or keep it in while changing
// what the fast path must notice (signs, integer digits, the tail).
std::string perturb(std::string line, std::mt19937_64& rng) {
    if (line.empty()) return line;
    const std::size_t at = rng() % line.size();
    switch (rng() % 16) {
        case 0: line[at] = 'e'; break;
        case 1: line[at] = '\0'; break;
        case 2: line = splice(line, at, 1, "\xC2\xA0"); break;
        case 3: line[at] = '\v'; break;
        case 4: line[at] = '\t'; break;
        case 5: line[at] = '-'; break;
        case 6: line[at] = '+'; break;
        case 7: line[at] = '.'; break;
        case 8: line.resize(at); break;
        case 9: line = splice(line, at, 0, " "); break;
        case 10: line.erase(at, 1); break;
        case 11: line = splice(line, 0, 0, std::string(rng() % 100, ' ')); break;
        case 12: line[at] = static_cast<char>('0' + rng() % 10); break;
        case 13: line = splice(line, at, 0, "e5"); break;
        case 14: line = splice(line, at, 0, "1"); break;
        default: line.pop_back(); break;  // the newline, or a digit
    }
    return line;
}

const Family k_families[] = {
    {"PoscarFraction", "%20.16f%20.16f%20.16f\n", false, 0.0, 1.0, true},
    {"PoscarCartesian", " %19.12f %19.12f %19.12f\n", false, -99.0, 99.0, true},
    {"PoscarFlags", " %19.16f %19.16f %19.16f   T   F   T\n", false, -1.0, 1.0, true},
    {"Xdatcar", "  %11.8f %11.8f %11.8f\n", false, -0.1, 1.0, true},
    {"Xyz", "%-2s %22.15f %22.15f %22.15f\n", true, -25.0, 25.0, true},
    // Not in fixed columns: tab-separated, no separator after the last
    // number, a point beyond the first 64 bytes, more than 19 digits.
    {"XyzTabs", "%s\t%.6f\t%.6f\t%.6f\r\n", true, -250.0, 250.0, false},
    {"NoNewline", "%12.6f%12.6f%12.6f", false, -9.0, 9.0, false},
    {"LongLine", "%60.10f %30.10f %30.10f\n", false, -1e5, 1e5, false},
    {"WideIntegers", "%24.4f%24.4f%24.4f\n", false, -1e17, 1e17, false},
};

// Skips the test where next3 has no vector path to compare.
class VectorPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ql::ColumnReader::vector_path_available()) {
            GTEST_SKIP() << "column reader's vector path not run: " << ql::ColumnReader::level_description();
        }
    }
};

class Columns : public VectorPath, public ::testing::WithParamInterface<Family> {};

TEST_P(Columns, CleanBlocksMatchAndUseTheLayout) {
    const Family& f = GetParam();
    std::mt19937_64 rng(7);
    std::vector<std::string> lines;
    for (int i = 0; i < 4000; ++i) lines.push_back(format_line(f, rng, f.low, f.high));
    const std::size_t fast = check_block(lines, f.symbol_first);
    if (f.fixed_columns) {
        EXPECT_GT(fast, lines.size() * 9 / 10) << f.name;
    }
}

TEST_P(Columns, PerturbedLinesMatch) {
    const Family& f = GetParam();
    std::mt19937_64 rng(11);
    std::vector<std::string> lines;
    for (int i = 0; i < 20000; ++i) {
        std::string line = format_line(f, rng, f.low, f.high);
        if (rng() % 4 == 0) line = perturb(line, rng);
        if (rng() % 16 == 0) line = perturb(line, rng);
        lines.push_back(std::move(line));
    }
    check_block(lines, f.symbol_first);
}

INSTANTIATE_TEST_SUITE_P(Families, Columns, ::testing::ValuesIn(k_families),
                         [](const auto& family) { return std::string(family.param.name); });

// Values whose digits sit on the rounding boundaries: mantissas around 2^53
// (the end of the one-division rounding), exact halfway cases, zeros.
TEST_F(VectorPath, RoundingBoundariesMatch) {
    std::vector<std::string> lines;
    const char* fields[] = {"9007199254740992", "9007199254740993", "9007199254740991", "0.9007199254740993",
                            "-0.9007199254740993", "0.0000000000000000", "-0.0000000000000000",
                            "9999999999999999.9", "0.1000000000000000055511151231257827",
                            "1.00000000000000011102230246251565404", "-5.0000000000000000", "7.0"};
    for (const char* a : fields) {
        for (const char* b : fields) {
            char buf[256];
            std::snprintf(buf, sizeof buf, "%24s%24s%24s\n", a, b, "0.5");
            lines.emplace_back(buf);
            std::snprintf(buf, sizeof buf, "%24s%24s%24s\n", "0.5", a, b);
            lines.emplace_back(buf);
        }
    }
    check_block(lines, false);
}

// Mantissas beyond 2^53 on most lines: the reader then rounds with the
// reciprocal product. Odd integers between 2^53 and 2^60 with one fraction
// digit are exact halfway cases (".0", ".5") or lie next to them.
TEST_F(VectorPath, LongMantissasRoundAsTheFieldParser) {
    std::mt19937_64 rng(5);
    std::vector<std::string> lines;
    for (int i = 0; i < 6000; ++i) {
        std::string line;
        for (int k = 0; k < 3; ++k) {
            const unsigned bits = 53 + static_cast<unsigned>(rng() % 4);
            const uint64_t n = (uint64_t{1} << bits) + ((rng() % (uint64_t{1} << 20)) | 1u);
            char field[64];
            const unsigned digit = i % 3 == 0 ? 0u : static_cast<unsigned>(rng() % 10);
            std::snprintf(field, sizeof field, "%s%llu.%u", rng() % 2 ? "-" : "", static_cast<unsigned long long>(n),
                          digit);
            char padded[64];
            std::snprintf(padded, sizeof padded, "%21s", field);
            line += padded;
        }
        lines.push_back(line + "\n");
    }
    EXPECT_GT(check_block(lines, false), lines.size() * 9 / 10);
}

// A reader keeps working across layouts that change mid-block, reads field
// by field while layouts change on every line, and takes up a steady layout
// again afterwards.
TEST_F(VectorPath, ChangingLayoutsMatch) {
    std::mt19937_64 rng(3);
    std::vector<std::string> lines;
    for (int i = 0; i < 12000; ++i) {
        const bool steady = i < 3000 || i >= 6000;
        const int width = steady ? 14 : 10 + static_cast<int>(rng() % 12);
        const int precision = steady ? 7 : 1 + static_cast<int>(rng() % 8);
        std::uniform_real_distribution<double> u(-50.0, 50.0);
        char buf[256];
        std::snprintf(buf, sizeof buf, "%*.*f %*.*f %*.*f\n", width, precision, u(rng), width, precision, u(rng),
                      width, precision, u(rng));
        lines.emplace_back(buf);
    }
    EXPECT_GT(check_block(lines, false), std::size_t{4500});
}

// The description names what the kernel reports of the CPU: the vector path,
// or each instruction set it needs that /proc/cpuinfo does not list.
TEST(ColumnReaderLevel, DescriptionAgreesWithCpuinfo) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "no vector path on this architecture: " << ql::ColumnReader::level_description();
#else
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::set<std::string> flags;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
        break;
    }
    if (flags.empty()) GTEST_SKIP() << "/proc/cpuinfo lists no CPU flags here";
    // The vector path's instruction sets under their /proc/cpuinfo names.
    const std::pair<const char*, const char*> needed[] = {
        {"popcnt", "popcnt"},     {"bmi", "bmi1"},          {"bmi2", "bmi2"},         {"avx2", "avx2"},
        {"avx512f", "avx512f"},   {"avx512bw", "avx512bw"}, {"avx512vl", "avx512vl"}, {"avx512dq", "avx512dq"},
        {"avx512cd", "avx512cd"}, {"avx512vbmi", "avx512vbmi"}};
    std::string missing;
    for (const auto& [name, flag] : needed) {
        if (flags.count(flag) != 0) continue;
        missing += missing.empty() ? "" : ", ";
        missing += name;
    }
    const std::string want =
        missing.empty() ? "avx512 (vbmi) vector path" : "field parser (this CPU lacks: " + missing + ")";
    EXPECT_EQ(ql::ColumnReader::level_description(), want);
    EXPECT_EQ(ql::ColumnReader::vector_path_available(), missing.empty());
#endif
}

}  // namespace
