// Texel loads as storage-image reads. Lavapipe (Mesa 22.3) compiles every
// sampled-image fetch with a per-lane mip level, even a constant level 0: it
// looks up each lane's level size, stride and offset before the gather,
// which makes a fetch several times dearer than the read of a storage image,
// which has one level. Direct3D's Load at level 0 of a one-level texture is
// such a read: the same texel, the same UNORM conversion, and zero outside
// the image under robustImageAccess2.
#pragma once

#include <spirv/unified1/spirv.hpp>

#include <cstdint>
#include <vector>

namespace d3d11vk {

// Rewrites a compute module whose textures (sampled 2-D images) are used only
// by OpImageFetch at the constant level 0, with or without a constant offset:
// each fetch becomes an OpImageRead of the offset coordinate, and the texture
// types storage images of `format`, that of the textures bound (R16 or Rg16,
// extended formats, whose capability is declared). Returns false, leaving the
// words as they were, for a module it does not understand; such a module
// keeps its sampled textures.
bool readTexturesAsStorageImages(std::vector<uint32_t>& words, spv::ImageFormat format);

// Whether readTexturesAsStorageImages would rewrite the module.
bool texturesReadableAsStorageImages(const std::vector<uint32_t>& words);

}  // namespace d3d11vk
