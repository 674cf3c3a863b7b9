// Signed 128-bit arithmetic without undefined behaviour: sums, differences
// and products wrap modulo 2^128, conversions from floating point saturate,
// and shifts by the width or more give 0.
#pragma once

typedef __int128 i128;
typedef unsigned __int128 u128;

constexpr i128 i128_max = static_cast<i128>((static_cast<u128>(1) << 127) - 1);
constexpr i128 i128_min = -i128_max - 1;

inline i128 add128(i128 a, i128 b)
{
    return static_cast<i128>(static_cast<u128>(a) + static_cast<u128>(b));
}

inline i128 sub128(i128 a, i128 b)
{
    return static_cast<i128>(static_cast<u128>(a) - static_cast<u128>(b));
}

inline i128 mul128(i128 a, i128 b)
{
    return static_cast<i128>(static_cast<u128>(a) * static_cast<u128>(b));
}

// Truncation toward zero; NaN gives 0, values beyond the range the nearest
// end of it. A value the conversion can take (-2^127 included) passes two
// comparisons on its way to the conversion; the upper one also catches NaN
// and +inf, the frequent case out of range (an overflowed exponential).
inline i128 trunc128(double x)
{
    if (__builtin_expect(!(x < 0x1p127), 0))
        return x != x ? 0 : i128_max;
    if (__builtin_expect(x < -0x1p127, 0))
        return i128_min;
    return static_cast<i128>(x);
}

inline i128 trunc128(long double x)
{
    if (__builtin_expect(!(x < 0x1p127L), 0))
        return x != x ? 0 : i128_max;
    if (__builtin_expect(x < -0x1p127L, 0))
        return i128_min;
    return static_cast<i128>(x);
}

// Arithmetic right shift of a non-negative value by `count` (0 or more)
// bits; a count of the width or more gives 0. The count is capped at 127
// rather than tested: that gives the same 0 for a non-negative value, and
// leaves the optimiser no known result that would let it skip computing the
// value shifted (with a test it dropped the integer loop's remainder on
// threads numbered 128 and up).
inline i128 shift_right128(i128 value, int count)
{
    return value >> (count < 127 ? count : 127);
}
