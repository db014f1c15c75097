#include "gpu/strength.h"

#include <cmath>

float dispersionStrength(int dispersion) {
    // The exponent is formed with the double nearest to 1/55, not by division.
    double p = std::pow(10.0, (dispersion - 100) * 0.01818181818181818);
    return static_cast<float>(1.0 / (p * p));
}
