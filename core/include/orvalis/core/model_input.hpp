// Kernels of a model search's input transformation: numeric columns as float64 with their
// missing values filled, calendar fields of timestamps, and the codes of categorical values
// against categories fixed at training.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orvalis/core/grouping.hpp"

namespace orvalis::core {

// out[i] = x[i] as a double, or `fill` where x[i] is NaN. Returns false, with `out` partly
// written, when x holds an infinite value.
bool fill_missing(std::span<const double> x, double fill, std::span<double> out);
// Integer and boolean columns hold no missing value: out[i] = x[i] as a double.
template <class T>
void as_double(std::span<const T> x, std::span<double> out);

// Fields of timestamps given as nanoseconds since 1970-01-01 (proleptic Gregorian calendar),
// with INT64_MIN for a missing timestamp.
enum class CalendarField {
    year,
    month,
    day,
    hour,
    minute,
    second,
    day_of_week,  // Monday 0 ... Sunday 6
    day_of_year,  // 1 ... 366
    quarter,
    ordinal,  // days since 0001-01-01, that day being 1
};
inline constexpr std::int64_t kMissingTimestamp = INT64_MIN;

// out[i] = the field of ns[i] as a double, or `fill` where the timestamp is missing.
void calendar_field(std::span<const std::int64_t> ns, CalendarField field, double fill,
                    std::span<double> out);

// Categories fixed at training, by the kind of key they are looked up by: integers (and floats
// of an integer value, which the interpreter takes as equal to that integer), other floats, and
// texts. Each key comes with its position among all the categories.
struct CategoryKeys {
    std::vector<std::int64_t> ints, int_positions;
    std::vector<double> floats;
    std::vector<std::int64_t> float_positions;
    std::vector<TextKey> texts;
    std::vector<std::int64_t> text_positions;
};

// Values of one kind, and the rows they stand in (empty: row k holds value k).
template <class Key>
struct KeyedRows {
    std::span<const Key> keys;
    std::span<const std::int64_t> rows;
};

// codes[row] = the position of the row's value among the categories, or `unseen` for a value
// that is not among them; rows of no kind (missing values) keep what codes held. Returns the
// number of rows whose value was unseen.
std::size_t category_codes(const CategoryKeys& categories, KeyedRows<std::int64_t> ints,
                           KeyedRows<double> floats, KeyedRows<TextKey> texts, std::int64_t unseen,
                           std::span<std::int64_t> codes);

// out[i] = positions[codes[i]], or `missing` where codes[i] is -1 (a categorical column's codes
// carried over to other categories). Codes outside positions are an error.
template <class Code>
void recode(std::span<const Code> codes, std::span<const std::int64_t> positions,
            std::int64_t missing, std::span<std::int64_t> out);

// Sorts the values of a float column into integer keys (values equal to an int64) and other
// floats; NaN is missing and sorted into neither.
void float_keys(std::span<const double> x, std::vector<std::int64_t>& ints,
                std::vector<std::int64_t>& int_rows, std::vector<double>& floats,
                std::vector<std::int64_t>& float_rows);

// Whether `v` has an integer value that an int64 holds, and that integer.
bool integral_value(double v, std::int64_t& out);

}  // namespace orvalis::core
