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
// end of it.
inline i128 trunc128(double x)
{
    if (x != x)
        return 0;
    if (x >= 0x1p127)
        return i128_max;
    if (x < -0x1p127)
        return i128_min;
    return static_cast<i128>(x);
}

inline i128 trunc128(long double x)
{
    if (x != x)
        return 0;
    if (x >= 0x1p127L)
        return i128_max;
    if (x < -0x1p127L)
        return i128_min;
    return static_cast<i128>(x);
}

// Arithmetic right shift of a non-negative value by `count` bits.
inline i128 shift_right128(i128 value, int count)
{
    return count >= 128 ? 0 : value >> count;
}
