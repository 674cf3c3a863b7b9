#include "model/natural_order.h"

namespace report {

namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei]))
                ++ei;
            while (ej < b.size() && digit(b[ej]))
                ++ej;
            // The numbers without their leading zeros: the longer is larger,
            // else the first differing digit decides.
            std::size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            std::string_view x = a.substr(si, ei - si), y = b.substr(sj, ej - sj);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
            if (ei - i != ej - j)
                return ei - i < ej - j;  // the same number: the shorter spelling first
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace report
