#include "cli/chunk_record.h"

extern "C" {
#include <libavutil/dict.h>
}

#include <cstdio>
#include <cstring>

namespace quenda_cli {

std::string ChunkRecord::text() const {
    return "source=" + source + ";clip=" + std::to_string(clipFrames) + ";frames=" + std::to_string(first) + ":" +
           std::to_string(end) + ";settings=" + settings;
}

std::optional<ChunkRecord> ChunkRecord::read(const AVDictionary* tags) {
    const AVDictionaryEntry* entry = av_dict_get(tags, tag, nullptr, 0);
    if (!entry) return std::nullopt;
    ChunkRecord record;
    char source[64] = {}, settings[256] = {};
    int length = 0;
    if (std::sscanf(entry->value, "source=%63[^;];clip=%d;frames=%d:%d;settings=%255[^;]%n", source,
                    &record.clipFrames, &record.first, &record.end, settings, &length) != 5 ||
        entry->value[length] != '\0' || record.first < 0 || record.end <= record.first)
        return std::nullopt;
    record.source = source;
    record.settings = settings;
    return record;
}

}  // namespace quenda_cli
