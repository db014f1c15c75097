// Windows test host that denoises frames through quenda_dx11.auf under Wine:
// Wine's Direct3D 11, registry and Win32 threads, the plug-in's OpenMP as
// MinGW built it, and vkd3d's compiler in place of the plug-in's
// D3DX11CompileFromMemory (vkd3d_compiler.h). It plays the editor with the
// Linux tests' TestHost and synthetic clips and holds every frame against the
// same CPU reference of the kernels' arithmetic, at most one unit off.
//
// usage: wine_frames.exe PLUGIN VKD3D_UTILS_DLL first|second|refused DIGESTS
//   first:   the prefix is fresh; onInit compiles both runtime kernels and
//            stores them in the registry; the frames' digests go to DIGESTS.
//   second:  onInit takes both runtime kernels from the registry, compiles
//            none, and every frame equals the first start's (DIGESTS).
//   refused: every RegCreateKeyExA of the plug-in is refused and the host's
//            locale writes a decimal comma; the filter still starts,
//            compiles its kernels, shows no box and denoises.
// QUENDA_WINE_D3D11 names the Direct3D 11 the plug-in must have been given:
//   wined3d (default): Wine's own;
//   dxvk:    DXVK's d3d11.dll beside this program (d3d11,dxgi=n).
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "host/filter_table.h"
#include "tests/support/reference_frame.h"
#include "tests/support/test_host.h"
#include "tests/wine/checks.h"
#include "tests/wine/import_slots.h"
#include "tests/wine/vkd3d_compiler.h"

namespace {

typedef std::array<int32_t, 6> Tracks;

const char cacheKeyPath[] = "SOFTWARE\\Aviutl\\Plugins\\quenda for DX11";
const PixelYC untouched = {0x7777, 0x7777, 0x7777};  // TestHost's fill of the host image

DWORD sectionStarted = 0;

// Starts a section of the transcript, closing the last one with its time.
void section(const char* title) {
    const DWORD now = GetTickCount();
    if (sectionStarted) std::printf("  (%.1f s)\n", (now - sectionStarted) / 1000.0);
    sectionStarted = now;
    if (title) std::printf("== %s\n", title);
}

// ---- what the plug-in asked of the platform ----

int boxes = 0;
int runtimeCompiles = 0;  // no macros: the runtime pair
int fixedCompiles = 0;    // track values as macros: the output run's pair
int failedCompiles = 0;
int threadStarts = 0;
DWORD workerThreadId = 0;  // the last worker the plug-in started
double runtimeCompileSeconds = 0;
double fixedCompileSeconds = 0;

typedef uintptr_t(__cdecl* BeginThreadFunction)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                                                unsigned*);
BeginThreadFunction realBeginThread = nullptr;

int WINAPI recordMessageBox(HWND, LPCSTR text, LPCSTR, UINT) {
    ++boxes;
    std::printf("  box: %s\n", text ? text : "(null)");
    return IDOK;
}

HRESULT WINAPI countCompile(LPCSTR source, SIZE_T length, LPCSTR fileName, const D3D_SHADER_MACRO* defines,
                            ID3DInclude* include, LPCSTR entry, LPCSTR profile, UINT flags1, UINT flags2,
                            void* pump, ID3D10Blob** code, ID3D10Blob** messages, HRESULT* result) {
    ++(defines ? fixedCompiles : runtimeCompiles);
    const DWORD start = GetTickCount();
    const HRESULT hr = compileWithVkd3d(source, length, fileName, defines, include, entry, profile, flags1, flags2,
                                        pump, code, messages, result);
    (defines ? fixedCompileSeconds : runtimeCompileSeconds) += (GetTickCount() - start) / 1000.0;
    if (FAILED(hr)) ++failedCompiles;
    return hr;
}

uintptr_t __cdecl countThreadStart(void* security, unsigned stack, unsigned(__stdcall* start)(void*), void* argument,
                                   unsigned flags, unsigned* id) {
    ++threadStarts;
    const uintptr_t thread = realBeginThread(security, stack, start, argument, flags, id);
    if (thread && id) workerThreadId = *id;
    return thread;
}

// Points DLL!function of the plug-in at a replacement; the original, or null.
void* intercept(HMODULE plugin, const char* dll, const char* function, void* replacement) {
    int matches = 0;
    void** slot = findImportSlot(plugin, dll, function, &matches);
    void* original = slot && matches == 1 ? redirectSlot(slot, replacement) : nullptr;
    check(original != nullptr, "%s!%s intercepted (%d slot(s))", dll, function, matches);
    return original;
}

// ---- the process's own figures ----

// Wine answers GetProcessHandleCount with 0 and PrivateUsage with -1, so
// the figures are gathered the long way, which Windows answers alike.
struct ProcessFigures {
    int handles = 0;       // open handle values
    int threads = 0;       // besides a worker computing ahead
    SIZE_T privateBytes = 0;  // committed private pages, as VirtualQuery sees them
};

ProcessFigures processFigures() {
    ProcessFigures f;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++f.handles;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == GetCurrentProcessId() && entry.th32ThreadID != workerThreadId)
                ++f.threads;
        CloseHandle(snapshot);
    }
    MEMORY_BASIC_INFORMATION region;
    for (uintptr_t address = 0; VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) f.privateBytes += region.RegionSize;
        const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return f;
}

// ---- frames against the reference ----

struct Totals {
    long components = 0;
    long exact = 0;
    int maxAbs = 0;
    int frames = 0;
} totals;

std::vector<uint64_t> digests;

uint64_t digest(const std::vector<PixelYC>& pixels) {
    uint64_t h = 1469598103934665603ull;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(pixels.data());
    for (size_t i = 0; i < pixels.size() * sizeof(PixelYC); ++i) h = (h ^ bytes[i]) * 1099511628211ull;
    return h;
}

// Whether every pixel of the host image outside width x height still holds
// TestHost's fill.
bool beyondFrameUntouched(const TestHost& host, int rowPixels, int heightBound) {
    const std::vector<PixelYC>& image = host.outputImage();
    const SyntheticClip& clip = host.clip();
    for (int y = 0; y < heightBound; ++y)
        for (int x = 0; x < rowPixels; ++x) {
            if (x < clip.width && y < clip.height) continue;
            const PixelYC& p = image[static_cast<size_t>(y) * rowPixels + x];
            if (p.y != untouched.y || p.cb != untouched.cb || p.cr != untouched.cr) return false;
        }
    return true;
}

std::string tracksText(const Tracks& t) {
    char text[64];
    std::snprintf(text, sizeof text, "R%d T%d D%d / R%d T%d D%d", t[0], t[1], t[2], t[3], t[4], t[5]);
    return text;
}

// Processes frame n and holds it against the reference; quiet only when
// asked and it holds.
bool processAndCompare(TestHost& host, int n, const Tracks& tracks, int rowPixels, int heightBound,
                       const char* what, bool quiet = false) {
    host.setTracks(tracks);
    const int32_t result = host.process(n);
    const std::vector<PixelYC> got = host.result();
    const SyntheticClip& clip = host.clip();
    const FrameDifference d = compareFrames(got, referenceFrame(clip, n, tracks));
    const long components = static_cast<long>(got.size()) * 3;
    const bool beyond = beyondFrameUntouched(host, rowPixels, heightBound);
    const bool ok = result == 1 && d.maxAbs <= 1 && d.differing >= 0 && beyond;
    if (result == 1 && d.differing >= 0) {
        totals.components += components;
        totals.exact += components - d.differing;
        totals.maxAbs = std::max(totals.maxAbs, d.maxAbs);
        ++totals.frames;
    }
    digests.push_back(digest(got));
    if (!quiet || !ok)
        check(ok, "%s %dx%d (rows %d) %s frame %d/%d: result %d, max %d off, %.2f %% exact%s", what, clip.width,
              clip.height, rowPixels, tracksText(tracks).c_str(), n, clip.count, (int)result, d.maxAbs,
              components ? 100.0 * (components - d.differing) / components : 0.0,
              beyond ? "" : ", PIXELS BEYOND THE FRAME WRITTEN");
    return ok;
}

SyntheticClip clipOf(int width, int height, int count, uint32_t seed) {
    SyntheticClip clip;
    clip.width = width;
    clip.height = height;
    clip.count = count;
    clip.seed = seed;
    return clip;
}

// One output run over every frame: 1129, onProcess 0 .. count - 1, 1130. The
// first call computes its frame and starts the worker on the next; every
// later call is served the frame computed ahead and starts one worker.
void outputRun(TestHost& host, const Tracks& tracks, int rowPixels, int heightBound, const char* what) {
    const SyntheticClip& clip = host.clip();
    host.setTracks(tracks);
    const int fixedBefore = fixedCompiles;
    check(host.message(messageOutputStart) == 0, "%s: 1129 (output run starts) -> 0", what);
    check(fixedCompiles - fixedBefore == 2, "%s: the fixed kernels compiled at the run's start (%d compiles)", what,
          fixedCompiles - fixedBefore);
    int aheadMisses = 0;
    int failures = 0;
    for (int n = 0; n < clip.count; ++n) {
        const int startsBefore = threadStarts;
        host.clearCalls();
        if (!processAndCompare(host, n, tracks, rowPixels, heightBound, what, n != 0 && n != clip.count - 1))
            ++failures;
        const int starts = threadStarts - startsBefore;
        if (starts != (n == 0 ? 2 : 1)) {
            ++aheadMisses;
            std::printf("       frame %d started %d worker(s)\n", n, starts);
        }
    }
    check(failures == 0, "%s: all %d frames within one unit, beyond the frame untouched", what, clip.count);
    check(aheadMisses == 0, "%s: frame 0 computed while the host waited, every later frame computed ahead", what);
    check(host.message(messageOutputEnd) == 0, "%s: 1130 (output run ends) -> 0", what);
}

int refusedKeyOpens = 0;

LONG WINAPI refuseCreateKey(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD) {
    ++refusedKeyOpens;
    if (key) *key = nullptr;
    return ERROR_ACCESS_DENIED;
}

// A start whose cache key cannot be opened, as for a standard user whose
// registry is not virtualised: the kernels are compiled and used, and the
// filter works without a box. The host process has set a locale with a
// decimal comma, which must not reach the H2 macro of the output run.
int refusedRegistryStart(HMODULE plugin, FilterTable* table) {
    if (!intercept(plugin, "ADVAPI32.dll", "RegCreateKeyExA", reinterpret_cast<void*>(refuseCreateKey))) return 1;
    const char* locale = std::setlocale(LC_ALL, "German_Germany.1252");
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    check(locale && std::string(probe) == "0,5", "the host's locale %s writes 0.5 as %s", locale ? locale : "(none)",
          probe);
    TestHost host(table);
    check(host.init() == 1, "onInit -> 1");
    check(runtimeCompiles == 2 && refusedKeyOpens >= 1, "onInit compiled %d runtime kernel(s) after %d refused open(s)",
          runtimeCompiles, refusedKeyOpens);
    host.setClip(clipOf(37, 21, 6, 1), 44, 24);
    processAndCompare(host, 2, {3, 1, 50, 3, 1, 50}, 44, 24, "defaults");
    outputRun(host, {3, 1, 50, 3, 1, 50}, 44, 24, "output run");
    check(host.exit() == 1, "onExit -> 1");
    check(boxes == 0, "no message box (%d)", boxes);
    check(failedCompiles == 0, "every compile succeeded");
    std::printf("wine frames: %s\n", checksFailed ? "the refused cache key stops the filter" : "all checks hold");
    return checksFailed ? 1 : 0;
}

// Which d3d11.dll the plug-in's import brought in: a DLL override that does
// not take leaves Wine's own in place, silently.
void checkDirect3D11(bool dxvk) {
    char d3d11Path[MAX_PATH] = "", hostPath[MAX_PATH] = "";
    const HMODULE d3d11 = GetModuleHandleA("d3d11.dll");
    if (d3d11) GetModuleFileNameA(d3d11, d3d11Path, MAX_PATH);
    GetModuleFileNameA(nullptr, hostPath, MAX_PATH);
    std::string folder = hostPath;
    folder.erase(folder.find_last_of('\\') + 1);
    const bool besideHost = lstrcmpiA(std::string(d3d11Path).substr(0, folder.size()).c_str(), folder.c_str()) == 0;
    check(d3d11 && besideHost == dxvk, "Direct3D 11 from %s (%s)", d3d11Path,
          dxvk ? "DXVK's, beside the host" : "Wine's own");
}

bool readValueSize(const char* name, DWORD* size) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, cacheKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    *size = 0;
    const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Loads the plug-in and takes its descriptor; null when either fails.
FilterTable* loadPlugin(const char* path, HMODULE* plugin) {
    *plugin = LoadLibraryA(path);
    check(*plugin != nullptr, "LoadLibraryA(\"%s\") (error %lu)", path, *plugin ? 0ul : GetLastError());
    if (!*plugin) return nullptr;
    auto getFilterTable = reinterpret_cast<GetFilterTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(*plugin, "GetFilterTable")));
    check(getFilterTable != nullptr, "GetFilterTable exported");
    return getFilterTable ? getFilterTable() : nullptr;
}

// vkd3d's compiler loaded, and the plug-in's boxes, compiles and thread
// starts routed through this host's counters.
bool interceptPlatform(HMODULE plugin, const char* vkd3dDll) {
    std::string error;
    const bool compilerLoaded = loadVkd3dCompiler(vkd3dDll, &error);
    check(compilerLoaded, "vkd3d's D3DCompile from %s %s", vkd3dDll, error.c_str());
    const bool intercepted =
        intercept(plugin, "USER32.dll", "MessageBoxA", reinterpret_cast<void*>(recordMessageBox)) &&
        intercept(plugin, "d3dx11_42.dll", "D3DX11CompileFromMemory", reinterpret_cast<void*>(countCompile)) &&
        (realBeginThread = reinterpret_cast<BeginThreadFunction>(
             intercept(plugin, "msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(countThreadStart))));
    return compilerLoaded && intercepted;
}

// The cache key is absent in a fresh prefix, present on the second start.
void checkCacheKeyBefore(bool first) {
    HKEY key = nullptr;
    const bool keyBefore = RegOpenKeyExA(HKEY_LOCAL_MACHINE, cacheKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
    check(keyBefore == !first, "registry key HKLM\\%s %s before onInit", cacheKeyPath,
          keyBefore ? "present" : "absent");
}

// onInit on a fresh prefix compiles both runtime kernels and stores them; on
// the second start it finds them in the registry.
void initAndCheckCache(TestHost& host, bool first) {
    check(host.init() == 1, "onInit -> 1");
    check(runtimeCompiles == (first ? 2 : 0), "onInit compiled %d runtime kernel(s), expected %d", runtimeCompiles,
          first ? 2 : 0);
    DWORD light = 0, collar = 0, version = 0;
    const bool stored = readValueSize("ComputeShadeLight", &light) && readValueSize("ComputeShadeCollar", &collar) &&
                        readValueSize("Version", &version);
    check(stored && light > 0 && collar > 0 && version == 8,
          "registry holds \"ComputeShadeLight\" (%lu bytes), \"ComputeShadeCollar\" (%lu bytes), \"Version\" (%lu "
          "bytes)",
          light, collar, version);
}

// Frames processed outside an output run: odd sizes, rows wider than the
// frame, the track extremes, a clip shorter than the window, and a frame
// large enough for an OpenMP team.
void previewChecks(TestHost& host, bool first) {
    section("processing outside an output run");
    struct Preview {
        SyntheticClip clip;
        int extraColumns;
        int extraRows;
        Tracks tracks;
        std::vector<int> frames;
        const char* what;
    };
    const std::vector<Preview> previews = {
        {clipOf(37, 21, 6, 1), 7, 3, {3, 1, 50, 3, 1, 50}, {0, 2, 5}, "defaults"},
        {clipOf(37, 21, 6, 1), 7, 3, {0, 0, 50, 0, 0, 50}, {0, 3}, "R 0 T 0"},
        {clipOf(37, 21, 6, 1), 7, 3, {16, 1, 50, 16, 1, 50}, {2}, "large radius"},
        {clipOf(19, 13, 4, 2), 1, 0, {3, 7, 40, 2, 7, 60}, {0, 3}, "T 7 on 4 frames"},
        {clipOf(5, 3, 3, 3), 3, 1, {3, 1, 50, 3, 1, 50}, {1}, "tiny"},
    };
    for (const Preview& p : previews) {
        const int rowPixels = p.clip.width + p.extraColumns;
        const int heightBound = p.clip.height + p.extraRows;
        host.setClip(p.clip, rowPixels, heightBound);
        for (int n : p.frames) processAndCompare(host, n, p.tracks, rowPixels, heightBound, p.what);
    }
    // A frame of over 2 MiB is packed by a team of OpenMP threads, which
    // MinGW's libgomp keeps as a pool.
    const int threadsBefore = processFigures().threads;
    host.setClip(clipOf(722, 491, 2, 7), 724, 491);
    processAndCompare(host, 1, {1, 0, 50, 1, 0, 50}, 724, 491, "a team's frame");
    const int threadsAfter = processFigures().threads;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    if (system.dwNumberOfProcessors > 1)
        check(threadsAfter > threadsBefore, "OpenMP's team: %d threads before the large frame, %d after (%lu CPUs)",
              threadsBefore, threadsAfter, system.dwNumberOfProcessors);
    check(runtimeCompiles == (first ? 2 : 0) && fixedCompiles == 0, "no compile outside an output run");
}

void outputRuns(TestHost& host) {
    section("output runs");
    host.setClip(clipOf(29, 17, 8, 4), 32, 17);
    outputRun(host, {4, 2, 30, 5, 1, 70}, 32, 17, "run at 29x17");
    host.setClip(clipOf(40, 23, 5, 5), 41, 24);
    outputRun(host, {3, 1, 50, 3, 1, 50}, 41, 24, "run at 40x23 (size changed)");
    host.setClip(clipOf(37, 21, 6, 1), 44, 24);
    processAndCompare(host, 4, {3, 1, 50, 3, 1, 50}, 44, 24, "after the runs, back to 37x21");
}

// The process's figures at the first tenth of the load run and at its end.
struct LoadFigures {
    ProcessFigures tenth, last;
    double growth = 0;  // private bytes
};

// 300 frames of one output run, the process's figures sampled every tenth:
// handles, threads and private bytes stay flat after the first tenth.
LoadFigures loadRun(TestHost& host, bool dxvk) {
    section("Win32 under load");
    const int loadFrames = 300;
    host.setClip(clipOf(24, 16, loadFrames, 6), 24, 16);
    const Tracks loadTracks = {1, 1, 50, 1, 1, 50};
    host.setTracks(loadTracks);
    check(host.message(messageOutputStart) == 0, "1129 -> 0");
    std::vector<ProcessFigures> samples;
    int loadFailures = 0;
    int loadAheadMisses = 0;
    for (int n = 0; n < loadFrames; ++n) {
        const int startsBefore = threadStarts;
        host.clearCalls();
        if (!processAndCompare(host, n, loadTracks, 24, 16, "load", true)) ++loadFailures;
        if (threadStarts - startsBefore != (n == 0 ? 2 : 1)) ++loadAheadMisses;
        if ((n + 1) % (loadFrames / 10) == 0) samples.push_back(processFigures());
    }
    check(host.message(messageOutputEnd) == 0, "1130 -> 0");
    std::printf("  %-8s %8s %8s %14s\n", "frame", "handles", "threads", "private bytes");
    for (size_t i = 0; i < samples.size(); ++i)
        std::printf("  %-8d %8d %8d %14lu\n", (int)((i + 1) * (loadFrames / 10)), samples[i].handles,
                    samples[i].threads, (unsigned long)samples[i].privateBytes);
    LoadFigures f{samples.front(), samples.back()};
    check(loadFailures == 0, "all %d frames within one unit", loadFrames);
    check(loadAheadMisses == 0, "every frame after the first computed ahead");
    check(f.tenth.handles > 0 && f.last.handles <= f.tenth.handles && f.last.threads <= f.tenth.threads,
          "handles %d -> %d and threads %d -> %d flat from the first tenth to the end", f.tenth.handles,
          f.last.handles, f.tenth.threads, f.last.threads);
    // Wine's heap may settle by a few pages, and wined3d has been seen to
    // grow by itself where DXVK, under the same frames, stayed flat.
    f.growth = static_cast<double>(f.last.privateBytes) - static_cast<double>(f.tenth.privateBytes);
    const double growthBound = (dxvk ? 256.0 : 1024.0) * 1024.0;
    check(f.tenth.privateBytes > 0 && f.growth <= growthBound,
          "private bytes %lu -> %lu (%+.0f KiB, at most %+.0f KiB) flat from the first tenth to the end",
          (unsigned long)f.tenth.privateBytes, (unsigned long)f.last.privateBytes, f.growth / 1024.0,
          growthBound / 1024.0);
    return f;
}

void exitChecks(TestHost& host, const ProcessFigures& beforeInit) {
    section("onExit");
    check(host.exit() == 1, "onExit -> 1");
    const ProcessFigures afterExit = processFigures();
    std::printf("  before onInit: %d handles, %d threads; after onExit: %d handles, %d threads\n",
                beforeInit.handles, beforeInit.threads, afterExit.handles, afterExit.threads);
    check(boxes == 0, "no message box (%d)", boxes);
    check(failedCompiles == 0 && vkd3dRewriteFailures() == 0,
          "every compile succeeded (%d runtime in %.1f s, %d fixed in %.1f s)", runtimeCompiles,
          runtimeCompileSeconds, fixedCompiles, fixedCompileSeconds);
}

// The first start writes its frames' digests; the second holds its own
// against them.
void recordOrCompareDigests(bool first, const char* path) {
    section(first ? "frames recorded for the second start" : "frames against the first start");
    if (first) {
        std::ofstream out(path, std::ios::trunc);
        for (uint64_t d : digests) out << std::hex << d << "\n";
        check(static_cast<bool>(out), "%zu frame digests written to %s", digests.size(), path);
        return;
    }
    std::ifstream in(path);
    std::vector<uint64_t> before;
    uint64_t d = 0;
    while (in >> std::hex >> d) before.push_back(d);
    size_t differing = before.size() == digests.size() ? 0 : digests.size();
    for (size_t i = 0; i < before.size() && i < digests.size(); ++i) differing += before[i] != digests[i];
    check(differing == 0, "%zu frames, %zu differ from the first start's %zu", digests.size(), differing,
          before.size());
}

int printResult(const std::string& d3d11, const LoadFigures& load, DWORD started) {
    section("result");
    std::printf("wine frames on %s: %d frames, %.3f %% of %ld components exact, the rest within %d unit, %d "
                "box(es); load run from the first tenth to the end: handles %d -> %d, threads %d -> %d, private "
                "bytes %lu -> %lu (%+.0f KiB); %.1f s\n",
                d3d11.c_str(), totals.frames, totals.components ? 100.0 * totals.exact / totals.components : 0.0,
                totals.components, totals.maxAbs, boxes, load.tenth.handles, load.last.handles, load.tenth.threads,
                load.last.threads, (unsigned long)load.tenth.privateBytes, (unsigned long)load.last.privateBytes,
                load.growth / 1024.0, (GetTickCount() - started) / 1000.0);
    if (checksFailed)
        std::printf("wine frames: %d of %d checks failed\n", checksFailed, checksRun);
    else
        std::printf("wine frames: all %d checks hold\n", checksRun);
    return checksFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string mode = argc == 5 ? argv[3] : "";
    if (mode != "first" && mode != "second" && mode != "refused") {
        std::fprintf(stderr, "usage: %s PLUGIN VKD3D_UTILS_DLL first|second|refused DIGESTS\n", argv[0]);
        return 2;
    }
    const bool first = mode == "first";
    const char* d3d11Name = std::getenv("QUENDA_WINE_D3D11");
    const std::string d3d11 = d3d11Name && *d3d11Name ? d3d11Name : "wined3d";
    const bool dxvk = d3d11 == "dxvk";
    const DWORD started = GetTickCount();

    section(first ? "first start (fresh prefix)"
                  : mode == "second" ? "second start (same prefix)" : "start with the cache key refused");
    HMODULE plugin = nullptr;
    FilterTable* table = loadPlugin(argv[1], &plugin);
    if (!table) return 1;
    checkDirect3D11(dxvk);
    if (!interceptPlatform(plugin, argv[2])) return 1;
    if (mode == "refused") return refusedRegistryStart(plugin, table);

    checkCacheKeyBefore(first);
    TestHost host(table);
    const ProcessFigures beforeInit = processFigures();
    initAndCheckCache(host, first);
    previewChecks(host, first);
    outputRuns(host);
    const LoadFigures load = loadRun(host, dxvk);
    exitChecks(host, beforeInit);
    recordOrCompareDigests(first, argv[4]);
    return printResult(d3d11, load, started);
}
