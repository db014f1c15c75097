#include "cli/media/stream_copy.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>
#include <cstring>
#include <limits>

namespace quenda_cli {

namespace {

bool movFamily(const std::string& format) {
    for (const char* name : {"mov", "mp4", "ipod", "3gp", "3g2", "psp", "ismv", "f4v"})
        if (format == name) return true;
    return false;
}

// What this FFmpeg's muxers store of a video stream's description.
bool storesRotation(const std::string& format) {
    return movFamily(format) ||
           (LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 16, 100) && (format == "matroska" || format == "webm"));
}
bool storesHdr(const std::string& format) { return format == "matroska" || format == "webm" || movFamily(format); }
bool storesChapters(const std::string& format) {
    return format == "matroska" || format == "webm" || format == "nut" || format == "ogg" || movFamily(format);
}

// The video stream's side data that describes the picture, not its coding.
bool describesPicture(AVPacketSideDataType type) {
    return type == AV_PKT_DATA_DISPLAYMATRIX || type == AV_PKT_DATA_STEREO3D || type == AV_PKT_DATA_SPHERICAL ||
           type == AV_PKT_DATA_MASTERING_DISPLAY_METADATA || type == AV_PKT_DATA_CONTENT_LIGHT_LEVEL;
}

// The denoised video keeps the input stream's tags, disposition and the
// side data that describes its picture.
void takeVideoProperties(AVStream& video, const AVStream& in) {
    copyTags(&video.metadata, in.metadata);
    video.disposition = in.disposition;
    for (int d = 0; d < in.nb_side_data; ++d)
        if (describesPicture(in.side_data[d].type))
            addSideData(video, in.side_data[d].type, in.side_data[d].data, in.side_data[d].size);
}

// What of the video's description `format` cannot store.
void warnLostVideoData(const AVStream& video, const std::string& format, const std::string& container,
                       std::vector<std::string>& warnings) {
    const auto* matrix = reinterpret_cast<const int32_t*>(av_stream_get_side_data(&video, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix && !storesRotation(format) && std::lround(av_display_rotation_get(matrix)) % 360 != 0)
        warnings.push_back("the rotation of the video (" + std::to_string(std::lround(-av_display_rotation_get(matrix))) +
                            " degrees clockwise) cannot be stored in " + container + "; players will show it unrotated");
    if (!storesHdr(format) && (av_stream_get_side_data(&video, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, nullptr) ||
                               av_stream_get_side_data(&video, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, nullptr)))
        warnings.push_back("the HDR mastering display and light levels cannot be stored in " + container +
                            " and are left out");
}

}  // namespace

void StreamCopy::addStream(unsigned index, AVStream& in, AudioMode audioMode, bool chunk, const std::string& container,
                           std::vector<std::string>& warnings) {
    AVFormatContext& out = muxer_.context();
    const std::string format = muxer_.formatName();
    const int i = static_cast<int>(index);
    const std::string what = describeStream(index, in);
    const bool audio = in.codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    if (audio && audioMode == AudioMode::drop) {
        in.discard = AVDISCARD_ALL;
        return;
    }
    if ((in.disposition & AV_DISPOSITION_ATTACHED_PIC) && (format == "matroska" || format == "webm")) {
        attachPicture(in);
        in.discard = AVDISCARD_ALL;
        return;
    }
    const bool fits = !muxer_.y4m() && formatHolds(*out.oformat, *in.codecpar, in.disposition, in.metadata);
    // By default audio that cannot be kept is left out with a warning, as a
    // further video stream is.
    if (audio && muxer_.y4m() && audioMode == AudioMode::automatic) {
        warnings.push_back(what + " is left out: Y4M holds video only (write .mkv to keep it)");
        in.discard = AVDISCARD_ALL;
        return;
    }
    if (audio && (audioMode == AudioMode::transcode || (!fits && audioMode == AudioMode::automatic))) {
        // Each chunk's encoder starts with its own lead-in (1,024 samples for
        // AAC), so chunks encoded apart overlap at every seam.
        if (chunk)
            throw CliError(ExitCode::usage,
                           what + (fits ? " would be encoded again" : " cannot be stored in " + container + " as it is") +
                               ", and audio encoded chunk by chunk does not join exactly: write the chunks as .mkv, "
                               "which keeps the audio as it is, and quenda join converts it once where its output "
                               "cannot hold it; or leave it out with --audio drop");
        std::unique_ptr<AudioTranscoder> transcoder;
        try {
            transcoder = std::make_unique<AudioTranscoder>(in, muxer_);
        } catch (const CliError& error) {
            if (audioMode != AudioMode::automatic) throw;
            warnings.push_back(what + " cannot be stored in " + container + " and is left out (" + error.what() + ")");
            in.discard = AVDISCARD_ALL;
            return;
        }
        if (!fits)
            warnings.push_back(what + " cannot be stored in " + container + " as it is; it is converted to " +
                                transcoder->encoderName());
        copies_.push_back(Copy{i, nullptr, std::move(transcoder)});
        return;
    }
    if (!fits) {
        if (audio && audioMode == AudioMode::copy)
            throw CliError(ExitCode::usage, what + " cannot be stored in " + container +
                                                " as it is; use --audio transcode or --audio drop");
        warnings.push_back(what + " cannot be stored in " + container + " and is left out");
        in.discard = AVDISCARD_ALL;
        return;
    }
    copies_.push_back(Copy{i, addCopiedStream(out, in), nullptr});
}

StreamCopy::StreamCopy(Muxer& muxer, InputContextPtr input, int videoIndex, AVStream& video, AudioMode audioMode,
                       double startSeconds, double endSeconds, bool chunk, std::vector<std::string>& warnings)
    : muxer_(muxer), held_(allocPacket()), start_(startSeconds), end_(endSeconds) {
    AVFormatContext& out = muxer_.context();
    const std::string format = muxer_.formatName();
    const std::string container = muxer_.y4m() ? "Y4M" : format;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* in = input->streams[i];
        if (static_cast<int>(i) == videoIndex) {
            in->discard = AVDISCARD_ALL;
            takeVideoProperties(video, *in);
            continue;
        }
        // A stream the demuxer itself leaves out (MP4's chapter track) comes as chapters.
        if (in->discard == AVDISCARD_ALL) continue;
        addStream(i, *in, audioMode, chunk, container, warnings);
    }
    warnLostVideoData(video, format, container, warnings);
    copyTags(&out.metadata, input->metadata);
    if (input->nb_chapters > 0 && storesChapters(format)) copyChapters(out, *input);
    else if (input->nb_chapters > 0) warnings.push_back("the chapters cannot be stored in " + container + " and are left out");
    if (copies_.empty()) return;
    // A chunk's packets start near its first frame; earlier ones are skipped
    // by time in any case, so a failed seek only costs reading.
    if (std::isfinite(startSeconds) && startSeconds > 0) {
        const int64_t target = static_cast<int64_t>(startSeconds * AV_TIME_BASE);
        avformat_seek_file(input.get(), -1, INT64_MIN, target, target, 0);
    }
    source_ = std::move(input);
    ended_ = false;
}

StreamCopy::~StreamCopy() = default;

// Matroska keeps cover art as an attached file, not as a stream of one picture.
void StreamCopy::attachPicture(const AVStream& picture) {
    AVStream* attachment = avformat_new_stream(&muxer_.context(), nullptr);
    if (!attachment) throw std::bad_alloc();
    attachment->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
    attachment->codecpar->codec_id = picture.codecpar->codec_id;
    const AVPacket& image = picture.attached_pic;
    attachment->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(image.size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!attachment->codecpar->extradata) throw std::bad_alloc();
    std::memcpy(attachment->codecpar->extradata, image.data, image.size);
    attachment->codecpar->extradata_size = image.size;
    copyTags(&attachment->metadata, picture.metadata);
    if (!av_dict_get(attachment->metadata, "filename", nullptr, 0))
        av_dict_set(&attachment->metadata, "filename",
                    picture.codecpar->codec_id == AV_CODEC_ID_PNG ? "cover.png" : "cover.jpg", 0);
}

// Writes copied packets that start before `seconds`; one packet read ahead is
// held back until its time comes. Cover art belongs to every chunk.
void StreamCopy::copyUntil(double seconds) {
    while (!ended_) {
        if (!holding_) {
            const int result = av_read_frame(source_.get(), held_.get());
            if (result < 0) {
                ended_ = true;
                return;
            }
            if (source_->streams[held_->stream_index]->discard == AVDISCARD_ALL) {
                av_packet_unref(held_.get());
                continue;
            }
            holding_ = true;
        }
        const AVStream& stream = *source_->streams[held_->stream_index];
        const bool picture = stream.disposition & AV_DISPOSITION_ATTACHED_PIC;
        const int64_t ts = held_->pts != AV_NOPTS_VALUE ? held_->pts : held_->dts;
        const double at = ts == AV_NOPTS_VALUE ? start_ : ts * av_q2d(stream.time_base);
        if (!picture && at > seconds) return;
        holding_ = false;
        if (!picture && (at < start_ || at >= end_)) {
            av_packet_unref(held_.get());
            continue;
        }
        writeHeld();
    }
}

void StreamCopy::writeHeld() {
    for (const Copy& copy : copies_) {
        if (copy.inputIndex != held_->stream_index) continue;
        if (copy.transcoder) {
            copy.transcoder->send(*held_);
            break;
        }
        av_packet_rescale_ts(held_.get(), source_->streams[copy.inputIndex]->time_base, copy.output->time_base);
        held_->stream_index = copy.output->index;
        held_->pos = -1;
        muxer_.write(*held_);
        break;
    }
    av_packet_unref(held_.get());
}

void StreamCopy::finish() {
    copyUntil(std::numeric_limits<double>::infinity());
    for (const Copy& copy : copies_)
        if (copy.transcoder) copy.transcoder->finish();
}

}  // namespace quenda_cli
