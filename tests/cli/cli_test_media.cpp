#include "tests/cli/cli_test_media.h"

#include "cli/analysis/png_compare.h"
#include "cli/media/video_input.h"
#include "cli/media/video_output.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace cli_test {

using quenda_cli::FramePtr;

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string tempRoot() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

std::string registryRoot() { return tempRoot() + "/quenda-cli-tests-registry"; }

// FFmpeg's own chatter (the H.264 encoder's statistics) stays out of test logs.
const bool quietLibraries = (quenda_cli::configureFfmpegLogging(), true);

void check(int result, const char* what) {
    if (result < 0) throw std::runtime_error(std::string(what) + ": " + quenda_cli::avErrorText(result));
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = tempRoot() + "/quenda-cli-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

TempDir::~TempDir() { std::system(("rm -rf " + quoted(dir_)).c_str()); }

namespace {

FILE* startQuenda(const std::vector<std::string>& args, const std::string& stdinFile, const std::string& stdoutFile,
                  const std::string& environment) {
    // A run that hangs fails instead.
    std::string command = "QUENDA_REGISTRY_ROOT=" + quoted(registryRoot()) + " " + environment + " timeout 300 " +
                          quoted(QUENDA_CLI_PATH);
    for (const std::string& arg : args) command += " " + quoted(arg);
    command += " 2>&1";  // before any redirection of standard output, so that errors reach the pipe
    if (!stdinFile.empty()) command += " < " + quoted(stdinFile);
    if (!stdoutFile.empty()) command += " > " + quoted(stdoutFile);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run quenda");
    return pipe;
}

RunResult finishQuenda(FILE* pipe) {
    RunResult result{-1, ""};
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

std::string registrySetting() { return "QUENDA_REGISTRY_ROOT=" + registryRoot(); }

const std::vector<std::string> identity = {"--luma-space", "0", "--luma-time", "0", "--chroma-space", "0",
                                           "--chroma-time", "0"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

RunResult runQuenda(const std::vector<std::string>& args, const std::string& stdinFile, const std::string& stdoutFile,
                    const std::string& environment) {
    return finishQuenda(startQuenda(args, stdinFile, stdoutFile, environment));
}

std::vector<RunResult> runQuendaTogether(const std::vector<std::vector<std::string>>& runs) {
    std::vector<FILE*> pipes;
    for (const std::vector<std::string>& args : runs) pipes.push_back(startQuenda(args, "", "", ""));
    std::vector<RunResult> results;
    for (FILE* pipe : pipes) results.push_back(finishQuenda(pipe));
    return results;
}

quenda_cli::DemoSettings clipSettings(AVPixelFormat format, int width, int height, int frames) {
    quenda_cli::DemoSettings settings;
    settings.format = format;
    settings.width = width;
    settings.height = height;
    settings.frames = frames;
    settings.frameRate = AVRational{25, 1};
    return settings;
}

void writeClip(const std::string& path, const quenda_cli::DemoSettings& settings, bool noisy, const std::string& codec) {
    quenda_cli::VideoOutput output(path, codec, quenda_cli::demoVideoInfo(settings));
    for (int i = 0; i < settings.frames; ++i) {
        FramePtr frame = quenda_cli::makeCleanFrame(settings, i);
        output.write(noisy ? *quenda_cli::addNoise(*frame, settings, i) : *frame, i);
    }
    output.finish();
}

namespace {

const int clipSampleRate = 48000;

quenda_cli::CodecContextPtr clipVideoEncoder(const quenda_cli::DemoSettings& settings, bool mp4,
                                             const AVFormatContext* muxer) {
    quenda_cli::CodecContextPtr video(
        avcodec_alloc_context3(mp4 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_FFV1)));
    video->width = settings.width;
    video->height = settings.height;
    video->pix_fmt = settings.format;
    video->time_base = av_inv_q(settings.frameRate);
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(video.get(), video->codec, nullptr), "video encoder");
    return video;
}

// AAC in MP4, PCM in Matroska; one channel.
quenda_cli::CodecContextPtr clipAudioEncoder(bool mp4, const AVFormatContext* muxer) {
    quenda_cli::CodecContextPtr audio(avcodec_alloc_context3(avcodec_find_encoder(mp4 ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S16LE)));
    audio->sample_fmt = mp4 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    audio->sample_rate = clipSampleRate;
    av_channel_layout_default(&audio->ch_layout, 1);
    audio->time_base = AVRational{1, clipSampleRate};
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(audio.get(), audio->codec, nullptr), "audio encoder");
    return audio;
}

AVStream* addStream(AVFormatContext* muxer, const AVCodecContext* encoder) {
    AVStream* stream = avformat_new_stream(muxer, nullptr);
    avcodec_parameters_from_context(stream->codecpar, encoder);
    stream->time_base = encoder->time_base;
    return stream;
}

// Interlacing, a rotation of 90 degrees, HDR metadata and two chapters.
void addVideoExtras(AVFormatContext* muxer, AVStream* videoStream, const quenda_cli::DemoSettings& settings) {
    videoStream->codecpar->field_order = AV_FIELD_TT;
    av_display_rotation_set(reinterpret_cast<int32_t*>(
                                av_stream_new_side_data(videoStream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t))),
                            90);
    auto* mastering = reinterpret_cast<AVMasteringDisplayMetadata*>(
        av_stream_new_side_data(videoStream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof(AVMasteringDisplayMetadata)));
    const int bt2020[3][2] = {{35400, 14600}, {8500, 39850}, {6550, 2300}};  // x, y in 1/50000
    for (int c = 0; c < 3; ++c)
        for (int xy = 0; xy < 2; ++xy) mastering->display_primaries[c][xy] = AVRational{bt2020[c][xy], 50000};
    mastering->white_point[0] = AVRational{15635, 50000};
    mastering->white_point[1] = AVRational{16450, 50000};
    mastering->min_luminance = AVRational{50, 10000};
    mastering->max_luminance = AVRational{1000, 1};
    mastering->has_primaries = mastering->has_luminance = 1;
    auto* light = reinterpret_cast<AVContentLightMetadata*>(
        av_stream_new_side_data(videoStream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof(AVContentLightMetadata)));
    *light = AVContentLightMetadata{1000, 400};
    for (int i = 0; i < 2; ++i) {
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        chapter->id = i + 1;
        chapter->time_base = av_inv_q(settings.frameRate);
        chapter->start = i * settings.frames / 2;
        chapter->end = (i + 1) * settings.frames / 2;
        av_dict_set(&chapter->metadata, "title", i ? "second" : "first", 0);
        av_dynarray_add(&muxer->chapters, reinterpret_cast<int*>(&muxer->nb_chapters), chapter);
    }
}

// A PNG cover attached to the file.
void addCover(AVFormatContext* muxer, const quenda_cli::DemoSettings& settings) {
    AVStream* cover = avformat_new_stream(muxer, nullptr);
    const std::string png = quenda_cli::comparePng({quenda_cli::makeCleanFrame(settings, 0).get()});
    cover->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
    cover->codecpar->codec_id = AV_CODEC_ID_PNG;
    cover->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(png.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(cover->codecpar->extradata, png.data(), png.size());
    cover->codecpar->extradata_size = static_cast<int>(png.size());
    av_dict_set(&cover->metadata, "filename", "cover.png", 0);
    av_dict_set(&cover->metadata, "mimetype", "image/png", 0);
}

// The muxer's streams and the packets written to them; a second video
// stream, when there is one, gets a copy of each video packet.
struct ClipStreams {
    AVFormatContext* muxer;
    AVStream* video;
    AVStream* audio;
    AVStream* secondVideo;
    quenda_cli::PacketPtr packet = quenda_cli::allocPacket();

    void drain(AVCodecContext* encoder, AVStream* stream) {
        while (avcodec_receive_packet(encoder, packet.get()) == 0) {
            // Without a duration, MP4 would end the video at its last frame's start.
            if (packet->duration == 0 && encoder->codec_type == AVMEDIA_TYPE_VIDEO) packet->duration = 1;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (secondVideo && stream == video) {
                quenda_cli::PacketPtr copy(av_packet_clone(packet.get()));
                copy->stream_index = secondVideo->index;
                check(av_interleaved_write_frame(muxer, copy.get()), "write");
            }
            check(av_interleaved_write_frame(muxer, packet.get()), "write");
        }
    }
};

// A 440 Hz tone from sample `samples` up to `until`, in frames of
// samplesPerFrame; returns where it stopped.
int64_t encodeTone(AVCodecContext* audio, ClipStreams& streams, int64_t samples, int64_t until, int64_t totalSamples,
                   int samplesPerFrame, bool mp4) {
    while (samples < until) {
        FramePtr sound = quenda_cli::allocFrame();
        sound->format = audio->sample_fmt;
        sound->sample_rate = clipSampleRate;
        sound->nb_samples = static_cast<int>(std::min<int64_t>(samplesPerFrame, totalSamples - samples));
        av_channel_layout_default(&sound->ch_layout, 1);
        check(av_frame_get_buffer(sound.get(), 0), "audio buffer");
        for (int s = 0; s < sound->nb_samples; ++s) {
            const double value = 0.25 * std::sin((samples + s) * 2 * M_PI * 440 / clipSampleRate);
            if (mp4) reinterpret_cast<float*>(sound->data[0])[s] = static_cast<float>(value);
            else reinterpret_cast<int16_t*>(sound->data[0])[s] = static_cast<int16_t>(32000 * value);
        }
        sound->pts = samples;
        samples += sound->nb_samples;
        check(avcodec_send_frame(audio, sound.get()), "encode audio");
        streams.drain(audio, streams.audio);
    }
    return samples;
}

}  // namespace

void writeClipWithAudio(const std::string& path, const quenda_cli::DemoSettings& settings, bool extras) {
    const bool mp4 = path.size() > 4 && path.compare(path.size() - 4, 4, ".mp4") == 0;
    AVFormatContext* muxer = nullptr;
    check(avformat_alloc_output_context2(&muxer, nullptr, mp4 ? "mp4" : "matroska", path.c_str()), "muxer");
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(muxer, [](AVFormatContext* m) {
        if (m->pb) avio_closep(&m->pb);
        avformat_free_context(m);
    });
    quenda_cli::CodecContextPtr video = clipVideoEncoder(settings, mp4, muxer);
    quenda_cli::CodecContextPtr audio = clipAudioEncoder(mp4, muxer);
    // AAC takes frames of its own size; PCM one video frame's worth.
    const int samplesPerFrame =
        audio->frame_size > 0 ? audio->frame_size : static_cast<int>(clipSampleRate / av_q2d(settings.frameRate));
    const int64_t totalSamples =
        av_rescale_q(settings.frames, av_inv_q(settings.frameRate), AVRational{1, clipSampleRate});

    ClipStreams streams{muxer, addStream(muxer, video.get()), addStream(muxer, audio.get()), nullptr};
    if (extras) addVideoExtras(muxer, streams.video, settings);
    if (extras && !mp4) {
        streams.secondVideo = addStream(muxer, video.get());
        addCover(muxer, settings);
    }
    check(avio_open(&muxer->pb, path.c_str(), AVIO_FLAG_WRITE), "open");
    check(avformat_write_header(muxer, nullptr), "header");

    int64_t samples = 0;
    for (int i = 0; i < settings.frames; ++i) {
        FramePtr frame = quenda_cli::makeCleanFrame(settings, i);
        frame->pts = i;
        check(avcodec_send_frame(video.get(), frame.get()), "encode video");
        streams.drain(video.get(), streams.video);
        // The sound up to the end of this frame.
        const int64_t until =
            std::min(totalSamples, av_rescale_q(i + 1, av_inv_q(settings.frameRate), AVRational{1, clipSampleRate}));
        samples = encodeTone(audio.get(), streams, samples, until, totalSamples, samplesPerFrame, mp4);
    }
    avcodec_send_frame(video.get(), nullptr);
    streams.drain(video.get(), streams.video);
    avcodec_send_frame(audio.get(), nullptr);
    streams.drain(audio.get(), streams.audio);
    check(av_write_trailer(muxer), "trailer");
}

std::vector<FramePtr> readAllFrames(const std::string& path) {
    quenda_cli::VideoInput input(path, 2);
    std::vector<FramePtr> frames;
    for (int i = 0; i < input.frameCount(); ++i) frames.push_back(quenda_cli::cloneFrame(input.frame(i)));
    return frames;
}

bool samePlanes(const AVFrame& a, const AVFrame& b) {
    if (a.format != b.format || a.width != b.width || a.height != b.height) return false;
    const AVPixelFormat format = static_cast<AVPixelFormat>(a.format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    for (int p = 0; p < 4 && a.data[p]; ++p) {
        const int bytes = av_image_get_linesize(format, a.width, p);
        const int h = (p == 1 || p == 2) ? AV_CEIL_RSHIFT(a.height, desc->log2_chroma_h) : a.height;
        for (int y = 0; y < h; ++y)
            if (std::memcmp(a.data[p] + static_cast<ptrdiff_t>(y) * a.linesize[p],
                            b.data[p] + static_cast<ptrdiff_t>(y) * b.linesize[p], static_cast<size_t>(bytes)) != 0)
                return false;
    }
    return true;
}

std::string audioBytes(const std::string& path, bool withTimes) {
    quenda_cli::InputContextPtr input = quenda_cli::openInputFile(path);
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) return "";
    std::string bytes;
    quenda_cli::PacketPtr packet = quenda_cli::allocPacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            if (withTimes) bytes += std::to_string(packet->pts) + "+" + std::to_string(packet->duration) + ":";
            bytes.append(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
        }
        av_packet_unref(packet.get());
    }
    return bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> filesEndingWith(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

void truncateCopy(const std::string& from, const std::string& to, double fraction) {
    const std::string bytes = readFile(from);
    std::ofstream out(to, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() * fraction));
}

void damageCopy(const std::string& from, const std::string& to, double fraction, size_t length) {
    std::string bytes = readFile(from);
    const size_t start = static_cast<size_t>(bytes.size() * fraction);
    for (size_t i = start; i < std::min(bytes.size(), start + length); ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    std::ofstream(to, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

double jsonValue(const std::string& json, const std::string& key, size_t from) {
    const size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) return std::numeric_limits<double>::quiet_NaN();
    return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

}  // namespace cli_test
