#include "state/denoise_state.h"

DenoiseState denoiseState;
