// repr of a double. std::to_chars in scientific form gives the shortest digits that read
// back as the same double (the nearest such digits, ties to even), which are the digits
// the host's repr takes from dtoa's mode 0; only the layout is repr's own:
// - fixed notation for decimal exponents -4 to 15, with ".0" when nothing follows
//   the point;
// - otherwise d[.ddd]e±XX with at least two exponent digits, as to_chars writes it;
// - "inf", "-inf", "nan" (without a sign) and a signed zero.
#include "runtime/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

static_assert(std::numeric_limits<double>::is_iec559,
              "the host's repr gives the shortest round-trip digits only for IEEE 754 doubles");

namespace {

constexpr int lowest_fixed_exponent = -4;
constexpr int highest_fixed_exponent = 15;

char* put(char* out, const char* text, std::size_t length) {
    std::memcpy(out, text, length);
    return out + length;
}

char* put_zeros(char* out, int count) {
    std::memset(out, '0', static_cast<std::size_t>(count));
    return out + count;
}

// Decimal digits of `number` (below 2**64), most significant first; returns their count.
int integer_digits(uint64_t number, char* out) {
    char reversed[20];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (int i = 0; i < count; ++i) {
        out[i] = reversed[count - 1 - i];
    }
    return count;
}

// The short decimals that most parameters are (0.5, 10.0, 0.25), without the general
// digit search: for a positive `value` in [1e-4, 2**50), the first k of 0..max_places
// for which some n / 10**k reads back as `value` gives its shortest digits, n, with k
// places. Below 2**50 the product value * 10**k is off by at most 1/8 and a double's
// rounding interval there is far narrower than 1, so at most one n can read back, and
// it is the product's nearest integer. Null when no k of the range fits.
constexpr int max_places = 8;
constexpr double powers_of_ten[max_places + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
constexpr double short_decimal_limit = 1125899906842624.0;  // 2**50

char* put_short_decimal(double value, char* out) {
    for (int places = 0; places <= max_places; ++places) {
        const double scaled = value * powers_of_ten[places];
        if (scaled >= short_decimal_limit) {
            return nullptr;
        }
        const uint64_t number = static_cast<uint64_t>(scaled + 0.5);
        if (static_cast<double>(number) / powers_of_ten[places] != value) {
            continue;
        }
        char digits[20];
        const int count = integer_digits(number, digits);
        if (places == 0) {
            return put(put(out, digits, static_cast<std::size_t>(count)), ".0", 2);
        }
        if (count > places) {
            out = put(out, digits, static_cast<std::size_t>(count - places));
            *out++ = '.';
            return put(out, digits + count - places, static_cast<std::size_t>(places));
        }
        out = put(out, "0.", 2);
        out = put_zeros(out, places - count);
        return put(out, digits, static_cast<std::size_t>(count));
    }
    return nullptr;
}

}  // namespace

std::size_t format_float_repr(double value, char* out) {
    if (std::isnan(value)) {
        return static_cast<std::size_t>(put(out, "nan", 3) - out);
    }
    char* position = out;
    if (std::signbit(value)) {
        *position++ = '-';
        value = -value;
    }
    if (std::isinf(value)) {
        return static_cast<std::size_t>(put(position, "inf", 3) - out);
    }
    if (value == 0.0) {
        return static_cast<std::size_t>(put(position, "0.0", 3) - out);
    }
    if (value >= 1e-4 && value < short_decimal_limit) {
        if (char* end = put_short_decimal(value, position)) {
            return static_cast<std::size_t>(end - out);
        }
    }
    // d[.ddd]e±XX. 32 bytes always suffice, so the conversion cannot fail.
    char scientific[float_repr_capacity];
    const char* const end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    const char* const mark = static_cast<const char*>(std::memchr(scientific, 'e', static_cast<std::size_t>(end - scientific)));
    int exponent = 0;
    for (const char* digit = mark + 2; digit < end; ++digit) {
        exponent = exponent * 10 + (*digit - '0');
    }
    if (mark[1] == '-') {
        exponent = -exponent;
    }
    if (exponent < lowest_fixed_exponent || exponent > highest_fixed_exponent) {
        return static_cast<std::size_t>(put(position, scientific, static_cast<std::size_t>(end - scientific)) - out);
    }
    // The significant digits without the point: the first, then those after the point.
    char digits[float_repr_capacity];
    digits[0] = scientific[0];
    int count = 1;
    if (scientific[1] == '.') {
        const std::size_t fraction = static_cast<std::size_t>(mark - scientific - 2);
        std::memcpy(digits + 1, scientific + 2, fraction);
        count += static_cast<int>(fraction);
    }
    const int integer_digits = exponent + 1;
    if (integer_digits <= 0) {
        position = put(position, "0.", 2);
        position = put_zeros(position, -integer_digits);
        position = put(position, digits, static_cast<std::size_t>(count));
    } else if (count > integer_digits) {
        position = put(position, digits, static_cast<std::size_t>(integer_digits));
        *position++ = '.';
        position = put(position, digits + integer_digits, static_cast<std::size_t>(count - integer_digits));
    } else {
        position = put(position, digits, static_cast<std::size_t>(count));
        position = put_zeros(position, integer_digits - count);
        position = put(position, ".0", 2);
    }
    return static_cast<std::size_t>(position - out);
}
