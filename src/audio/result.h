// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "corvaleerror.h"

#include <utility>
#include <variant>

namespace corvale {

struct Done {
    bool operator==(const Done&) const = default;
};

// A value or an error; errors are values, never exceptions.
template <typename T, typename E = CorvaleError> class Result {
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : m_data(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] T& value() { return std::get<0>(m_data); }
    [[nodiscard]] const T& value() const { return std::get<0>(m_data); }
    [[nodiscard]] const E& error() const { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

} // namespace corvale
