// The terminal model this build of the gatherer is for. One source builds two programs:
// "mordane" for the full model and "mordane_reduced" (VQ_REDUCED_MODEL=1) for the model
// without the fan, ECC and memory-error sources.
#pragma once

#ifndef VQ_REDUCED_MODEL
#define VQ_REDUCED_MODEL 0
#endif

namespace mordane {
inline constexpr bool kReducedModel = VQ_REDUCED_MODEL != 0;
}
