#include "cli/media/video_input.h"

#include "cli/commands/errors.h"
#include "cli/commands/frame_range.h"
#include "cli/commands/output_files.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quenda_cli {

namespace {

// A pipe, FIFO, socket or character device: read once, in order, and so
// copied to a temporary file first.
bool isStream(const std::string& path) {
    struct stat info;
    return path == "-" ||
           (stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)));
}

// Reads until `buffer` is full or the stream ends; the bytes read.
size_t readSome(int fd, std::vector<char>& buffer, const std::string& name) {
    size_t got = 0;
    while (got < buffer.size()) {
        const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw CliError(ExitCode::input, "cannot read " + name + ": " + std::strerror(errno));
        got += static_cast<size_t>(n);
    }
    return got;
}

// Whether FFmpeg recognises the first bytes of a stream as a format it reads:
// an endless stream of something else (/dev/zero, /dev/urandom) is refused
// before anything is copied.
bool looksLikeMedia(const std::vector<char>& start, size_t size, const std::string& path) {
    std::vector<unsigned char> padded(size + AVPROBE_PADDING_SIZE, 0);
    std::copy(start.begin(), start.begin() + static_cast<ptrdiff_t>(size), padded.begin());
    AVProbeData probe{};
    probe.filename = path == "-" ? "" : path.c_str();
    probe.buf = padded.data();
    probe.buf_size = static_cast<int>(size);
    int score = 0;
    return av_probe_input_format3(&probe, 1, &score) && score > 0;
}

// Free space to leave in the temporary folder: a twentieth of it, at most 1 GiB.
bool leavesRoom(int fd) {
    struct statvfs space;
    if (fstatvfs(fd, &space) != 0) return true;
    const unsigned long long unit = space.f_frsize ? space.f_frsize : space.f_bsize;
    const unsigned long long reserve = std::min<unsigned long long>(1ull << 30, space.f_blocks * unit / 20);
    return space.f_bavail * unit > reserve;
}

// Copies the stream into a temporary file whose name is removed at once (the
// open descriptor keeps it, so that nothing stays even after SIGKILL), and
// returns the name to read it by.
std::string spool(const std::string& path, const std::string& name, int& keptOpen, int& slot) {
    const char* dir = std::getenv("TMPDIR");
    const std::string folder = dir && *dir ? dir : "/tmp";
    std::string pattern = folder + "/quenda-input-XXXXXX";
    const int source = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) throw CliError(ExitCode::input, "cannot open " + name + ": " + std::strerror(errno));
    std::vector<char> buffer(1 << 20);
    int fd = -1;
    try {
        size_t got = readSome(source, buffer, name);
        if (got == 0) throw CliError(ExitCode::input, name + " is empty");
        if (!looksLikeMedia(buffer, got, path))
            throw CliError(ExitCode::input, name + " is not a video stream that FFmpeg can read (its first " +
                                                std::to_string(got) + " bytes are of no format it knows)");
        fd = mkstemp(pattern.data());
        if (fd < 0) throw CliError(ExitCode::input, "cannot make a temporary copy of " + name + " in " + folder + ": " + std::strerror(errno));
        // Without /proc the copy keeps its name until the run ends or is stopped.
        const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
        if (access(byDescriptor.c_str(), R_OK) == 0) {
            unlink(pattern.c_str());
            pattern = byDescriptor;
        } else {
            slot = rememberTemporary(pattern);
        }
        int64_t copied = 0;
        while (got > 0) {
            for (size_t done = 0; done < got;) {
                const ssize_t put = write(fd, buffer.data() + done, got - done);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0)
                    throw CliError(ExitCode::input, "cannot make a temporary copy of " + name + " in " + folder + ": " +
                                                        std::strerror(errno) + "; set TMPDIR to a folder with more room");
                done += static_cast<size_t>(put);
            }
            copied += static_cast<int64_t>(got);
            // Checked every 64 MiB: a stream that does not end stops before the disk is full.
            if (copied % (int64_t{64} << 20) == 0 && !leavesRoom(fd))
                throw CliError(ExitCode::input, "the copy of " + name + " in " + folder + " has reached " +
                                                    std::to_string(copied >> 20) +
                                                    " MiB and would leave too little free space there; set TMPDIR "
                                                    "to a folder with more room");
            got = readSome(source, buffer, name);
        }
    } catch (...) {
        if (fd >= 0) close(fd);
        if (slot >= 0) {
            unlink(pattern.c_str());
            forgetTemporary(slot);
            slot = -1;
        }
        if (source > STDIN_FILENO) close(source);
        throw;
    }
    if (source > STDIN_FILENO) close(source);
    keptOpen = fd;
    return pattern;
}

// "HH:MM:SS.fraction", as Matroska files carry a track's duration.
double parseClockSeconds(const char* text) {
    int hours = 0, minutes = 0;
    double seconds = 0;
    if (std::sscanf(text, "%d:%d:%lf", &hours, &minutes, &seconds) != 3) return -1;
    return hours * 3600.0 + minutes * 60.0 + seconds;
}

}  // namespace

VideoInput::VideoInput(const std::string& path, int windowFrames, int stream) : window_(std::max(1, windowFrames)) {
    info_.path = path == "-" ? "standard input" : path;
    readPath_ = path;
    if (isStream(path)) {
        spooled_ = spool(path, info_.path, spoolFd_, spoolSlot_);
        readPath_ = spooled_;
    }
    try {
        packet_ = allocPacket();
        scan(stream);
        openDecoder();
        // The first frame tells the true format, which the stream header may not.
        const AVFrame* first = nullptr;
        try {
            first = &frame(0);
        } catch (const InputEndsEarly&) {
            throw CliError(ExitCode::input, info_.path + " contains no decodable video frames");
        }
        info_.width = first->width;
        info_.height = first->height;
        info_.format = static_cast<AVPixelFormat>(first->format);
        if (first->color_range != AVCOL_RANGE_UNSPECIFIED) info_.range = first->color_range;
        if (first->colorspace != AVCOL_SPC_UNSPECIFIED) info_.colorSpace = first->colorspace;
        if (first->color_primaries != AVCOL_PRI_UNSPECIFIED) info_.primaries = first->color_primaries;
        if (first->color_trc != AVCOL_TRC_UNSPECIFIED) info_.transfer = first->color_trc;
        if (first->chroma_location != AVCHROMA_LOC_UNSPECIFIED) info_.chromaLocation = first->chroma_location;
        // Containers often leave the field order to the coded frames.
        if (first->interlaced_frame && (info_.fieldOrder == AV_FIELD_UNKNOWN || info_.fieldOrder == AV_FIELD_PROGRESSIVE))
            info_.fieldOrder = first->top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
        if (info_.width < 1 || info_.height < 1 || info_.width > maxDimension || info_.height > maxDimension)
            throw CliError(ExitCode::input, info_.path + " has frames of " + std::to_string(info_.width) + "x" +
                                                std::to_string(info_.height) + "; sizes from 1x1 to " +
                                                std::to_string(maxDimension) + "x" + std::to_string(maxDimension) +
                                                " are supported");
    } catch (...) {
        removeSpool();
        throw;
    }
}

VideoInput::~VideoInput() {
    frames_.clear();
    decoder_.reset();
    context_.reset();
    removeSpool();
}

void VideoInput::removeSpool() {
    if (spooled_.empty()) return;
    if (spoolSlot_ >= 0) unlink(spooled_.c_str());
    forgetTemporary(spoolSlot_);
    spoolSlot_ = -1;
    if (spoolFd_ >= 0) close(spoolFd_);
    spoolFd_ = -1;
    spooled_.clear();
}

void VideoInput::setWindow(int frames) {
    window_ = std::max(1, frames);
    while (static_cast<int>(frames_.size()) > window_) frames_.pop_front();
}

// Counts the video streams into info_ as it goes.
int VideoInput::longestVideoStream(AVFormatContext& opened, int fallback) {
    std::vector<int> packets(opened.nb_streams, 0);
    int videos = 0;
    for (unsigned i = 0; i < opened.nb_streams; ++i)
        videos += opened.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                  !(opened.streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC);
    info_.videoStreams = videos;
    if (videos < 2 || fallback < 0) return fallback;
    // Counted in a reading of its own, so that the scan reads from the start.
    InputContextPtr counting = openInputFile(readPath_, info_.path);
    AVFormatContext& context = *counting;
    if (context.nb_streams != opened.nb_streams) return fallback;
    while (av_read_frame(&context, packet_.get()) >= 0) {
        ++packets[static_cast<size_t>(packet_->stream_index)];
        av_packet_unref(packet_.get());
    }
    int best = fallback;
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream& s = *context.streams[i];
        if (s.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s.disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            packets[i] > packets[static_cast<size_t>(best)])
            best = static_cast<int>(i);
    }
    return best;
}

// What one pass over the packets finds besides the count.
struct VideoInput::PacketTimes {
    std::vector<int64_t> pts;
    std::vector<int64_t> positions;
    bool allTimed = true;
    int64_t lastEnd = AV_NOPTS_VALUE;
};

int VideoInput::pickStream(AVFormatContext& context, int wanted) {
    int index = av_find_best_stream(&context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (wanted >= 0) {
        if (wanted >= static_cast<int>(context.nb_streams) ||
            context.streams[wanted]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            throw CliError(ExitCode::usage, "--stream " + std::to_string(wanted) + ": " + info_.path +
                                                " has no video stream " + std::to_string(wanted));
        index = wanted;
        longestVideoStream(context, index);  // counts the video streams
    } else if (index >= 0) {
        index = longestVideoStream(context, index);
    }
    if (index < 0) throw CliError(ExitCode::input, info_.path + " has no video stream");
    if (context.streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC)
        throw CliError(ExitCode::input, info_.path + " has no video stream, only an attached picture");
    return index;
}

void VideoInput::describe(const AVStream& stream) {
    const AVCodecParameters& par = *stream.codecpar;
    if (par.width > maxDimension || par.height > maxDimension || par.width < 0 || par.height < 0)
        throw CliError(ExitCode::input, info_.path + " declares frames of " + std::to_string(par.width) + "x" +
                                            std::to_string(par.height) + "; sizes up to " +
                                            std::to_string(maxDimension) + "x" + std::to_string(maxDimension) +
                                            " are supported");
    const AVCodecDescriptor* codec = avcodec_descriptor_get(par.codec_id);
    info_.codecName = codec ? codec->name : "unknown";
    info_.streamIndex = stream.index;
    info_.width = par.width;
    info_.height = par.height;
    info_.format = static_cast<AVPixelFormat>(par.format);
    info_.range = par.color_range;
    info_.colorSpace = par.color_space;
    info_.primaries = par.color_primaries;
    info_.transfer = par.color_trc;
    info_.chromaLocation = par.chroma_location;
    info_.fieldOrder = par.field_order;
    info_.timeBase = stream.time_base;
    streamTimeBase_ = stream.time_base;
    info_.sampleAspect = stream.sample_aspect_ratio.num ? stream.sample_aspect_ratio : par.sample_aspect_ratio;
    if (stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0)
        info_.frameRate = stream.avg_frame_rate;
    else if (stream.r_frame_rate.num > 0 && stream.r_frame_rate.den > 0)
        info_.frameRate = stream.r_frame_rate;
    if (!avcodec_find_decoder(par.codec_id))
        throw CliError(ExitCode::input, "FFmpeg has no decoder for the " + info_.codecName + " video of " + info_.path);
}

VideoInput::PacketTimes VideoInput::readPackets(AVFormatContext& context, const AVStream& stream) {
    const AVCodecParameters& par = *stream.codecpar;
    const int index = stream.index;
    // FNV-1a over the stream's layout and each packet's time, size and first
    // bytes: the same clip gives the same value wherever it is read from.
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](const void* data, size_t size) {
        for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
    };
    const int64_t layout[] = {par.codec_id, par.width, par.height, par.format};
    mix(layout, sizeof layout);
    PacketTimes times;
    int count = 0;
    for (;;) {
        const int result = av_read_frame(&context, packet_.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) {
            info_.endsEarly = true;
            info_.endNote = "reading stopped after " + framesText(count) + ": " + avErrorText(result);
            break;
        }
        if (packet_->stream_index == index && packet_->size > 0 && !(packet_->flags & AV_PKT_FLAG_DISCARD)) {
            // An incomplete packet still goes to the decoder, which tells
            // what can be made of it.
            if (packet_->flags & AV_PKT_FLAG_CORRUPT) damaged_.insert(count);
            const int64_t place[] = {packet_->pts, packet_->size};
            mix(place, sizeof place);
            mix(packet_->data, std::min(packet_->size, 64));
            ++count;
            times.positions.push_back(packet_->pos);
            if (packet_->pts == AV_NOPTS_VALUE) {
                times.allTimed = false;
            } else {
                times.pts.push_back(packet_->pts);
                const int64_t end = packet_->pts + std::max<int64_t>(packet_->duration, 0);
                if (times.lastEnd == AV_NOPTS_VALUE || end > times.lastEnd) times.lastEnd = end;
            }
        }
        av_packet_unref(packet_.get());
    }
    if (count == 0 && info_.endsEarly)
        throw CliError(ExitCode::input, info_.path + " is cut off or damaged before its first frame: " + info_.endNote);
    if (count == 0) throw CliError(ExitCode::input, info_.path + " contains no video frames");
    info_.frameCount = count;
    frameCount_ = count;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    info_.fingerprint = hex;
    return times;
}

void VideoInput::orderByTime(std::vector<int64_t> pts, bool allTimed, const AVStream& stream) {
    std::sort(pts.begin(), pts.end());
    byTimestamp_ = allTimed && std::adjacent_find(pts.begin(), pts.end()) == pts.end();
    if (byTimestamp_) {
        sortedPts_ = std::move(pts);
        startPts_ = sortedPts_.front();
        int64_t shortest = INT64_MAX, longest = 0;
        for (size_t i = 1; i < sortedPts_.size(); ++i) {
            shortest = std::min(shortest, sortedPts_[i] - sortedPts_[i - 1]);
            longest = std::max(longest, sortedPts_[i] - sortedPts_[i - 1]);
        }
        // A tick of rounding either way is still a constant rate.
        info_.variableRate = sortedPts_.size() > 2 && longest - shortest > 2;
        const int64_t span = sortedPts_.back() - sortedPts_.front();
        if (info_.variableRate && span > 0)
            av_reduce(&info_.averageRate.num, &info_.averageRate.den,
                      static_cast<int64_t>(sortedPts_.size() - 1) * stream.time_base.den, span * stream.time_base.num,
                      1 << 30);
    } else {
        startPts_ = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
    }
}

// One pass over the video stream's packets without decoding: the frame count,
// the time stamps that identify frames, and signs of a cut-off file.
void VideoInput::scan(int wanted) {
    InputContextPtr context = openInputFile(readPath_, info_.path);
    info_.containerName = context->iformat->name;
    const AVStream& stream = *context->streams[pickStream(*context, wanted)];
    describe(stream);
    PacketTimes times = readPackets(*context, stream);
    orderByTime(std::move(times.pts), times.allTimed, stream);
    if (!info_.endsEarly) checkCutOff(*context, times.positions, times.lastEnd);
}

// Formats that do not report a cut-off on reading: a Y4M file whose last frame
// is short, and a Matroska file shorter than the duration it declares.
void VideoInput::checkCutOff(AVFormatContext& context, const std::vector<int64_t>& positions, int64_t lastEnd) {
    const std::string container = info_.containerName;
    if (container == "yuv4mpegpipe" && positions.size() >= 2 && positions.front() >= 0) {
        const int64_t stride = positions[1] - positions[0];
        const int64_t size = avio_size(context.pb);
        if (stride > 0 && size > 0 && size > positions.back() + stride) {
            info_.endsEarly = true;
            info_.endNote = "the file ends inside frame " + std::to_string(info_.frameCount);
        }
        return;
    }
    if (container.find("matroska") == std::string::npos || lastEnd == AV_NOPTS_VALUE) return;
    AVStream* stream = context.streams[info_.streamIndex];
    double declared = -1;
    if (const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "DURATION", nullptr, 0))
        declared = parseClockSeconds(tag->value);
    else if (context.nb_streams == 1 && context.duration > 0)
        declared = context.duration / static_cast<double>(AV_TIME_BASE);
    if (declared <= 0) return;
    const double found = (lastEnd - std::min<int64_t>(startPts_, 0)) * av_q2d(streamTimeBase_);
    const double slack = std::max(2.0 / av_q2d(info_.frameRate), 0.1);
    if (declared - found > slack) {
        info_.endsEarly = true;
        char text[160];
        std::snprintf(text, sizeof text, "the file declares %.3f s of video but ends after %.3f s", declared, found);
        info_.endNote = text;
    }
}

void VideoInput::openDecoder() {
    frames_.clear();
    decoder_.reset();
    context_.reset();
    context_ = openInputFile(readPath_, info_.path);
    if (info_.streamIndex >= static_cast<int>(context_->nb_streams))
        throw CliError(ExitCode::input, info_.path + " changed while it was read");
    for (unsigned i = 0; i < context_->nb_streams; ++i)
        context_->streams[i]->discard = static_cast<int>(i) == info_.streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* stream = context_->streams[info_.streamIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) throw std::bad_alloc();
    int result = avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
    if (result >= 0) {
        decoder_->pkt_timebase = stream->time_base;
        decoder_->opaque = &errors_;
        decoder_->thread_count = 0;
        result = avcodec_open2(decoder_.get(), codec, nullptr);
    }
    if (result < 0)
        throw CliError(ExitCode::input, "cannot decode the video of " + info_.path + ": " + avErrorText(result));
    draining_ = false;
    nextIndex_ = 0;
    seeked_ = false;
}

void VideoInput::seekTo(int index) {
    ++seeks_;
    frames_.clear();
    if (byTimestamp_ && index > 0 &&
        av_seek_frame(context_.get(), info_.streamIndex, sortedPts_[static_cast<size_t>(index)], AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(decoder_.get());
        draining_ = false;
        nextIndex_ = -1;
        seeked_ = true;
        return;
    }
    openDecoder();
}

void VideoInput::noteFailure(int result, int errorsBefore) {
    if (result < 0 && result != AVERROR(EAGAIN) && result != AVERROR_EOF && errors_.count == errorsBefore) ++errors_.count;
}

FramePtr VideoInput::decodeNext() {
    FramePtr frame = allocFrame();
    int failuresInARow = 0;
    for (;;) {
        const int errorsBefore = errors_.count;
        const int received = avcodec_receive_frame(decoder_.get(), frame.get());
        if (received == 0) {
            ++decoded_;
            return frame;
        }
        if (received == AVERROR_EOF || (draining_ && received == AVERROR(EAGAIN))) return nullptr;
        if (received != AVERROR(EAGAIN)) {
            // A frame that failed; the decoder goes on with the next one.
            noteFailure(received, errorsBefore);
            if (++failuresInARow > 64) return nullptr;
            continue;
        }
        const int read = av_read_frame(context_.get(), packet_.get());
        if (read < 0) {
            avcodec_send_packet(decoder_.get(), nullptr);
            draining_ = true;
            continue;
        }
        if (packet_->stream_index == info_.streamIndex) {
            // A damaged packet leaves its frame out; the gap is found by index.
            noteFailure(avcodec_send_packet(decoder_.get(), packet_.get()), errorsBefore);
        }
        av_packet_unref(packet_.get());
    }
}

int VideoInput::indexOf(const AVFrame& frame) {
    if (!byTimestamp_) return nextIndex_;
    int64_t ts = frame.best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame.pts;
    const auto found = std::lower_bound(sortedPts_.begin(), sortedPts_.end(), ts);
    if (ts != AV_NOPTS_VALUE && found != sortedPts_.end() && *found == ts)
        return static_cast<int>(found - sortedPts_.begin());
    return nextIndex_;  // -1 when unknown after a seek
}

void VideoInput::endAt(int index, const std::string& why) {
    frameCount_ = std::min(frameCount_, index);
    frames_.clear();
    throw InputEndsEarly(index, why);
}

const AVFrame& VideoInput::frame(int index) {
    if (index < 0 || index >= frameCount_)
        throw CliError(ExitCode::input, "frame " + std::to_string(index) + " is outside the clip's " +
                                            framesText(frameCount_));
    for (const Entry& entry : frames_)
        if (entry.index == index) return *entry.frame;

    // Decode on from where the decoder stands when the frame is a little
    // ahead of it; seek otherwise.
    const int forwardLimit = std::max(window_, 48);
    const int position = !frames_.empty() ? frames_.back().index + 1 : nextIndex_;
    if (position < 0 || index < position || index - position > forwardLimit) seekTo(index);

    bool retried = false;
    for (;;) {
        FramePtr decoded = decodeNext();
        if (!decoded && nextIndex_ < 0 && !retried) {
            // Nothing identifiable after the seek: decode from the start.
            retried = true;
            openDecoder();
            ++seeks_;
            continue;
        }
        if (!decoded) {
            const int stop = nextIndex_ >= 0 ? nextIndex_ : index;
            endAt(stop, "the video stops after " + framesText(stop) + " of the " + framesText(info_.frameCount) +
                            " that the file holds");
        }
        int found = indexOf(*decoded);
        if (found < 0) continue;  // before the first identifiable frame after a seek
        if (nextIndex_ < 0 && found > index) {
            // The seek landed past the frame: decode from the start instead.
            if (retried) endAt(index, "frame " + std::to_string(index) + " cannot be decoded");
            retried = true;
            openDecoder();
            ++seeks_;
            continue;
        }
        if (nextIndex_ >= 0 && found < nextIndex_) continue;  // repeated frame
        if (nextIndex_ >= 0 && found > nextIndex_) {
            if (seeked_ && !retried) {
                // A decoder may drop frames after a seek: try from the start.
                retried = true;
                openDecoder();
                ++seeks_;
                continue;
            }
            endAt(nextIndex_, "frame " + std::to_string(nextIndex_) + " of " + info_.path + " cannot be decoded");
        }
        if (!frames_.empty() && frames_.back().index != found - 1) frames_.clear();
        nextIndex_ = found + 1;
        if (decoded->decode_error_flags || (decoded->flags & AV_FRAME_FLAG_CORRUPT)) damaged_.insert(found);
        frames_.push_back(Entry{found, std::move(decoded)});
        while (static_cast<int>(frames_.size()) > window_) frames_.pop_front();
        if (found == index) return *frames_.back().frame;
        if (found > index) endAt(index, "frame " + std::to_string(index) + " cannot be decoded");
    }
}

int64_t VideoInput::framePts(int index) const {
    if (byTimestamp_) return sortedPts_[static_cast<size_t>(std::clamp(index, 0, static_cast<int>(sortedPts_.size()) - 1))];
    return startPts_ + av_rescale_q(index, av_inv_q(info_.frameRate), streamTimeBase_);
}

double VideoInput::frameSeconds(int index) const { return framePts(index) * av_q2d(streamTimeBase_); }

}  // namespace quenda_cli
