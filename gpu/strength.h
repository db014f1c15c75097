// Strength h2 of a dispersion track value, as the kernels consume it.
#pragma once

// p = 10^((D - 100) / 55) and h2 = 1 / (p * p), both in double, rounded to
// float at the end: 100 gives 1, 50 gives 65.79332, 0 gives 4328.761.
float dispersionStrength(int dispersion);
