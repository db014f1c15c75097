#include "cli/media/muxer.h"

#include "cli/commands/errors.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <numeric>

namespace quenda_cli {

namespace {

// Standard output when it is a regular file (`> out.mp4`): written and
// seeked through the descriptor itself, so that a format that goes back to
// fill in its header (MP4) can, offsets counted from where the file stood.
struct SeekableOutput {
    int fd;
    int64_t base;
};

int writeOutput(void* opaque, uint8_t* data, int size) {
    const auto* out = static_cast<SeekableOutput*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t put = write(out->fd, data + done, static_cast<size_t>(size - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return put < 0 ? AVERROR(errno) : AVERROR(EIO);
        done += static_cast<int>(put);
    }
    return size;
}

int64_t seekOutput(void* opaque, int64_t offset, int whence) {
    const auto* out = static_cast<SeekableOutput*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat info;
        return fstat(out->fd, &info) == 0 ? info.st_size - out->base : AVERROR(errno);
    }
    whence &= ~AVSEEK_FORCE;
    const off_t at = lseek(out->fd, whence == SEEK_SET ? out->base + offset : offset, whence);
    return at < 0 ? AVERROR(errno) : at - out->base;
}

// Standard output as a seekable context where it is a regular file opened
// without O_APPEND (which would write every block at the end); null otherwise.
AVIOContext* openSeekableStandardOutput() {
    struct stat info;
    if (fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    const off_t base = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (flags < 0 || (flags & O_APPEND) || base < 0) return nullptr;
    const int size = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(size));
    auto* out = new SeekableOutput{STDOUT_FILENO, base};
    AVIOContext* context = buffer ? avio_alloc_context(buffer, size, 1, out, nullptr, writeOutput, seekOutput) : nullptr;
    if (!context) {
        av_free(buffer);
        delete out;
        throw std::bad_alloc();
    }
    return context;
}

std::string lowerExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// Matroska's per-track statistics, and a chunk's record, describe the file
// they were read from.
bool keepsTag(const char* key) {
    static const char* const dropped[] = {"DURATION", "NUMBER_OF_FRAMES", "NUMBER_OF_BYTES", "ENCODER", "QUENDA_CHUNK",
                                          "_STATISTICS_TAGS", "_STATISTICS_WRITING_APP", "_STATISTICS_WRITING_DATE_UTC", "BPS"};
    for (const char* name : dropped)
        if (av_strcasecmp(key, name) == 0) return false;
    return true;
}

// MP4 and QuickTime place a stream that starts late with an edit list counted
// in the movie's time scale, 1/1000 s by default: a chunk's audio would move
// by a fraction of a millisecond. A scale that every stream's time stamps
// divide keeps them exact.
void exactMovieTimescale(AVFormatContext& context) {
    if (!context.priv_data || !av_opt_find(context.priv_data, "movie_timescale", nullptr, 0, 0)) return;
    int64_t scale = 1000;
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream& stream = *context.streams[i];
        for (const int64_t den : {static_cast<int64_t>(stream.time_base.den), static_cast<int64_t>(stream.codecpar->sample_rate)})
            if (den > 0) scale = scale / std::gcd(scale, den) * den;
        if (scale > INT32_MAX) return;
    }
    av_opt_set_int(context.priv_data, "movie_timescale", scale, 0);
}

int discardWrite(void*, uint8_t*, int size) { return size; }
int64_t discardSeek(void*, int64_t offset, int whence) { return whence == AVSEEK_SIZE ? -1 : offset; }

}  // namespace

bool formatHolds(const AVOutputFormat& format, const AVCodecParameters& parameters, int disposition,
                 const AVDictionary* tags, AVRational frameRate) {
    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, &format, nullptr, nullptr) < 0 || !context) throw std::bad_alloc();
    const int bufferSize = 4096;
    auto* buffer = static_cast<uint8_t*>(av_malloc(bufferSize));
    AVIOContext* nowhere =
        buffer ? avio_alloc_context(buffer, bufferSize, 1, nullptr, nullptr, discardWrite, discardSeek) : nullptr;
    AVStream* stream = avformat_new_stream(context, nullptr);
    bool holds = false;
    if (nowhere && stream && avcodec_parameters_copy(stream->codecpar, &parameters) >= 0) {
        stream->codecpar->codec_tag = 0;
        stream->disposition = disposition;
        av_dict_copy(&stream->metadata, tags, 0);
        stream->time_base = parameters.sample_rate > 0 ? AVRational{1, parameters.sample_rate}
                            : frameRate.num > 0     ? av_inv_q(frameRate)
                                                    : AVRational{1, 1000};
        stream->avg_frame_rate = frameRate;
        stream->r_frame_rate = frameRate;
        context->pb = nowhere;
        holds = avformat_write_header(context, nullptr) >= 0;
        context->pb = nullptr;
    }
    if (nowhere) {
        av_freep(&nowhere->buffer);
        avio_context_free(&nowhere);
    } else {
        av_free(buffer);
    }
    avformat_free_context(context);
    return holds;
}

void copyTags(AVDictionary** to, const AVDictionary* from) {
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX)))
        if (keepsTag(entry->key)) av_dict_set(to, entry->key, entry->value, 0);
}

std::string describeStream(unsigned index, const AVStream& stream) {
    const AVCodecDescriptor* desc = avcodec_descriptor_get(stream.codecpar->codec_id);
    const std::string codec = desc ? desc->name : "unknown";
    if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) return "the cover art (" + codec + ")";
    const char* kind = av_get_media_type_string(stream.codecpar->codec_type);
    return std::string(kind ? kind : "data") + " stream " + std::to_string(index) + " (" + codec + ")";
}

void addSideData(AVStream& stream, AVPacketSideDataType type, const uint8_t* data, size_t size) {
    if (av_stream_get_side_data(&stream, type, nullptr)) return;
    uint8_t* copy = av_stream_new_side_data(&stream, type, size);
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, data, size);
}

AVStream* addCopiedStream(AVFormatContext& out, const AVStream& in) {
    AVStream* copy = avformat_new_stream(&out, nullptr);
    if (!copy || avcodec_parameters_copy(copy->codecpar, in.codecpar) < 0) throw std::bad_alloc();
    copy->codecpar->codec_tag = 0;
    copy->time_base = in.time_base;
    copy->avg_frame_rate = in.avg_frame_rate;
    copy->r_frame_rate = in.r_frame_rate;
    copy->sample_aspect_ratio = in.sample_aspect_ratio;
    copyStreamProperties(*copy, in);
    return copy;
}

void copyStreamProperties(AVStream& to, const AVStream& from) {
    copyTags(&to.metadata, from.metadata);
    to.disposition = from.disposition;
    for (int i = 0; i < from.nb_side_data; ++i)
        addSideData(to, from.side_data[i].type, from.side_data[i].data, from.side_data[i].size);
}

void copyChapters(AVFormatContext& to, const AVFormatContext& from) {
    for (unsigned i = 0; i < from.nb_chapters; ++i) {
        const AVChapter& chapter = *from.chapters[i];
        AVChapter* copy = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!copy || av_dynarray_add_nofree(&to.chapters, reinterpret_cast<int*>(&to.nb_chapters), copy) < 0) {
            av_free(copy);
            throw std::bad_alloc();
        }
        copy->id = chapter.id;
        copy->time_base = chapter.time_base;
        copy->start = chapter.start;
        copy->end = chapter.end;
        copyTags(&copy->metadata, chapter.metadata);
    }
}

Muxer::Muxer(const std::string& path, const std::string& format) : path_(path) {
    const AVOutputFormat* chosen = nullptr;
    if (!format.empty()) {
        chosen = av_guess_format(format.c_str(), nullptr, nullptr);
        if (!chosen) throw CliError(ExitCode::usage, "FFmpeg has no output format named " + format);
    } else {
        chosen = path == "-" || lowerExtension(path) == "y4m" ? av_guess_format("yuv4mpegpipe", nullptr, nullptr)
                                                             : av_guess_format(nullptr, path.c_str(), nullptr);
        if (!chosen)
            throw CliError(ExitCode::usage, "cannot tell the output format of " + path +
                                                " from its extension (try .mkv, .mp4 or .y4m, or name one with -f)");
    }
    if ((chosen->flags & AVFMT_NOFILE) && std::strcmp(chosen->name, "null") != 0)
        throw CliError(ExitCode::usage, std::string("the ") + chosen->name +
                                            " format writes a sequence of files; write a video file instead");
    if (avformat_alloc_output_context2(&context_, chosen, nullptr, nullptr) < 0 || !context_) throw std::bad_alloc();
    // Y4M tags for depths above 8 bits are common but unofficial.
    if (y4m()) context_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
}

void Muxer::closeOutput() {
    if (!context_->pb || (context_->oformat->flags & AVFMT_NOFILE)) return;
    if (!seekableStandardOutput_) {
        const int result = avio_closep(&context_->pb);
        if (result < 0) fail("cannot finish " + name(), result);
        return;
    }
    avio_flush(context_->pb);
    const int result = context_->pb->error;
    delete static_cast<SeekableOutput*>(context_->pb->opaque);
    av_freep(&context_->pb->buffer);
    avio_context_free(&context_->pb);
    if (result < 0) fail("cannot finish " + name(), result);
}

Muxer::~Muxer() {
    try {
        closeOutput();
    } catch (const CliError&) {
        // Already failed: what remains is freed.
    }
    avformat_free_context(context_);
}

bool Muxer::setTag(const std::string& key, const std::string& value) {
    if (context_->priv_data && av_opt_find(context_->priv_data, "movflags", nullptr, 0, 0)) {
        for (unsigned i = 0; i < context_->nb_streams; ++i)
            if (context_->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
                // Nor an older value of it, copied from the input's tags.
                av_dict_set(&context_->metadata, key.c_str(), nullptr, 0);
                return false;
            }
        av_opt_set(context_->priv_data, "movflags", "+use_metadata_tags", 0);
    }
    av_dict_set(&context_->metadata, key.c_str(), value.c_str(), 0);
    return true;
}

void Muxer::open(Overwrite overwrite, Links links) {
    if (context_->oformat->flags & AVFMT_NOFILE) return;
    file_ = std::make_unique<OutputFile>(path_, overwrite, links);
    if (path_ == "-") {
        context_->pb = openSeekableStandardOutput();
        seekableStandardOutput_ = context_->pb != nullptr;
        if (seekableStandardOutput_) return;
    }
    const int result = avio_open(&context_->pb, ffmpegUrl(file_->writePath()).c_str(), AVIO_FLAG_WRITE);
    if (result < 0) fail("cannot write " + name(), result);
}

void Muxer::writeHeader() {
    exactMovieTimescale(*context_);
    takeLoggedError();
    const int result = avformat_write_header(context_, nullptr);
    if (result < 0 && path_ == "-" && !seekableStandardOutput_ &&
        takeLoggedError().find("non seekable") != std::string::npos)
        throw CliError(ExitCode::output, std::string("a ") + formatName() +
                                             " file goes back to fill in its header: standard output must be a file "
                                             "(> out." + formatName() + ", not a pipe or >>); or use -f matroska");
    if (result < 0) fail("cannot start " + name(), result);
}

void Muxer::write(AVPacket& packet) {
    const int result = av_interleaved_write_frame(context_, &packet);
    if (result < 0) fail("cannot write to " + name(), result);
}

void Muxer::finalise() {
    int result = av_write_trailer(context_);
    if (result < 0) fail("cannot finish " + name(), result);
    closeOutput();
}

void Muxer::commit() {
    if (file_) file_->commit();
}

std::string Muxer::writtenPath() const { return file_ ? file_->writePath() : path_; }

std::string Muxer::name() const { return path_ == "-" ? "standard output" : path_; }

void Muxer::fail(const std::string& what, int error) const {
    const std::string logged = takeLoggedError();
    throw CliError(ExitCode::output, what + ": " + (logged.empty() ? avErrorText(error) : logged));
}

}  // namespace quenda_cli
