// The plug-in's version, kept here alone: the information string, the Windows
// version resource and the release zip's name all take it from this header.
// The registry cache key holds it too, as 0x0112 in gpu/shader_build.cpp:
// change both together.
#pragma once

#define QUENDA_VERSION_MAJOR 1
#define QUENDA_VERSION_MINOR 12
#define QUENDA_VERSION_TEXT "1.12"
