// Fast decimal text for device integers shown with a fixed number of decimals.
// For value = k (unsigned) and d decimals it gives exactly what
// printf("%.<d>lf", k * 10^-d) gives, since k * 0.1 or k * 0.01 lies within far
// less than half a unit of the last shown digit of k / 10^d.
#pragma once

#include <cstdint>

namespace processing {

// Writes into out (at least 16 bytes) and returns the length.
inline int FormatScaled(char* out, uint32_t value, int decimals) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n <= decimals) digits[n++] = '0';  // at least one digit before the point
    int len = 0;
    for (int i = n - 1; i >= 0; --i) {
        out[len++] = digits[i];
        if (i == decimals && decimals > 0) out[len++] = '.';
    }
    out[len] = '\0';
    return len;
}

}  // namespace processing
