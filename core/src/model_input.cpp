#include "orvalis/core/model_input.hpp"

#include <cmath>
#include <stdexcept>

namespace orvalis::core {

bool fill_missing(std::span<const double> x, double fill, std::span<double> out) {
    if (out.size() != x.size()) throw std::invalid_argument("fill_missing: sizes differ");
    bool finite = true;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        finite &= !std::isinf(v);
        out[i] = std::isnan(v) ? fill : v;
    }
    return finite;
}

template <class T>
void as_double(std::span<const T> x, std::span<double> out) {
    if (out.size() != x.size()) throw std::invalid_argument("as_double: sizes differ");
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = static_cast<double>(x[i]);
}

template void as_double(std::span<const bool>, std::span<double>);
template void as_double(std::span<const std::int8_t>, std::span<double>);
template void as_double(std::span<const std::int16_t>, std::span<double>);
template void as_double(std::span<const std::int32_t>, std::span<double>);
template void as_double(std::span<const std::int64_t>, std::span<double>);
template void as_double(std::span<const std::uint8_t>, std::span<double>);
template void as_double(std::span<const std::uint16_t>, std::span<double>);
template void as_double(std::span<const std::uint32_t>, std::span<double>);
template void as_double(std::span<const std::uint64_t>, std::span<double>);

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kNanosPerDay = 86'400 * kNanosPerSecond;
constexpr std::int64_t kOrdinalOfEpoch = 719'163;  // 1970-01-01 counted from 0001-01-01 as 1

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct Civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// The date of a day counted from 1970-01-01 (H. Hinnant's civil calendar algorithms).
Civil civil_from_days(std::int64_t z) {
    z += 719'468;
    const std::int64_t era = floor_div(z, 146'097);
    const auto doe = static_cast<unsigned>(z - era * 146'097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0), month,
            doy - (153 * mp + 2) / 5 + 1};
}

// The day counted from 1970-01-01 of January 1st of `year`.
std::int64_t days_to_new_year(std::int64_t year) {
    const std::int64_t y = year - 1;  // January counts as the 13th month of the year before
    const std::int64_t era = floor_div(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + 306;
    return era * 146'097 + static_cast<std::int64_t>(doe) - 719'468;
}

double field_of(std::int64_t ns, CalendarField field) {
    const std::int64_t days = floor_div(ns, kNanosPerDay);
    const std::int64_t in_day = ns - days * kNanosPerDay;
    switch (field) {
        case CalendarField::hour:
            return static_cast<double>(in_day / (3600 * kNanosPerSecond));
        case CalendarField::minute:
            return static_cast<double>(in_day / (60 * kNanosPerSecond) % 60);
        case CalendarField::second:
            return static_cast<double>(in_day / kNanosPerSecond % 60);
        case CalendarField::day_of_week:
            return static_cast<double>(((days + 3) % 7 + 7) % 7);
        case CalendarField::ordinal:
            return static_cast<double>(days + kOrdinalOfEpoch);
        default:
            break;
    }
    const Civil c = civil_from_days(days);
    switch (field) {
        case CalendarField::year:
            return static_cast<double>(c.year);
        case CalendarField::month:
            return c.month;
        case CalendarField::day:
            return c.day;
        case CalendarField::quarter:
            return (c.month - 1) / 3 + 1;
        default:
            return static_cast<double>(days - days_to_new_year(c.year) + 1);
    }
}

// positions[k] of the category each query was found at, or `unseen` (counted).
template <class Key>
std::size_t place(std::span<const Key> uniques, std::span<const std::int64_t> positions,
                  KeyedRows<Key> values, std::int64_t unseen, std::span<std::int64_t> codes) {
    if (values.keys.empty()) return 0;
    const bool by_row = !values.rows.empty();
    if ((by_row && values.rows.size() != values.keys.size()) ||
        (!by_row && values.keys.size() != codes.size()))
        throw std::invalid_argument("category_codes: sizes differ");
    std::vector<std::int64_t> found(values.keys.size());
    lookup(uniques, values.keys, found);
    std::size_t unseen_rows = 0;
    for (std::size_t k = 0; k < found.size(); ++k) {
        const std::int64_t at = found[k];
        const std::int64_t code = at < 0 ? unseen : positions[static_cast<std::size_t>(at)];
        unseen_rows += at < 0;
        const std::int64_t row = by_row ? values.rows[k] : static_cast<std::int64_t>(k);
        if (row < 0 || static_cast<std::size_t>(row) >= codes.size())
            throw std::out_of_range("category_codes: row out of range");
        codes[static_cast<std::size_t>(row)] = code;
    }
    return unseen_rows;
}

}  // namespace

void calendar_field(std::span<const std::int64_t> ns, CalendarField field, double fill,
                    std::span<double> out) {
    if (out.size() != ns.size()) throw std::invalid_argument("calendar_field: sizes differ");
    for (std::size_t i = 0; i < ns.size(); ++i)
        out[i] = ns[i] == kMissingTimestamp ? fill : field_of(ns[i], field);
}

bool integral_value(double v, std::int64_t& out) {
    // 2^63 is the first double past INT64_MAX; every double below it in magnitude converts
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0) || std::trunc(v) != v)
        return false;
    out = static_cast<std::int64_t>(v);
    return true;
}

void float_keys(std::span<const double> x, std::vector<std::int64_t>& ints,
                std::vector<std::int64_t>& int_rows, std::vector<double>& floats,
                std::vector<std::int64_t>& float_rows) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        if (std::isnan(v)) continue;
        std::int64_t k = 0;
        if (integral_value(v, k)) {
            ints.push_back(k);
            int_rows.push_back(static_cast<std::int64_t>(i));
        } else {
            floats.push_back(v);
            float_rows.push_back(static_cast<std::int64_t>(i));
        }
    }
}

template <class Code>
void recode(std::span<const Code> codes, std::span<const std::int64_t> positions,
            std::int64_t missing, std::span<std::int64_t> out) {
    if (out.size() != codes.size()) throw std::invalid_argument("recode: sizes differ");
    const auto n = static_cast<std::int64_t>(positions.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const auto c = static_cast<std::int64_t>(codes[i]);
        if (c < -1 || c >= n) throw std::out_of_range("recode: code out of range");
        out[i] = c < 0 ? missing : positions[static_cast<std::size_t>(c)];
    }
}

template void recode(std::span<const std::int8_t>, std::span<const std::int64_t>, std::int64_t,
                     std::span<std::int64_t>);
template void recode(std::span<const std::int16_t>, std::span<const std::int64_t>, std::int64_t,
                     std::span<std::int64_t>);
template void recode(std::span<const std::int32_t>, std::span<const std::int64_t>, std::int64_t,
                     std::span<std::int64_t>);
template void recode(std::span<const std::int64_t>, std::span<const std::int64_t>, std::int64_t,
                     std::span<std::int64_t>);

std::size_t category_codes(const CategoryKeys& categories, KeyedRows<std::int64_t> ints,
                           KeyedRows<double> floats, KeyedRows<TextKey> texts, std::int64_t unseen,
                           std::span<std::int64_t> codes) {
    return place<std::int64_t>(categories.ints, categories.int_positions, ints, unseen, codes) +
           place<double>(categories.floats, categories.float_positions, floats, unseen, codes) +
           place<TextKey>(categories.texts, categories.text_positions, texts, unseen, codes);
}

}  // namespace orvalis::core
