// Arbitrary bytes as an input file of quenda: the file is opened and indexed
// as the command opens its input, its frames are decoded forward and by seek,
// and each is converted into the host image the plug-in reads and back into a
// frame of the file's format, all with the command's own code. A CliError (a
// clear message and an exit status) or a failed allocation is a proper end;
// anything else escaping, or a memory error, is a fault.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "cli/commands/errors.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"
#include "fuzz/fuzz_support.h"

namespace {

// Frames larger than this are indexed but not converted, to keep a run fast.
constexpr int64_t convertPixelLimit = 1 << 20;
constexpr int frameLimit = 12;

const std::string& inputPath() {
    static const std::string path = [] {
        av_log_set_level(AV_LOG_QUIET);
        return fuzz_support::processTempDirectory() + "/input";
    }();
    return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot write %s", path.c_str());
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0, "cannot write %s", path.c_str());
        done += static_cast<size_t>(n);
    }
    close(fd);
}

// Converts frame `index` both ways; a frame that cannot be decoded ends the clip early.
bool visit(quenda_cli::VideoInput& input, quenda_cli::YcConverter& converter, std::vector<PixelYC>& image,
           int index) {
    if (index < 0 || index >= input.frameCount()) return false;
    try {
        const AVFrame& frame = input.frame(index);
        converter.toYc(frame, image.data());
        quenda_cli::FramePtr back = converter.fromYc(image.data(), frame);
        FUZZ_CHECK(back && back->width == converter.width() && back->height == converter.height(),
                   "converted frame %d has the wrong size", index);
    } catch (const quenda_cli::InputEndsEarly& stop) {
        FUZZ_CHECK(input.frameCount() <= stop.firstMissing(), "frame count %d after the clip ended at %d",
                   input.frameCount(), stop.firstMissing());
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = inputPath();
    writeFile(path, data, size);
    try {
        quenda_cli::VideoInput input(path, 4);
        const quenda_cli::VideoInfo& info = input.info();
        FUZZ_CHECK(info.width >= 1 && info.height >= 1 && info.width <= quenda_cli::VideoInput::maxDimension &&
                       info.height <= quenda_cli::VideoInput::maxDimension,
                   "opened with frames of %dx%d", info.width, info.height);
        FUZZ_CHECK(input.frameCount() >= 1, "opened with %d frames", input.frameCount());
        if (static_cast<int64_t>(info.width) * info.height > convertPixelLimit) return 0;

        quenda_cli::YcConverter converter(info.format, info.width, info.height,
                                          quenda_cli::isFullRange(info.format, info.range), info.colorSpace);
        std::vector<PixelYC> image(static_cast<size_t>(converter.rowPixels()) * converter.height());
        // Forward as an output run reads, then back to the start and to the
        // last frame, which makes the input seek.
        const int forward = std::min(input.frameCount(), frameLimit);
        for (int i = 0; i < forward; ++i)
            if (!visit(input, converter, image, i)) break;
        visit(input, converter, image, 0);
        visit(input, converter, image, input.frameCount() - 1);
        visit(input, converter, image, input.frameCount() / 2);
    } catch (const quenda_cli::CliError&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
