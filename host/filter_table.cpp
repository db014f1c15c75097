// The filter descriptor and the module's one export. Strings are code page 932.
#include "host/filter_table.h"

#include "host/callbacks.h"
#include "host/version.h"
#include "platform/win32_api.h"

const int32_t trackMinima[trackCountValue] = {};
const int32_t trackMaxima[trackCountValue] = {16, 7, 100, 16, 7, 100};

namespace {

const char* const trackNames[trackCountValue] = {
    "\x8B\x50\x93\x78\x8B\xF3\x8A\xD4\x94\xCD\x88\xCD",  // 輝度空間範囲 luma spatial range
    "\x8B\x50\x93\x78\x8E\x9E\x8A\xD4\x94\xCD\x88\xCD",  // 輝度時間範囲 luma time range
    "\x8B\x50\x93\x78\x95\xAA\x8E\x55",                  // 輝度分散 luma dispersion
    "\x90\x46\x8D\xB7\x8B\xF3\x8A\xD4\x94\xCD\x88\xCD",  // 色差空間範囲 chroma spatial range
    "\x90\x46\x8D\xB7\x8E\x9E\x8A\xD4\x94\xCD\x88\xCD",  // 色差時間範囲 chroma time range
    "\x90\x46\x8D\xB7\x95\xAA\x8E\x55",                  // 色差分散 chroma dispersion
};
const int32_t trackDefaults[trackCountValue] = {3, 1, 50, 3, 1, 50};

// The host is told there are no check boxes; the one entry is never shown.
const char* const checkNames[1] = {"\x83\x5F\x83\x7E\x81\x5B"};  // ダミー dummy
const int32_t checkDefaults[1] = {0};

// Host-filled words (trackValues, services, window) start null; the plug-in
// never writes any word.
FilterTable filterTable = {
    0x08040000u,                                             // flagWord: bits 18 and 27
    0,                                                       // windowWidth
    0,                                                       // windowHeight
    "Quenda\x83\x74\x83\x42\x83\x8B\x83\x5E for DX11",       // Quendaフィルタ for DX11
    trackCountValue,                                         // trackCount
    trackNames,
    trackDefaults,
    trackMinima,
    trackMaxima,
    0,                                                       // checkCount
    checkNames,
    checkDefaults,
    onProcess,
    onInit,
    onExit,
    nullptr,                                                 // +60
    onWindowMessage,
    nullptr,                                                 // trackValues
    {},                                                      // +72 .. +80
    "Quenda\x83\x74\x83\x42\x83\x8B\x83\x5E for DX11 ver " QUENDA_VERSION_TEXT,  // infoText
    {},                                                      // +88, +92
    nullptr,                                                 // services
    nullptr,                                                 // window
    {},                                                      // +104 .. +136
};

}  // namespace

extern "C" FilterTable* __stdcall GetFilterTable(void) { return &filterTable; }
