# The plug-in's layers, each an include root of its own, so that the build
# refuses an include that runs up the layers. A layer's root holds links to
# just the files or folders of the layer, at their paths in the tree
# ("state/denoise_state.h" resolves through build/layers/state/state/...); a
# target sees its own layer's root and those of the layers it links.

# Makes build/layers/NAME with a link to each given path of the source tree
# and sets QUENDA_LAYER_<NAME> to its folder.
function(quenda_layer name)
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  foreach(path ${ARGN})
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${path})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
    endif()
  endforeach()
  set(QUENDA_LAYER_${name} ${root} PARENT_SCOPE)
endfunction()
