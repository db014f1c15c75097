// quenda: the command-line host of the Quenda denoising plug-in.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "cli/commands/command_line.h"

int main(int argc, char** argv) {
    // Started with standard input, output or error closed (a daemon, a cron
    // job, `>&- 2>&-`), the first file opened would take that descriptor and
    // a warning meant for standard error would land in the video. Each
    // closed one is opened on /dev/null, lowest first, before anything else.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0) return 127;
        if (opened != fd) {
            close(opened);
            return 127;
        }
    }
    // By default libgomp's threads spin for some milliseconds after each of
    // the plug-in's OpenMP loops before they sleep, on the cores that a CPU
    // device needs for its kernels: about a tenth of an output run at radius
    // 0. libgomp reads its wait policy once, when it is loaded, and FFmpeg's
    // resampler loads it before main; so quenda starts over once with the
    // threads told to sleep at once. A policy the user chose is kept, and if
    // the new start fails quenda goes on as it is.
    if (!std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT") &&
        setenv("OMP_WAIT_POLICY", "PASSIVE", 0) == 0)
        execv("/proc/self/exe", argv);
    return quenda_cli::runCommandLine(argc, argv);
}
