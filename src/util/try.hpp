// Error propagation for std::expected (GCC 12 lacks the monadic members).
#pragma once

#include <expected>
#include <utility>

#define VEXLO_CONCAT_INNER(a, b) a##b
#define VEXLO_CONCAT(a, b) VEXLO_CONCAT_INNER(a, b)

// Evaluates an expression yielding std::expected<T, Error>; returns its error from the
// enclosing function on failure.
#define VEXLO_TRY(expr)                                                   \
    do {                                                                  \
        auto&& vexlo_try_result_ = (expr);                                \
        if (!vexlo_try_result_) {                                         \
            return std::unexpected(std::move(vexlo_try_result_).error()); \
        }                                                                 \
    } while (0)

#define VEXLO_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)     \
    auto tmp = (expr);                                  \
    if (!tmp) {                                         \
        return std::unexpected(std::move(tmp).error()); \
    }                                                   \
    lhs = std::move(*tmp)

// `VEXLO_ASSIGN_OR_RETURN(auto x, f());` declares x from the value or returns the error.
#define VEXLO_ASSIGN_OR_RETURN(lhs, expr) \
    VEXLO_ASSIGN_OR_RETURN_IMPL(VEXLO_CONCAT(vexlo_aor_, __LINE__), lhs, expr)
