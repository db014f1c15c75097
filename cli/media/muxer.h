// An output file's container: its format, named or told by the path's
// extension, written through an OutputFile so that nothing half-written is
// ever left under the path.
#pragma once

#include "cli/commands/output_files.h"
#include "cli/media/ffmpeg_util.h"

#include <memory>
#include <string>

namespace quenda_cli {

class Muxer {
public:
    // `format` names an FFmpeg output format; empty: Y4M for "-" and .y4m,
    // otherwise by the extension. Throws CliError (usage).
    Muxer(const std::string& path, const std::string& format);
    ~Muxer();
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    AVFormatContext& context() { return *context_; }
    const std::string& path() const { return path_; }
    std::string formatName() const { return context_->oformat->name; }
    bool y4m() const { return formatName() == "yuv4mpegpipe"; }

    // Sets a tag of the file, once its streams are set up. MP4 and QuickTime
    // then store tags by their own names, which leaves no place for cover
    // art: with cover art there, false and no tag of that name at all.
    bool setTag(const std::string& key, const std::string& value);
    // Makes the file; call once the streams are set up. Throws CliError.
    void open(Overwrite overwrite, Links links = Links::follow);
    void writeHeader();
    // Writes one packet, interleaved with the other streams'.
    void write(AVPacket& packet);
    // Writes the trailer, closes the file and moves it to its name.
    void finish() {
        finalise();
        commit();
    }
    // The same in two steps, for a run that keeps its files only when all
    // of them are written.
    void finalise();
    void commit();
    // What is written until commit(): the temporary file, or the path.
    std::string writtenPath() const;

private:
    std::string name() const;  // for messages
    void closeOutput();
    [[noreturn]] void fail(const std::string& what, int error) const;

    std::string path_;
    AVFormatContext* context_ = nullptr;
    std::unique_ptr<OutputFile> file_;  // none for a format that writes no file
    bool seekableStandardOutput_ = false;
};

// Whether a file of `format` can hold a stream of these parameters: its
// header, with that one stream, written to nowhere. Stricter than FFmpeg's
// tag tables, which list codecs that the muxer then refuses (FLAC in MP4).
bool formatHolds(const AVOutputFormat& format, const AVCodecParameters& parameters, int disposition = 0,
                 const AVDictionary* tags = nullptr, AVRational frameRate = {0, 1});

// What a copied stream or file carries besides its packets. Tags that
// describe one file (Matroska's DURATION, BPS, ... statistics) are left out.
void copyTags(AVDictionary** to, const AVDictionary* from);
// "audio stream 1 (flac)", "the cover art (png)", for messages.
std::string describeStream(unsigned index, const AVStream& stream);
// Adds side data to a stream that has none of its type.
void addSideData(AVStream& stream, AVPacketSideDataType type, const uint8_t* data, size_t size);
// Tags, disposition and side data (rotation, HDR mastering display, ...).
void copyStreamProperties(AVStream& to, const AVStream& from);
// A new output stream whose packets are `in`'s, copied as they are.
AVStream* addCopiedStream(AVFormatContext& out, const AVStream& in);
void copyChapters(AVFormatContext& to, const AVFormatContext& from);

}  // namespace quenda_cli
