// Prints, once per test run, which instruction-set levels the search kernels
// and the column reader run on this CPU, so a log says which vector paths
// the suites actually exercised.
#include <cstdio>
#include <string>

#include "cell_list_detail.hpp"
#include "columns.hpp"

int main() {
    namespace pd = quorvel::proxor::detail;
    const pd::Simd best = pd::best_simd();
    std::string search(pd::simd_name(best));
    for (pd::Simd level : {pd::Simd::sse2, pd::Simd::avx2, pd::Simd::avx512}) {
        if (pd::simd_supported(level)) continue;
        search += " (";
        search += pd::simd_name(level);
        search += " kernel not run: this CPU lacks ";
        search += pd::simd_feature(level);
        search += ")";
        break;
    }
    std::printf("search kernels: %s\ncolumn reader: %s\n", search.c_str(),
                quorvel::ledgra::ColumnReader::level_description().c_str());
    return 0;
}
