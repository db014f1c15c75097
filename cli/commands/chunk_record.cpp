#include "cli/commands/chunk_record.h"

extern "C" {
#include <libavutil/dict.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>

namespace quenda_cli {

std::string ChunkRecord::text() const {
    char at[40] = "";
    if (std::isfinite(start)) std::snprintf(at, sizeof at, ";start=%.6f", start);
    return "source=" + source + ";clip=" + std::to_string(clipFrames) + ";frames=" + std::to_string(first) + ":" +
           std::to_string(end) + ";settings=" + settings + at + ";encoding=" + encoding;
}

std::optional<ChunkRecord> ChunkRecord::read(const AVDictionary* tags) {
    const AVDictionaryEntry* entry = av_dict_get(tags, tag, nullptr, 0);
    if (!entry) return std::nullopt;
    ChunkRecord record;
    char source[64] = {}, settings[256] = {};
    int length = 0;
    if (std::sscanf(entry->value, "source=%63[^;];clip=%d;frames=%d:%d;settings=%255[^;]%n", source,
                    &record.clipFrames, &record.first, &record.end, settings, &length) != 5 ||
        record.first < 0 || record.end <= record.first || record.end > record.clipFrames)
        return std::nullopt;
    // The start and the encoding follow where the chunk records them; the
    // encoding comes last and may hold any character.
    const char* rest = entry->value + length;
    double start = 0;
    int startLength = 0;
    if (std::sscanf(rest, ";start=%lf%n", &start, &startLength) == 1 && std::isfinite(start)) {
        record.start = start;
        rest += startLength;
    }
    const char encodingField[] = ";encoding=";
    if (std::strncmp(rest, encodingField, sizeof encodingField - 1) == 0)
        record.encoding = rest + sizeof encodingField - 1;
    else if (*rest != '\0')
        return std::nullopt;
    record.source = source;
    record.settings = settings;
    return record;
}

}  // namespace quenda_cli
