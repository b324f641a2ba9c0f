// Error values returned by the native routines.
//
// A routine never raises: it returns either its result or a Failure that the
// binding layer turns into the matching Python exception.
#pragma once

#include <expected>
#include <source_location>
#include <string>
#include <utility>

namespace quorvel {

struct Failure {
    enum class Kind {
        value_error,  // bad input data: raised as ValueError with `message`
        panic,        // runtime abort reachable by input: raised as PanicException
        cancelled,    // the caller's cancellation check asked to stop
    };
    Kind kind = Kind::value_error;
    std::string message;
    // Where a panic was raised; reported in the stderr diagnostic.
    const char* file = "";
    unsigned line = 0;
};

template <class T>
using Result = std::expected<T, Failure>;

[[nodiscard]] inline std::unexpected<Failure> value_error(std::string message) {
    return std::unexpected(Failure{Failure::Kind::value_error, std::move(message), "", 0});
}

[[nodiscard]] inline std::unexpected<Failure> panic(
    std::string message, std::source_location where = std::source_location::current()) {
    return std::unexpected(
        Failure{Failure::Kind::panic, std::move(message), where.file_name(), where.line()});
}

[[nodiscard]] inline std::unexpected<Failure> cancelled() {
    return std::unexpected(Failure{Failure::Kind::cancelled, "cancelled", "", 0});
}

// The message of every out-of-range array access that input can reach.
inline constexpr const char* k_index_out_of_bounds = "ndarray: index out of bounds";

// A cheap, optional "should I stop?" callback that long routines poll every so
// often. The routine stays free of Python: the binding layer supplies a check
// that looks for pending signals.
struct CancelCheck {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
    [[nodiscard]] bool operator()() const { return poll != nullptr && poll(context); }
};

}  // namespace quorvel
