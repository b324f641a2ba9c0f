// Element symbols of XYZ blocks: normalised case (first letter upper, the
// rest lower) with Unicode's full case mappings from unicode_case.hpp.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::ledgra {

// Scratch space reused across the symbols of one call, so that only
// non-ASCII symbols touch it and nothing is allocated per line.
struct SymbolScratch {
    std::u32string code_points;
};

// Appends the normalised form of `field` to `out`: the whole field lowercased
// with the default full case mapping (with the final-sigma rule, using Cased
// and Case_Ignorable), then its first character replaced by its full
// uppercase mapping. Pure-ASCII fields take a byte-wise path. Bytes that are
// not valid UTF-8 are copied through unchanged.
void append_normalised_symbol(std::string& out, std::string_view field, SymbolScratch& scratch);

}  // namespace quorvel::ledgra
