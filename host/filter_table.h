// The records shared by the host and the plug-in: the filter descriptor, the
// per-frame record, the host's service table and the host's pixel. The field
// order is the host's; the 32-bit Windows build pins every offset.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define QUENDA_CALL __cdecl
#else
#define QUENDA_CALL
#endif

struct PixelYC {
    int16_t y;
    int16_t cb;
    int16_t cr;
};

struct FilterTable;
struct FrameProcInfo;

// The six track values, in track order.
struct DenoiseParams {
    int32_t lumaSpace;
    int32_t lumaTime;
    int32_t lumaDispersion;
    int32_t chromaSpace;
    int32_t chromaTime;
    int32_t chromaDispersion;
};

enum : int { trackCountValue = 6 };
// Where each value sits in the track order.
enum : int {
    lumaSpaceTrack,
    lumaTimeTrack,
    lumaDispersionTrack,
    chromaSpaceTrack,
    chromaTimeTrack,
    chromaDispersionTrack,
};
// The tracks' ranges as the descriptor gives them to the host.
extern const int32_t trackMinima[trackCountValue];
extern const int32_t trackMaxima[trackCountValue];

typedef int32_t(QUENDA_CALL* ProcessCallback)(FilterTable* filter, FrameProcInfo* frame);
typedef int32_t(QUENDA_CALL* InitCallback)(FilterTable* filter);
typedef int32_t(QUENDA_CALL* ExitCallback)(FilterTable* filter);
typedef int32_t(QUENDA_CALL* WindowMessageCallback)(void* window, uint32_t message, uintptr_t wparam,
                                                    intptr_t lparam, void* editHandle,
                                                    FilterTable* filter);

typedef int32_t(QUENDA_CALL* GetFrameCountService)(void* editHandle);
typedef int32_t(QUENDA_CALL* SetupFrameCacheService)(FilterTable* filter, int32_t rowPixels,
                                                     int32_t heightBound, int32_t n, int32_t flag);
typedef PixelYC*(QUENDA_CALL* GetFrameImageService)(FilterTable* filter, void* editHandle,
                                                    int32_t frame, int32_t* width, int32_t* height);

// The host's service table; the plug-in calls three entries.
struct HostServices {
    void* reserved0[7];                       // +0 .. +24
    GetFrameCountService getFrameCount;       // +28
    void* reserved32[36];                     // +32 .. +172
    SetupFrameCacheService setupFrameCache;   // +176
    void* reserved180[5];                     // +180 .. +196
    GetFrameImageService getFrameImage;       // +200
};

// The host's per-frame record, valid for one processing call.
struct FrameProcInfo {
    int32_t flags;           // +0
    PixelYC* outputImage;    // +4
    void* reserved8;         // +8
    int32_t frameWidth;      // +12
    int32_t frameHeight;     // +16
    int32_t rowPixels;       // +20
    int32_t heightBound;     // +24
    int32_t frameIndex;      // +28
    int32_t reserved32[6];   // +32 .. +52
    void* reserved56;        // +56
    void* editHandle;        // +60
};

// The filter descriptor: 35 words in the 32-bit build.
struct FilterTable {
    uint32_t flagWord;                       // +0
    int32_t windowWidth;                     // +4
    int32_t windowHeight;                    // +8
    const char* filterName;                  // +12
    int32_t trackCount;                      // +16
    const char* const* trackNames;           // +20
    const int32_t* trackDefaults;            // +24
    const int32_t* trackMinima;              // +28
    const int32_t* trackMaxima;              // +32
    int32_t checkCount;                      // +36
    const char* const* checkNames;           // +40
    const int32_t* checkDefaults;            // +44
    ProcessCallback onProcess;               // +48
    InitCallback onInit;                     // +52
    ExitCallback onExit;                     // +56
    void* reserved60;                        // +60
    WindowMessageCallback onWindowMessage;   // +64
    int32_t* trackValues;                    // +68, filled by the host
    void* reserved72[3];                     // +72 .. +80
    const char* infoText;                    // +84
    void* reserved88[2];                     // +88, +92
    HostServices* services;                  // +96, filled by the host
    void* window;                            // +100, filled by the host
    void* reserved104[9];                    // +104 .. +136
};

// Host window messages.
enum : uint32_t {
    messageDiscardAhead = 1124,   // a result computed ahead may be stale
    messageOutputStart = 1129,    // an output run starts
    messageOutputEnd = 1130,      // the output run has ended
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PixelYC) == 6, "PixelYC");
static_assert(sizeof(FilterTable) == 140, "FilterTable size");
static_assert(offsetof(FilterTable, flagWord) == 0, "flagWord");
static_assert(offsetof(FilterTable, windowWidth) == 4, "windowWidth");
static_assert(offsetof(FilterTable, windowHeight) == 8, "windowHeight");
static_assert(offsetof(FilterTable, filterName) == 12, "filterName");
static_assert(offsetof(FilterTable, trackCount) == 16, "trackCount");
static_assert(offsetof(FilterTable, trackNames) == 20, "trackNames");
static_assert(offsetof(FilterTable, trackDefaults) == 24, "trackDefaults");
static_assert(offsetof(FilterTable, trackMinima) == 28, "trackMinima");
static_assert(offsetof(FilterTable, trackMaxima) == 32, "trackMaxima");
static_assert(offsetof(FilterTable, checkCount) == 36, "checkCount");
static_assert(offsetof(FilterTable, checkNames) == 40, "checkNames");
static_assert(offsetof(FilterTable, checkDefaults) == 44, "checkDefaults");
static_assert(offsetof(FilterTable, onProcess) == 48, "onProcess");
static_assert(offsetof(FilterTable, onInit) == 52, "onInit");
static_assert(offsetof(FilterTable, onExit) == 56, "onExit");
static_assert(offsetof(FilterTable, onWindowMessage) == 64, "onWindowMessage");
static_assert(offsetof(FilterTable, trackValues) == 68, "trackValues");
static_assert(offsetof(FilterTable, infoText) == 84, "infoText");
static_assert(offsetof(FilterTable, services) == 96, "services");
static_assert(offsetof(FilterTable, window) == 100, "window");
static_assert(offsetof(FilterTable, reserved104) == 104, "tail");
static_assert(sizeof(FrameProcInfo) == 64, "FrameProcInfo size");
static_assert(offsetof(FrameProcInfo, outputImage) == 4, "outputImage");
static_assert(offsetof(FrameProcInfo, frameWidth) == 12, "frameWidth");
static_assert(offsetof(FrameProcInfo, frameHeight) == 16, "frameHeight");
static_assert(offsetof(FrameProcInfo, rowPixels) == 20, "rowPixels");
static_assert(offsetof(FrameProcInfo, heightBound) == 24, "heightBound");
static_assert(offsetof(FrameProcInfo, frameIndex) == 28, "frameIndex");
static_assert(offsetof(FrameProcInfo, editHandle) == 60, "editHandle");
static_assert(sizeof(HostServices) == 204, "HostServices size");
static_assert(offsetof(HostServices, getFrameCount) == 28, "getFrameCount");
static_assert(offsetof(HostServices, setupFrameCache) == 176, "setupFrameCache");
static_assert(offsetof(HostServices, getFrameImage) == 200, "getFrameImage");
#endif

// The module's one export.
#ifdef _WIN32
extern "C" FilterTable* __stdcall GetFilterTable(void);
typedef FilterTable*(__stdcall* GetFilterTableFunction)(void);
#else
extern "C" __attribute__((visibility("default"))) FilterTable* GetFilterTable(void);
typedef FilterTable* (*GetFilterTableFunction)(void);
#endif
