// Long run: drives many frames of a small clip through an output run with
// random seeks and 1124 messages, and prints the resident memory and the
// live Direct3D objects at the start and the end; both must stay flat.
// Usage: quenda_long_run [frames=5000] [seed=1]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "cli/hosting/plugin_host.h"
#include "platform/test_hooks.h"
#include "tests/support/test_host.h"

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 5000;
    std::mt19937 random(argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 1u);
    platform_hooks::setBoxEcho(true);

    quenda_cli::PluginModule plugin(QUENDA_PLUGIN_PATH);
    TestHost host(&plugin.table());
    SyntheticClip clip;
    clip.width = 48;
    clip.height = 32;
    clip.count = 300;
    host.setClip(clip);
    host.setTracks({2, 1, 50, 2, 1, 50});
    if (host.init() != 1 || host.message(1129) != 0) return 1;

    long startRss = 0, startLive = 0;
    int n = 0, failures = 0, seeks = 0, discards = 0;
    for (int i = 0; i < frames; ++i) {
        if (host.process(n) != 1) ++failures;
        host.calls.clear();  // the host's call log would grow otherwise
        if (i == 50) {  // after the caches and allocators have settled
            host.message(1130);  // measured, like the end, with the cache emptied
            startRss = residentKiB();
            startLive = platform_hooks::liveObjects();
            host.message(1129);
        }
        const int roll = static_cast<int>(random() % 100);
        if (roll < 5) {
            n = static_cast<int>(random() % clip.count);
            ++seeks;
        } else {
            n = (n + 1) % clip.count;
        }
        if (roll >= 95) {
            host.message(1124);
            ++discards;
        }
    }
    host.message(1130);
    const long endRss = residentKiB();
    const long endLive = platform_hooks::liveObjects();
    host.exit();
    std::printf("frames %d, seeks %d, 1124 messages %d, failed calls %d\n", frames, seeks, discards, failures);
    std::printf("resident memory: %ld KiB after 50 frames, %ld KiB at the end\n", startRss, endRss);
    std::printf("live Direct3D objects: %ld after 50 frames, %ld at the end, %ld after onExit\n", startLive, endLive,
                platform_hooks::liveObjects());
    return failures == 0 && endLive == startLive && platform_hooks::liveObjects() == 0 ? 0 : 1;
}
