#pragma once
// The blur of the knob's drop shadow: a Gaussian approximated by three passes of box blur.

#include <vector>

namespace brennick {

// Blurs the `w` x `h` plane in `a` in place with a Gaussian of `sigma` pixels; outside the plane
// counts as zero. `b` and `sums` are scratch space, kept by the caller between frames so that a
// redraw allocates nothing.
void gaussianApprox(std::vector<float>& a, std::vector<float>& b, std::vector<float>& sums, int w, int h, double sigma);

}  // namespace brennick
