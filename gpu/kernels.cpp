// The four kernel texts, each made of the lines that describe its plane and
// form, the shared part (parameters, textures, patch distance), the form's
// search and the plane's entry point. The .hlsl files under gpu/hlsl/ are
// embedded at build time.
#include "gpu/kernels.h"

#include "gpu/kernel_layout.h"

// The registry cache keeps the compiled runtime forms under a key made of the
// plug-in's version (host/version.h), the feature level and the adapter, not
// of the text: a change to what these forms compile to (common.hlsl,
// runtime.hlsl, luma.hlsl, chroma.hlsl, gpu/kernel_layout.h) must come with
// a new version, or users' caches go on serving the old kernels.
const char lumaRuntimeSource[] = QUENDA_LUMA_PLANE QUENDA_RUNTIME_FORM
#include "common.hlsl.inc"
#include "runtime.hlsl.inc"
#include "luma.hlsl.inc"
    ;

const char chromaRuntimeSource[] = QUENDA_CHROMA_PLANE QUENDA_RUNTIME_FORM
#include "common.hlsl.inc"
#include "runtime.hlsl.inc"
#include "chroma.hlsl.inc"
    ;

const char lumaFixedSource[] = QUENDA_LUMA_PLANE QUENDA_FIXED_FORM
#include "common.hlsl.inc"
#include "fixed.hlsl.inc"
#include "luma.hlsl.inc"
    ;

const char chromaFixedSource[] = QUENDA_CHROMA_PLANE QUENDA_FIXED_FORM
#include "common.hlsl.inc"
#include "fixed.hlsl.inc"
#include "chroma.hlsl.inc"
    ;
