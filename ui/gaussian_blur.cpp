#include "ui/gaussian_blur.h"

#include <algorithm>
#include <cmath>

namespace brennick {

namespace {

void boxBlurRows(const float* in, float* out, int w, int h, int radius)
{
    const float scale = 1.0f / float(2 * radius + 1);
    for (int y = 0; y < h; ++y) {
        const float* src = in + std::size_t(y) * std::size_t(w);
        float* dst = out + std::size_t(y) * std::size_t(w);
        float sum = 0.0f;
        for (int i = 0; i < std::min(radius, w); ++i)
            sum += src[i];
        for (int x = 0; x < w; ++x) {
            if (x + radius < w)
                sum += src[x + radius];
            dst[x] = sum * scale;
            if (x - radius >= 0)
                sum -= src[x - radius];
        }
    }
}

// Column sums kept for a whole row at once, so every step runs along contiguous memory.
void boxBlurColumns(const float* in, float* out, int w, int h, int radius, std::vector<float>& sums)
{
    const float scale = 1.0f / float(2 * radius + 1);
    sums.assign(std::size_t(w), 0.0f);
    const auto at = [w](int y) { return std::size_t(y) * std::size_t(w); };
    for (int y = 0; y < std::min(radius, h); ++y) {
        const float* src = in + at(y);
        for (int x = 0; x < w; ++x)
            sums[x] += src[x];
    }
    for (int y = 0; y < h; ++y) {
        if (y + radius < h) {
            const float* add = in + at(y + radius);
            for (int x = 0; x < w; ++x)
                sums[x] += add[x];
        }
        float* dst = out + at(y);
        for (int x = 0; x < w; ++x)
            dst[x] = sums[x] * scale;
        if (y - radius >= 0) {
            const float* drop = in + at(y - radius);
            for (int x = 0; x < w; ++x)
                sums[x] -= drop[x];
        }
    }
}

}  // namespace

// Three passes of box blur approximate a Gaussian (central limit); box widths chosen so that the
// three variances add up to sigma^2 as closely as odd widths allow.
void gaussianApprox(std::vector<float>& a, std::vector<float>& b, std::vector<float>& sums, int w, int h, double sigma)
{
    const double ideal = std::sqrt(12.0 * sigma * sigma / 3.0 + 1.0);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0)
        --wl;
    wl = std::max(wl, 1);
    const int wu = wl + 2;
    const double m = (12.0 * sigma * sigma - 3.0 * wl * wl - 12.0 * wl - 9.0) / (-4.0 * wl - 4.0);
    const int smallPasses = std::clamp(int(std::lround(m)), 0, 3);
    for (int pass = 0; pass < 3; ++pass) {
        const int radius = ((pass < smallPasses) ? wl : wu) / 2;
        boxBlurRows(a.data(), b.data(), w, h, radius);
        boxBlurColumns(b.data(), a.data(), w, h, radius, sums);
    }
}

}  // namespace brennick
