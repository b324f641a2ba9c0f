// Symbols as str objects, one object per distinct symbol, for the entries
// that return a block's symbols.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quorvel/binding/python.hpp"
#include "quorvel/binding/ref.hpp"
#include "quorvel/binding/results.hpp"

namespace quorvel::binding {

// New references to str objects for symbols, one object per distinct symbol
// while the cache has room; the views must outlive the cache. Symbols of up
// to seven bytes, which is all real ones, are packed with their length into
// one integer and found in a small open-addressing table; longer ones go
// through a hash map.
class SymbolCache {
public:
    [[nodiscard]] PyObject* get(std::string_view symbol) {
        if (symbol.size() - 1 < 7) {
            uint64_t key = uint64_t{symbol.size()} << 56;
            for (std::size_t k = 0; k < symbol.size(); ++k) {
                key |= uint64_t{static_cast<unsigned char>(symbol[k])} << (8 * k);
            }
            std::size_t slot = (key * 0x9E3779B97F4A7C15ull) >> (64 - k_slot_bits);
            while (short_[slot].key != 0) {
                if (short_[slot].key == key) return Py_NewRef(short_[slot].str);
                slot = (slot + 1) & (k_slots - 1);
            }
            return make(symbol, [&](PyObject* str) { short_[slot] = {key, str}; });
        }
        if (auto it = long_.find(symbol); it != long_.end()) return Py_NewRef(it->second);
        return make(symbol, [&](PyObject* str) { long_.emplace(symbol, str); });
    }

private:
    // A new str for a symbol not seen yet, entered with `keep` while there is room.
    template <class Keep>
    [[nodiscard]] PyObject* make(std::string_view symbol, Keep&& keep) {
        Ref s = new_string(symbol);
        if (!s) return nullptr;
        if (kept_.size() < k_capacity) {
            keep(s.get());
            kept_.push_back(Ref::borrow(s.get()));
        }
        return s.release();
    }

    static constexpr std::size_t k_capacity = 256;
    static constexpr unsigned k_slot_bits = 9;  // twice the capacity
    static constexpr std::size_t k_slots = std::size_t{1} << k_slot_bits;
    struct Slot {
        uint64_t key = 0;  // 0: free (no symbol is empty here)
        PyObject* str = nullptr;
    };
    std::vector<Slot> short_ = std::vector<Slot>(k_slots);
    std::unordered_map<std::string_view, PyObject*> long_;
    std::vector<Ref> kept_;  // owns every str of both tables
};

}  // namespace quorvel::binding
