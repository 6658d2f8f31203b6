#include "robust/order_statistic.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>

#include "base/fault.hpp"

namespace tarnwold {

namespace {

// Below this many candidates a comparison selection is cheaper.
constexpr std::size_t small_set = 32;
// A series holds a few hundred residuals: 256 buckets split them about as
// well as more would, at a quarter of the histogram's clearing and scanning.
constexpr unsigned bucket_bits = 8;
constexpr std::size_t bucket_count = std::size_t{1} << bucket_bits;

}  // namespace

template <typename T>
T select_rank(T* values, std::size_t count, std::size_t rank, T* below) {
    using Key = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    if (rank >= count || (below != nullptr && rank == 0)) {
        throw InternalFault("rank out of range in select_rank");
    }
    const auto key = [](T value) { return std::bit_cast<Key>(value); };
    // Set once the rank - 1 value lies in a bucket below the rank's bucket.
    bool below_known = false;
    Key below_key = 0;
    constexpr std::size_t lanes = 4;
    std::array<std::array<std::uint32_t, bucket_count>, lanes> parts;
    std::array<std::uint32_t, bucket_count> histogram;

    while (count > small_set) {
        // Four independent running extremes and four histograms: neighbouring
        // values often share a bucket, and a single chain of increments (or
        // of comparisons) would wait on itself at every value.
        Key low[lanes];
        Key high[lanes];
        for (std::size_t j = 0; j < lanes; ++j) {
            low[j] = key(values[0]);
            high[j] = key(values[0]);
        }
        std::size_t at = 0;
        for (; at + lanes <= count; at += lanes) {
            for (std::size_t j = 0; j < lanes; ++j) {
                const Key k = key(values[at + j]);
                low[j] = k < low[j] ? k : low[j];
                high[j] = k > high[j] ? k : high[j];
            }
        }
        for (; at < count; ++at) {
            const Key k = key(values[at]);
            low[0] = k < low[0] ? k : low[0];
            high[0] = k > high[0] ? k : high[0];
        }
        for (std::size_t j = 1; j < lanes; ++j) {
            low[0] = low[j] < low[0] ? low[j] : low[0];
            high[0] = high[j] > high[0] ? high[j] : high[0];
        }
        const Key lowest = low[0];
        const Key highest = high[0];
        if (lowest == highest) {
            break;  // all candidates equal
        }
        unsigned shift = 0;
        while (((highest - lowest) >> shift) >= bucket_count) {
            ++shift;
        }
        for (auto& part : parts) {
            part.fill(0);
        }
        for (at = 0; at + lanes <= count; at += lanes) {
            for (std::size_t j = 0; j < lanes; ++j) {
                ++parts[j][(key(values[at + j]) - lowest) >> shift];
            }
        }
        for (; at < count; ++at) {
            ++parts[0][(key(values[at]) - lowest) >> shift];
        }
        for (std::size_t b = 0; b < bucket_count; ++b) {
            histogram[b] = parts[0][b] + parts[1][b] + parts[2][b] + parts[3][b];
        }
        std::size_t bucket = 0;
        std::size_t before = 0;
        while (before + histogram[bucket] <= rank) {
            before += histogram[bucket];
            ++bucket;
        }
        rank -= before;
        const Key first_key = lowest + (static_cast<Key>(bucket) << shift);
        const Key bucket_span = (Key{1} << shift) - 1;
        if (below != nullptr && !below_known && rank == 0) {
            // The rank is the first of its bucket: the rank - 1 value is the
            // largest of the lower buckets, which are about to be dropped.
            Key largest = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const Key k = key(values[i]);
                largest = k < first_key && k > largest ? k : largest;
            }
            below_known = true;
            below_key = largest;
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const T value = values[i];
            values[kept] = value;
            kept += key(value) - first_key <= bucket_span ? 1 : 0;
        }
        count = kept;
    }

    T* const middle = values + rank;
    std::nth_element(values, middle, values + count);
    if (below != nullptr) {
        // rank >= 1 here unless the rank - 1 value was found in a lower bucket.
        *below = below_known ? std::bit_cast<T>(below_key) : *std::max_element(values, middle);
    }
    return *middle;
}

template float select_rank<float>(float*, std::size_t, std::size_t, float*);
template double select_rank<double>(double*, std::size_t, std::size_t, double*);

}  // namespace tarnwold
