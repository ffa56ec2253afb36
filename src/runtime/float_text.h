// The text that float's repr gives a double, made from the shortest round-trip digits
// of std::to_chars instead of the host's dtoa.
#pragma once

#include <cstddef>

// Room for the longest text, "-2.2250738585072014e-308" (24 characters).
constexpr std::size_t float_repr_capacity = 32;

// Writes repr(value) as ASCII, without a terminating zero, into `out` (at least
// float_repr_capacity bytes) and returns its length.
std::size_t format_float_repr(double value, char* out);
