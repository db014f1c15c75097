// What a denoised file was made from, carried in its container's tags, so
// that `quenda join` takes only the chunks of one clip and one set of
// settings: the input's fingerprint, its frame count, the frames this file
// holds and the settings asked for ("auto" for a dispersion left to the
// measured noise, which may differ from chunk to chunk) and the video
// encoder's settings as asked for, since coded packets join only where they
// were encoded alike.
#pragma once

#include <limits>
#include <optional>
#include <string>

struct AVDictionary;

namespace quenda_cli {

struct ChunkRecord {
    static constexpr const char* tag = "QUENDA_CHUNK";

    std::string source;    // the input's fingerprint
    int clipFrames = 0;    // frames of the whole input
    int first = 0;         // the frames this file holds: first to end - 1
    int end = 0;
    std::string settings;  // the six parameters as asked for, and the chroma detail
    double start = std::numeric_limits<double>::quiet_NaN();  // the first frame's time, in seconds
    std::string encoding;  // the video encoder and the settings given to it

    std::string text() const;
    // The record in `tags`; none when absent or unreadable.
    static std::optional<ChunkRecord> read(const AVDictionary* tags);
};

}  // namespace quenda_cli
