// The plug-in's version, kept here alone: the information string, the Windows
// version resource, the release zip's name and the registry cache key all
// take it from this header.
#pragma once

#define QUENDA_VERSION_MAJOR 1
#define QUENDA_VERSION_MINOR 13
#define QUENDA_VERSION_TEXT "1.13"
