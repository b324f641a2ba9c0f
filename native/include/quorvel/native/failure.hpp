// Error values returned by the native routines.
//
// A routine never raises: it returns either its result or a Failure that the
// binding layer turns into the matching Python exception.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#if __has_include(<expected>)
#include <expected>
#endif

#if defined(__cpp_lib_expected)
namespace quorvel {
using std::expected;
using std::unexpected;
}  // namespace quorvel
#else
// clang before 19 cannot use libstdc++'s <expected> (it asks for a newer
// concepts level), and the fuzzers and clang-tidy build with clang: there
// the routines get this small equivalent with the same interface.
#include <optional>
#include <type_traits>
#include <variant>

namespace quorvel {

template <class E>
class unexpected {
public:
    constexpr explicit unexpected(E e) : error_(std::move(e)) {}
    [[nodiscard]] constexpr E& error() & noexcept { return error_; }
    [[nodiscard]] constexpr const E& error() const& noexcept { return error_; }
    [[nodiscard]] constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};
template <class E>
unexpected(E) -> unexpected<E>;

namespace detail {
template <class U>
inline constexpr bool is_unexpected = false;
template <class E>
inline constexpr bool is_unexpected<unexpected<E>> = true;
}  // namespace detail

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected()
        requires std::is_default_constructible_v<T>
        : v_(std::in_place_index<0>) {}
    template <class U = T>
        requires(std::is_constructible_v<T, U &&> &&
                 !std::is_same_v<std::remove_cvref_t<U>, expected> &&
                 !detail::is_unexpected<std::remove_cvref_t<U>>)
    // NOLINTNEXTLINE(bugprone-forwarding-reference-overload): constrained away from expected itself
    constexpr expected(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    constexpr expected(const unexpected<G>& u) : v_(std::in_place_index<1>, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u.error())) {}

    [[nodiscard]] constexpr bool has_value() const noexcept { return v_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr T& operator*() & noexcept { return *std::get_if<0>(&v_); }
    constexpr const T& operator*() const& noexcept { return *std::get_if<0>(&v_); }
    constexpr T&& operator*() && noexcept { return std::move(*std::get_if<0>(&v_)); }
    constexpr T* operator->() noexcept { return std::get_if<0>(&v_); }
    constexpr const T* operator->() const noexcept { return std::get_if<0>(&v_); }
    constexpr T& value() & { return std::get<0>(v_); }
    constexpr const T& value() const& { return std::get<0>(v_); }

    constexpr E& error() & noexcept { return *std::get_if<1>(&v_); }
    constexpr const E& error() const& noexcept { return *std::get_if<1>(&v_); }
    constexpr E&& error() && noexcept { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, E> v_;
};

template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    constexpr expected() = default;
    template <class G>
    constexpr expected(const unexpected<G>& u) : error_(std::in_place, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : error_(std::in_place, std::move(u.error())) {}

    [[nodiscard]] constexpr bool has_value() const noexcept { return !error_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr void operator*() const noexcept {}
    constexpr E& error() & noexcept { return *error_; }
    constexpr const E& error() const& noexcept { return *error_; }

private:
    std::optional<E> error_;
};

}  // namespace quorvel
#endif

namespace quorvel {

// The facts behind a bad line of a text block, for callers that report the
// fault in their own words (the file's line number, what was expected)
// instead of reading them back out of the message.
struct LineFault {
    enum class Expected {
        number,  // `field` is not a float literal
        flag,    // `field` is not a selective-dynamics flag
        fields,  // the line has too few fields; `field` is empty and absent
    };
    std::size_t line = 0;  // 0-based, within the block the routine was given
    std::string field;
    bool has_field = false;
    Expected expected = Expected::number;
};

[[nodiscard]] constexpr const char* expected_name(LineFault::Expected e) noexcept {
    switch (e) {
        case LineFault::Expected::number: return "number";
        case LineFault::Expected::flag: return "flag";
        case LineFault::Expected::fields: return "fields";
    }
    return "number";
}

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
    // Set by the block parsers: the ValueError carries these as attributes.
    std::optional<LineFault> fault;
};

template <class T>
using Result = expected<T, Failure>;

[[nodiscard]] inline unexpected<Failure> value_error(std::string message) {
    return unexpected(Failure{Failure::Kind::value_error, std::move(message), "", 0, std::nullopt});
}

[[nodiscard]] inline unexpected<Failure> value_error(std::string message, LineFault fault) {
    return unexpected(Failure{Failure::Kind::value_error, std::move(message), "", 0, std::move(fault)});
}

// A line with too few fields, and a line whose field `field` is not what was expected.
[[nodiscard]] inline LineFault missing_fields(std::size_t line) {
    return LineFault{line, {}, false, LineFault::Expected::fields};
}
[[nodiscard]] inline LineFault bad_field(std::size_t line, std::string_view field, LineFault::Expected expected) {
    return LineFault{line, std::string(field), true, expected};
}

// The default arguments record the caller's location (std::source_location is
// not available to every compiler we build with).
[[nodiscard]] inline unexpected<Failure> panic(std::string message,
                                               const char* file = __builtin_FILE(),
                                               unsigned line = __builtin_LINE()) {
    return unexpected(Failure{Failure::Kind::panic, std::move(message), file, line, std::nullopt});
}

[[nodiscard]] inline unexpected<Failure> cancelled() {
    return unexpected(Failure{Failure::Kind::cancelled, "cancelled", "", 0, std::nullopt});
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
