// The four kernels with the plain search of bench/plain.hlsl in place of the
// shipped searches: the same shared part and entry points.
#include "bench/plain_kernels.h"

#include "gpu/kernel_layout.h"

const char plainLumaRuntimeSource[] = QUENDA_LUMA_PLANE QUENDA_RUNTIME_FORM
#include "common.hlsl.inc"
#include "plain.hlsl.inc"
#include "luma.hlsl.inc"
    ;

const char plainChromaRuntimeSource[] = QUENDA_CHROMA_PLANE QUENDA_RUNTIME_FORM
#include "common.hlsl.inc"
#include "plain.hlsl.inc"
#include "chroma.hlsl.inc"
    ;

const char plainLumaFixedSource[] = QUENDA_LUMA_PLANE QUENDA_FIXED_FORM
#include "common.hlsl.inc"
#include "plain.hlsl.inc"
#include "luma.hlsl.inc"
    ;

const char plainChromaFixedSource[] = QUENDA_CHROMA_PLANE QUENDA_FIXED_FORM
#include "common.hlsl.inc"
#include "plain.hlsl.inc"
#include "chroma.hlsl.inc"
    ;

const char opPriceSource[] =
#include "ops.hlsl.inc"
    ;
