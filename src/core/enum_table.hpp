// The one way every enumeration is written to and read from JSON: a fixed table of value and
// name. An unknown value writes the first row's name; an unknown name reads the first row's value.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kinetra::core {

template <typename E>
struct EnumRow {
    E value;
    std::string_view name;
};

template <typename E, std::size_t N>
class EnumTable {
    static_assert(N > 0, "an enumeration table needs at least one row");

public:
    constexpr explicit EnumTable(std::array<EnumRow<E>, N> rows) : rows_(rows) {}

    /// The name of `value`, or the first row's name when the table does not hold it.
    constexpr std::string_view nameOf(E value) const { return find(value).value_or(rows_[0].name); }

    /// The value named `name` (exact, case-sensitive), or the first row's value.
    constexpr E valueOf(std::string_view name) const { return find(name).value_or(rows_[0].value); }

    constexpr std::optional<std::string_view> find(E value) const {
        for (const auto& row : rows_) {
            if (row.value == value) {
                return row.name;
            }
        }
        return std::nullopt;
    }

    constexpr std::optional<E> find(std::string_view name) const {
        for (const auto& row : rows_) {
            if (row.name == name) {
                return row.value;
            }
        }
        return std::nullopt;
    }

    constexpr bool contains(E value) const { return find(value).has_value(); }
    constexpr const std::array<EnumRow<E>, N>& rows() const { return rows_; }

private:
    std::array<EnumRow<E>, N> rows_;
};

/// Builds a table from a braced list of rows: makeEnumTable<Colour>({{Colour::red, "red"}, ...}).
template <typename E, std::size_t N>
constexpr EnumTable<E, N> makeEnumTable(const EnumRow<E> (&rows)[N]) {
    std::array<EnumRow<E>, N> copy{};
    for (std::size_t i = 0; i < N; ++i) {
        copy[i] = rows[i];
    }
    return EnumTable<E, N>(copy);
}

}  // namespace kinetra::core
