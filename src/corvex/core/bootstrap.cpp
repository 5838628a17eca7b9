#include "corvex/core/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "corvex/core/error.hpp"

namespace velora::core::corvex {
namespace {

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Uniform index in [0, n) from 32 random bits (Lemire's multiply-and-shift with rejection, so the
// draw is exactly uniform); `more` supplies fresh bits for the rare rejected draw.
template <typename More>
inline uint32_t bounded32(uint32_t bits, uint32_t n, uint32_t threshold, More&& more) {
    uint64_t m = static_cast<uint64_t>(bits) * n;
    auto low = static_cast<uint32_t>(m);
    if (low < n) {
        while (low < threshold) {
            m = static_cast<uint64_t>(more()) * n;
            low = static_cast<uint32_t>(m);
        }
    }
    return static_cast<uint32_t>(m >> 32);
}

inline uint64_t bounded64(Xoshiro256& rng, uint64_t n) {
    const uint64_t threshold = (0 - n) % n;
    for (;;) {
        const unsigned __int128 m = static_cast<unsigned __int128>(rng.next()) * n;
        if (static_cast<uint64_t>(m) >= threshold) return static_cast<uint64_t>(m >> 64);
    }
}

// Adds the k columns of n drawn rows into sums[0..k). K > 0 fixes the width at compile time for the
// common narrow cases; K == 0 reads it from `k`.
template <size_t K>
void draw_resample(Xoshiro256& rng, const double* rows, size_t n, size_t k, double* sums) {
    const size_t width = K ? K : k;
    std::fill(sums, sums + width, 0.0);
    const auto add = [&](size_t index) {
        const double* row = rows + index * width;
        for (size_t c = 0; c < width; ++c) sums[c] += row[c];
    };
    if (n <= std::numeric_limits<uint32_t>::max()) {
        const auto n32 = static_cast<uint32_t>(n);
        const uint32_t threshold = (0u - n32) % n32;
        const auto more = [&] { return static_cast<uint32_t>(rng.next() >> 32); };
        size_t i = 0;
        if constexpr (K == 1) {
            // Two draws per 64 random bits, four partial sums to keep the adds independent.
            double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (; i + 4 <= n; i += 4) {
                const uint64_t a = rng.next();
                const uint64_t b = rng.next();
                s0 += rows[bounded32(static_cast<uint32_t>(a), n32, threshold, more)];
                s1 += rows[bounded32(static_cast<uint32_t>(a >> 32), n32, threshold, more)];
                s2 += rows[bounded32(static_cast<uint32_t>(b), n32, threshold, more)];
                s3 += rows[bounded32(static_cast<uint32_t>(b >> 32), n32, threshold, more)];
            }
            sums[0] = (s0 + s1) + (s2 + s3);
        }
        for (; i + 2 <= n; i += 2) {
            const uint64_t a = rng.next();
            add(bounded32(static_cast<uint32_t>(a), n32, threshold, more));
            add(bounded32(static_cast<uint32_t>(a >> 32), n32, threshold, more));
        }
        if (i < n) add(bounded32(static_cast<uint32_t>(rng.next()), n32, threshold, more));
    } else {
        for (size_t i = 0; i < n; ++i) add(static_cast<size_t>(bounded64(rng, n)));
    }
}

}  // namespace

Xoshiro256::Xoshiro256(uint64_t seed) {
    uint64_t state = seed;
    for (auto& word : s_) word = splitmix64(state);
}

uint64_t Xoshiro256::next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double percentile_linear(std::vector<double>& values, double q) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const double h = (static_cast<double>(values.size()) - 1.0) * (q / 100.0);
    const double floor_h = std::floor(h);
    const auto lo = static_cast<size_t>(floor_h);
    if (lo + 1 >= values.size()) return values.back();
    const double frac = h - floor_h;
    // NumPy's lerp form, which returns the upper value exactly when frac is 1.
    const double a = values[lo];
    const double b = values[lo + 1];
    const double diff = b - a;
    return frac >= 0.5 ? b - diff * (1.0 - frac) : a + diff * frac;
}

namespace {

void check_bootstrap_arguments(std::span<const double> rows, size_t columns,
                               const BootstrapOptions& options) {
    if (columns == 0 || rows.size() % columns != 0) {
        throw std::invalid_argument("bootstrap rows must hold a whole number of rows of the given width");
    }
    if (options.resamples == 0 || options.resamples > kMaxResamples) {
        throw CorvexError("the bootstrap needs 1 to " + std::to_string(kMaxResamples) + " resamples, not " +
                          std::to_string(options.resamples));
    }
    if (!(options.confidence > 0.0 && options.confidence < 1.0)) {
        throw CorvexError("the bootstrap confidence must lie strictly between 0 and 1");
    }
}

// Column sums of one resample; the common widths get a loop the compiler unrolls.
void draw_any_width(Xoshiro256& rng, const double* rows, size_t n, size_t columns, double* sums) {
    switch (columns) {
        case 1:
            return draw_resample<1>(rng, rows, n, columns, sums);
        case 2:
            return draw_resample<2>(rng, rows, n, columns, sums);
        case 3:
            return draw_resample<3>(rng, rows, n, columns, sums);
        case 4:
            return draw_resample<4>(rng, rows, n, columns, sums);
        default:
            return draw_resample<0>(rng, rows, n, columns, sums);
    }
}

// values[s * resamples + r]: statistic s of resample r.
std::vector<double> resampled_statistics(std::span<const double> rows, size_t columns, size_t n,
                                         const std::vector<SumStatistic>& statistics,
                                         const BootstrapOptions& options) {
    std::vector<double> values(statistics.size() * options.resamples);
    std::vector<double> sums(columns);
    Xoshiro256 rng(options.seed);
    for (size_t r = 0; r < options.resamples; ++r) {
        draw_any_width(rng, rows.data(), n, columns, sums.data());
        for (size_t s = 0; s < statistics.size(); ++s) {
            values[s * options.resamples + r] = statistics[s](sums.data(), n);
        }
    }
    return values;
}

// The percentile interval of each statistic over its resamples that are not NaN.
void fill_intervals(const std::vector<double>& values, const BootstrapOptions& options,
                    std::vector<Interval>& intervals) {
    const double tail = (1.0 - options.confidence) / 2.0 * 100.0;
    std::vector<double> kept;
    kept.reserve(options.resamples);
    for (size_t s = 0; s < intervals.size(); ++s) {
        kept.clear();
        for (size_t r = 0; r < options.resamples; ++r) {
            const double v = values[s * options.resamples + r];
            if (!std::isnan(v)) kept.push_back(v);
        }
        if (kept.empty()) continue;
        intervals[s] = Interval{percentile_linear(kept, tail), percentile_linear(kept, 100.0 - tail)};
    }
}

}  // namespace

std::vector<Interval> bootstrap_sums(std::span<const double> rows, size_t columns,
                                     const std::vector<SumStatistic>& statistics,
                                     const BootstrapOptions& options) {
    check_bootstrap_arguments(rows, columns, options);
    const size_t n = rows.size() / columns;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Interval> intervals(statistics.size(), Interval{nan, nan});
    if (n == 0 || statistics.empty()) return intervals;
    if (std::any_of(rows.begin(), rows.end(), [](double v) { return std::isnan(v); })) return intervals;
    fill_intervals(resampled_statistics(rows, columns, n, statistics, options), options, intervals);
    return intervals;
}

Interval bootstrap_mean(std::span<const double> scores, const BootstrapOptions& options) {
    const std::vector<SumStatistic> mean{
        [](const double* sums, size_t rows) { return sums[0] / static_cast<double>(rows); }};
    return bootstrap_sums(scores, 1, mean, options)[0];
}

}  // namespace velora::core::corvex
