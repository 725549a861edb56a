// Text forms of numbers exactly as the interpreter writes them: str(3) == "3",
// str(2.5) == "2.5", str(1e16) == "1e+16", str(float("nan")) == "nan".
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvalis::core {

// Buffers of this size hold any result of the two functions below.
inline constexpr std::size_t kNumberTextMax = 32;

// The shortest text that reads back as v, laid out as Python's repr(float) does: positional for
// decimal exponents -4 < e <= 16 (always with a '.'), otherwise d.ddde+XX. Returns the length.
std::size_t format_python_float(double v, char* out);

std::size_t format_int(std::int64_t v, char* out);
std::size_t format_uint(std::uint64_t v, char* out);

}  // namespace orvalis::core
