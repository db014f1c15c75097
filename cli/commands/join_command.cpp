#include "cli/commands/join_command.h"

#include "cli/commands/chunk_record.h"
#include "cli/commands/errors.h"
#include "cli/commands/frame_range.h"
#include "cli/media/audio_transcode.h"
#include "cli/media/muxer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>

namespace quenda_cli {

namespace {

struct Part {
    std::string path;
    int video = -1;  // the stream whose time stamps place the part
    double start = 0;  // the span of its video, in seconds
    double end = 0;
    int frames = 0;
    std::optional<ChunkRecord> record;  // what the part was made from
};

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", value);
    return text;
}

std::string frameSpan(int first, int end) {
    return "frames " + std::to_string(first) + " to " + std::to_string(end - 1);
}

// The part's video span, from its packets without decoding; a part that
// holds fewer frames than its record names is refused.
Part scan(const std::string& path) {
    Part part;
    part.path = path;
    InputContextPtr input = openInputFile(path);
    for (unsigned i = 0; i < input->nb_streams && part.video < 0; ++i)
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(input->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            part.video = static_cast<int>(i);
    if (part.video < 0) throw CliError(ExitCode::input, path + " has no video stream");
    part.record = ChunkRecord::read(input->metadata);
    if (!part.record)
        throw CliError(ExitCode::input, path + " does not say what it was made from (it was not written by quenda "
                                               "denoise, or in a format that keeps no tags); join parts of one run only");
    const AVStream& stream = *input->streams[part.video];
    const double frameSeconds = stream.avg_frame_rate.num > 0 ? av_q2d(av_inv_q(stream.avg_frame_rate)) : 0;
    part.start = std::numeric_limits<double>::infinity();
    part.end = -part.start;
    PacketPtr packet = allocPacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == part.video && packet->pts != AV_NOPTS_VALUE) {
            const double at = packet->pts * av_q2d(stream.time_base);
            const double duration = packet->duration > 0 ? packet->duration * av_q2d(stream.time_base) : frameSeconds;
            part.start = std::min(part.start, at);
            part.end = std::max(part.end, at + duration);
            ++part.frames;
        }
        av_packet_unref(packet.get());
    }
    const ChunkRecord& record = *part.record;
    if (part.frames != record.end - record.first)
        throw CliError(ExitCode::input, path + " holds " + std::to_string(part.frames) + " of the " +
                                            std::to_string(record.end - record.first) + " frames its record names (" +
                                            frameSpan(record.first, record.end) +
                                            "): it was cut after it was made (an ffmpeg cut keeps the record), or its "
                                            "writing stopped short; make it again with quenda denoise --frames " +
                                            std::to_string(record.first) + ":" + std::to_string(record.end));
    const double slack = 0.5 * (part.end - part.start) / part.frames;
    if (std::isfinite(record.start) && std::abs(part.start - record.start) > slack)
        throw CliError(ExitCode::input, path + " starts at " + seconds(part.start) + " where its record says " +
                                            seconds(record.start) +
                                            ": its time stamps were changed after it was made (an ffmpeg cut keeps "
                                            "the record); make it again with quenda denoise --frames " +
                                            std::to_string(record.first) + ":" + std::to_string(record.end));
    return part;
}

// Streams in the same order, of the same kinds and codecs, and video of one
// size. `first` holds the first part's streams (or copies of them).
void checkMatch(const AVFormatContext& first, const std::string& firstPath, const AVFormatContext& other,
                const std::string& otherPath) {
    auto mismatch = [&](const std::string& what) {
        throw CliError(ExitCode::input, otherPath + " does not match " + firstPath + ": " + what +
                                            "; join parts of one run only");
    };
    if (other.nb_streams != first.nb_streams)
        mismatch(std::to_string(other.nb_streams) + " streams, not " + std::to_string(first.nb_streams));
    for (unsigned i = 0; i < first.nb_streams; ++i) {
        const AVCodecParameters& a = *first.streams[i]->codecpar;
        const AVCodecParameters& b = *other.streams[i]->codecpar;
        if (a.codec_type != b.codec_type || a.codec_id != b.codec_id)
            mismatch(describeStream(i, *other.streams[i]) + ", not " + describeStream(i, *first.streams[i]));
        auto frames = [](const AVCodecParameters& p) {
            return std::to_string(p.width) + "x" + std::to_string(p.height) + " " + pixelFormatName(p.format);
        };
        if (a.codec_type == AVMEDIA_TYPE_VIDEO && (a.width != b.width || a.height != b.height || a.format != b.format))
            mismatch("stream " + std::to_string(i) + " has frames of " + frames(b) + ", not " + frames(a));
        // The decoder's setup (H.264's parameter sets, for one) is stored once
        // for the whole output; packets coded for another would not decode.
        const bool picture = first.streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC;
        if (!picture && (a.extradata_size != b.extradata_size ||
                         (a.extradata_size > 0 && std::memcmp(a.extradata, b.extradata, a.extradata_size) != 0)))
            mismatch(describeStream(i, *other.streams[i]) +
                     " was encoded with other settings, and its packets would not decode after the others'");
    }
}

// Parts of one input and one set of settings, whose frames follow each other.
void checkChunksFollow(const std::vector<Part>& parts) {
    const ChunkRecord& made = *parts[0].record;
    for (size_t i = 1; i < parts.size(); ++i) {
        const ChunkRecord& other = *parts[i].record;
        if (other.source != made.source || other.clipFrames != made.clipFrames)
            throw CliError(ExitCode::input, parts[i].path + " was made from another input than " + parts[0].path +
                                                "; join parts of one run only");
        if (other.settings != made.settings)
            throw CliError(ExitCode::input, parts[i].path + " was made with other settings (" + other.settings +
                                                ") than " + parts[0].path + " (" + made.settings + ")");
        if (other.encoding != made.encoding) {
            auto shown = [](const std::string& encoding) { return encoding.empty() ? "not recorded" : encoding; };
            throw CliError(ExitCode::input, parts[i].path + " was encoded with other settings (" +
                                                shown(other.encoding) + ") than " + parts[0].path + " (" +
                                                shown(made.encoding) +
                                                "); make it again with the same --codec, --crf, --preset and "
                                                "--encoder-options");
        }
        const ChunkRecord& before = *parts[i - 1].record;
        if (other.first < before.end)
            throw CliError(ExitCode::input, parts[i].path + " (frames " + std::to_string(other.first) + " to " +
                                                std::to_string(other.end - 1) + ") overlaps " + parts[i - 1].path +
                                                " (to frame " + std::to_string(before.end - 1) + ")");
        if (other.first > before.end)
            throw CliError(ExitCode::input, "frames " + std::to_string(before.end) + " to " +
                                                std::to_string(other.first - 1) + " are missing between " +
                                                parts[i - 1].path + " and " + parts[i].path);
    }
}

// The parts cover the whole clip, or exactly the frames asked for.
void checkCovered(const std::vector<Part>& parts, const JoinOptions& options) {
    const int clip = parts[0].record->clipFrames;
    const int first = parts.front().record->first, end = parts.back().record->end;
    const int wantFirst = options.framesGiven ? options.firstFrame : 0;
    const int wantEnd = options.framesGiven ? frameRangeEnd(options.endFrame, clip) : clip;
    const std::string asked = options.framesGiven ? "--frames " + std::to_string(wantFirst) + ":" + std::to_string(wantEnd)
                                                  : "the clip";
    if (wantFirst >= wantEnd)
        throw CliError(ExitCode::usage, startsBeyondEnd(asked, wantFirst, clip, "the parts' clip"));
    const std::string clipFrames = " (the clip has " + std::to_string(clip) + " frames)";
    const std::string hint = options.framesGiven ? std::string()
                                                 : "; to join a part of the clip, name its frames with --frames " +
                                                       std::to_string(first) + ":" + std::to_string(end);
    if (first > wantFirst)
        throw CliError(ExitCode::input, frameSpan(wantFirst, first) + " are missing before " + parts.front().path +
                                            clipFrames + hint);
    if (end < wantEnd)
        throw CliError(ExitCode::input,
                       frameSpan(end, wantEnd) + " are missing after " + parts.back().path + clipFrames + hint);
    if (first < wantFirst || end > wantEnd)
        throw CliError(ExitCode::input, "the parts hold " + frameSpan(first, end) + ", not just the " +
                                            frameSpan(wantFirst, wantEnd) + " that " + asked + " asks for");
}

// Chunks of one run meet exactly; half a frame of slack covers rounding.
void checkTimesMeet(const std::vector<Part>& parts) {
    for (size_t i = 1; i < parts.size(); ++i) {
        const Part& before = parts[i - 1];
        const Part& after = parts[i];
        const double slack = 0.5 * (before.end - before.start) / before.frames;
        if (after.start < before.end - slack)
            throw CliError(ExitCode::input, after.path + " (from " + seconds(after.start) + ") overlaps " +
                                                before.path + " (to " + seconds(before.end) + ")");
        if (after.start > before.end + slack)
            throw CliError(ExitCode::input, "frames are missing between " + before.path + " (to " +
                                                seconds(before.end) + ") and " + after.path + " (from " +
                                                seconds(after.start) + ")");
    }
}

// Audio that the output cannot hold, converted once over the whole so that
// it has no seams; null for a stream that is copied.
using Transcoders = std::vector<std::unique_ptr<AudioTranscoder>>;

// The output's streams, tags and chapters as the first part has them, and
// the record of the whole range the parts cover. The output's stream i is
// the parts' stream i, copied or converted.
Transcoders setUpJoined(Muxer& muxer, const AVFormatContext& first, const std::vector<Part>& parts) {
    AVFormatContext& out = muxer.context();
    Transcoders transcoders(first.nb_streams);
    for (unsigned i = 0; i < first.nb_streams; ++i) {
        const AVStream& in = *first.streams[i];
        if (in.codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
            !formatHolds(*out.oformat, *in.codecpar, in.disposition, in.metadata)) {
            transcoders[i] = std::make_unique<AudioTranscoder>(in, muxer);
            std::cerr << "quenda: warning: " << describeStream(i, in) << " cannot be stored in " << out.oformat->name
                      << " as it is; it is converted to " << transcoders[i]->encoderName() << "\n";
            continue;
        }
        if (avformat_query_codec(out.oformat, in.codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 0)
            throw CliError(ExitCode::usage, std::string("a ") + out.oformat->name + " file cannot hold " +
                                                describeStream(i, in) + " of " + parts[0].path +
                                                "; join into .mkv, or make the chunks with a --codec it holds");
        addCopiedStream(out, in);
    }
    copyTags(&out.metadata, first.metadata);
    ChunkRecord joined = *parts[0].record;
    joined.end = parts.back().record->end;
    muxer.setTag(ChunkRecord::tag, joined.text());
    copyChapters(out, first);
    return transcoders;
}

// Copies every part's packets in turn; returns the video frames copied.
int copyPackets(Muxer& muxer, InputContextPtr first, const std::vector<Part>& parts, const Transcoders& transcoders) {
    AVFormatContext& out = muxer.context();
    PacketPtr packet = allocPacket();
    int frames = 0;
    std::vector<AVRational> firstTimeBases;
    for (unsigned i = 0; i < first->nb_streams; ++i) firstTimeBases.push_back(first->streams[i]->time_base);
    for (size_t p = 0; p < parts.size(); ++p) {
        InputContextPtr input = p == 0 ? std::move(first) : openInputFile(parts[p].path);
        while (av_read_frame(input.get(), packet.get()) >= 0) {
            const AVStream& in = *input->streams[packet->stream_index];
            // Cover art is one picture for the whole file, in every part.
            if (p > 0 && (in.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                av_packet_unref(packet.get());
                continue;
            }
            // FFmpeg's MP4 reader lengthens the last packet of a stream that
            // starts late; the stream's declared end tells its true length.
            if (in.start_time != AV_NOPTS_VALUE && in.duration > 0 && packet->pts != AV_NOPTS_VALUE &&
                packet->duration > 0)
                packet->duration = std::max<int64_t>(
                    0, std::min(packet->duration, in.start_time + in.duration - packet->pts));
            if (const auto& transcoder = transcoders[packet->stream_index]) {
                av_packet_rescale_ts(packet.get(), in.time_base, firstTimeBases[packet->stream_index]);
                transcoder->send(*packet);
                av_packet_unref(packet.get());
                continue;
            }
            AVStream& to = *out.streams[packet->stream_index];
            av_packet_rescale_ts(packet.get(), in.time_base, to.time_base);
            packet->pos = -1;
            frames += packet->stream_index == parts[p].video;
            muxer.write(*packet);
        }
    }
    for (const auto& transcoder : transcoders)
        if (transcoder) transcoder->finish();
    return frames;
}

}  // namespace

void runJoin(const JoinOptions& given) {
    JoinOptions options = given;
    options.output = fileName(given.output, false);
    for (std::string& part : options.parts) part = fileName(part, true);
    if (options.parts.empty())
        throw CliError(ExitCode::usage, "join needs the parts and the output (quenda join PART... OUTPUT)");
    std::vector<RunFile> files{{"the output", options.output, true}};
    for (const std::string& path : options.parts) files.push_back({"a part", path, false});
    refuseSameFile(files);
    const OutputGuard guard(files);
    OutputFile::check(options.output, options.overwrite);
    Muxer muxer(options.output, options.format);
    if (muxer.y4m())
        throw CliError(ExitCode::usage, "join copies the parts' coded packets, and Y4M holds raw frames only: write " +
                                            std::string(options.output == "-" ? "-f matroska -" : "a .mkv or .mp4 file") +
                                            " instead");

    std::vector<Part> parts;
    for (const std::string& path : options.parts) parts.push_back(scan(path));
    std::stable_sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.start < b.start; });
    checkChunksFollow(parts);
    checkCovered(parts, options);
    checkTimesMeet(parts);
    InputContextPtr first = openInputFile(parts[0].path);
    for (size_t p = 1; p < parts.size(); ++p)
        checkMatch(*first, parts[0].path, *openInputFile(parts[p].path), parts[p].path);

    const Transcoders transcoders = setUpJoined(muxer, *first, parts);
    muxer.open(options.overwrite);
    muxer.writeHeader();
    const int frames = copyPackets(muxer, std::move(first), parts, transcoders);
    // A part that changed since it was checked (one still being written).
    if (frames != parts.back().record->end - parts.front().record->first)
        throw CliError(ExitCode::input, "the parts changed while they were joined (" + std::to_string(frames) +
                                            " frames copied, not " +
                                            std::to_string(parts.back().record->end - parts.front().record->first) +
                                            "); join them again once they are written");
    muxer.finish();
    // Standard output carries the stream alone.
    std::ostream& messages = options.output == "-" ? std::cerr : std::cout;
    if (!options.quiet)
        messages << "joined " << parts.size() << (parts.size() == 1 ? " part, " : " parts, ") << frames
                 << " frames from " << seconds(parts.front().start) << " to " << seconds(parts.back().end) << ", into "
                 << (options.output == "-" ? "standard output" : options.output) << "\n";
}

}  // namespace quenda_cli
