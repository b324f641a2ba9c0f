// Message text of the block parsers' and formatters' failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvel::ledgra {

// Concatenates fixed pieces and inserted values into one message text.
[[nodiscard]] inline std::string message(std::initializer_list<std::string_view> pieces) {
    std::size_t n = 0;
    for (const auto piece : pieces) n += piece.size();
    std::string s;
    s.reserve(n);
    for (const auto piece : pieces) s.append(piece);
    return s;
}

// Decimal text of an unsigned count or line number, unpadded.
[[nodiscard]] inline std::string decimal(uint64_t value) { return std::to_string(value); }

}  // namespace quorvel::ledgra
