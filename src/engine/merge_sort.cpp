#include "engine/merge_sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

using Compare = int (*)(const void *, const void *);

// Merges the sorted runs [lo, mid) and [mid, hi) of from into to.
void merge_runs(const char *from, char *to, std::size_t lo, std::size_t mid, std::size_t hi,
                std::size_t size, Compare compare)
{
    std::size_t left = lo;
    std::size_t right = mid;
    for (std::size_t out = lo; out < hi; out++) {
        // Take from the right run only when strictly smaller: that keeps it stable.
        const bool take_right = left == mid
            || (right < hi && compare(from + right * size, from + left * size) < 0);
        const std::size_t index = take_right ? right++ : left++;
        std::memcpy(to + out * size, from + index * size, size);
    }
}

}  // namespace

int mergesort(void *base, std::size_t count, std::size_t size, Compare compare)
{
    if (count < 2 || size == 0)
        return 0;
    char *scratch = static_cast<char *>(std::malloc(count * size));
    if (scratch == nullptr)
        return -1;
    char *from = static_cast<char *>(base);
    char *to = scratch;
    for (std::size_t width = 1; width < count; width *= 2) {
        for (std::size_t lo = 0; lo < count; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, count);
            const std::size_t hi = std::min(lo + 2 * width, count);
            merge_runs(from, to, lo, mid, hi, size, compare);
        }
        std::swap(from, to);
    }
    if (from != base)
        std::memcpy(base, from, count * size);
    std::free(scratch);
    return 0;
}
