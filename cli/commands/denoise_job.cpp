#include "cli/commands/denoise_job.h"

#include "cli/analysis/metrics.h"
#include "cli/analysis/noise_estimate.h"
#include "cli/analysis/png_compare.h"
#include "cli/commands/chunk_record.h"
#include "cli/commands/errors.h"
#include "cli/commands/frame_range.h"
#include "cli/hosting/input_frames.h"
#include "cli/media/pixel_convert.h"
#include "cli/media/video_input.h"
#include "cli/media/video_output.h"
#include "platform/instrumentation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <vector>

namespace quenda_cli {

namespace {

// Frames in one pixel format, converted when they come in another.
class Reformat {
public:
    Reformat(AVPixelFormat format, int width, int height) : format_(format), width_(width), height_(height) {}

    const AVFrame& operator()(const AVFrame& frame) {
        if (frame.format == format_) return frame;
        if (!sws_) {
            sws_.reset(sws_getContext(width_, height_, static_cast<AVPixelFormat>(frame.format), width_, height_, format_,
                                      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
            if (!sws_) throw CliError(ExitCode::input, "cannot convert " + pixelFormatName(frame.format) + " to " + pixelFormatName(format_));
            converted_ = newFrame(format_, width_, height_);
        }
        sws_scale(sws_.get(), frame.data, frame.linesize, 0, height_, converted_->data, converted_->linesize);
        av_frame_copy_props(converted_.get(), &frame);
        return *converted_;
    }

private:
    AVPixelFormat format_;
    int width_;
    int height_;
    SwsPtr sws_;
    FramePtr converted_;
};

std::string rateText(AVRational rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", av_q2d(rate));
    return text;
}

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

DenoiseOptions withFileNames(const DenoiseOptions& given) {
    DenoiseOptions options = given;
    options.input = fileName(given.input, true);
    options.reference = fileName(given.reference, true);
    options.output = fileName(given.output, false);
    options.report = fileName(given.report, false);
    options.compare = fileName(given.compare, false);
    return options;
}

// The frames a run denoises, first to end - 1, and the one --compare shows.
struct FrameRange {
    int clipFrames;
    int first;
    int end;
    int compareFrame;
};

FrameRange checkRange(const DenoiseOptions& options, VideoInput& input) {
    FrameRange range;
    range.clipFrames = input.frameCount();
    range.first = options.firstFrame;
    const int first = range.first;
    const int end = frameRangeEnd(options.endFrame, range.clipFrames);
    range.end = end;
    if (first < 0 || first >= end)
        throw CliError(ExitCode::usage,
                       startsBeyondEnd(
                           // Numbers past INT32_MAX were read as that: the range is then not restated.
                           first == INT32_MAX ? std::string("--frames")
                                              : "--frames " + std::to_string(first) + ":" +
                                                    (options.endFrame < 0 || options.endFrame == INT32_MAX
                                                         ? std::string()
                                                         : std::to_string(options.endFrame)),
                           first, range.clipFrames,
                           input.info().path + (range.clipFrames > 0
                                                    ? " (frames 0 to " + std::to_string(range.clipFrames - 1) + ")"
                                                    : std::string())));
    if (options.compareFrame >= 0 && options.compare.empty())
        throw CliError(ExitCode::usage, "--compare-frame chooses the frame for --compare FILE.png, which is not given");
    range.compareFrame = options.compareFrame >= 0 ? options.compareFrame : first + (end - first) / 2;
    if (!options.compare.empty() && (range.compareFrame < first || range.compareFrame >= end))
        throw CliError(ExitCode::usage, "--compare-frame " + std::to_string(range.compareFrame) +
                                            " is not among the frames processed (" + std::to_string(first) + " to " +
                                            std::to_string(end - 1) + ")");
    return range;
}

// The clean clip to measure against, refused where it cannot match the
// input; what differs but can still be compared goes to `notes`.
std::unique_ptr<VideoInput> openReference(const DenoiseOptions& options, const VideoInfo& info,
                                          const FrameRange& range, std::vector<std::string>& notes) {
    if (options.reference.empty()) return nullptr;
    auto reference = std::make_unique<VideoInput>(options.reference, 2);
    const VideoInfo& ref = reference->info();
    if (ref.width != info.width || ref.height != info.height)
        throw CliError(ExitCode::input, "the reference " + options.reference + " is " + std::to_string(ref.width) +
                                            "x" + std::to_string(ref.height) + ", the input " +
                                            std::to_string(info.width) + "x" + std::to_string(info.height));
    if (reference->frameCount() < range.end)
        throw CliError(ExitCode::input, "the reference " + options.reference + " has " +
                                            framesText(reference->frameCount()) + ", fewer than the input's " +
                                            std::to_string(range.end));
    if (reference->frameCount() > range.clipFrames)
        notes.push_back("the reference " + options.reference + " has " + framesText(reference->frameCount()) +
                        ", the input " + std::to_string(range.clipFrames) + "; its first " +
                        std::to_string(range.clipFrames) + " are compared");
    if (ref.format != info.format)
        notes.push_back("the reference " + options.reference + " is " + pixelFormatName(ref.format) + ", the input " +
                        pixelFormatName(info.format) + "; both are compared as " +
                        pixelFormatName(workingFormat(info.format)));
    return reference;
}

// A chunk, or a whole run, says what it was made from, for quenda join.
ChunkRecord chunkRecord(const DenoiseOptions& options, const VideoInfo& info, const FrameRange& range,
                        double start, const VideoOutput& output, bool restoreChroma) {
    ChunkRecord record{info.fingerprint, range.clipFrames, range.first, range.end, "", start, output.encoderName()};
    const OutputSettings& written = options.written;
    if (!written.crf.empty()) record.encoding += " --crf " + written.crf;
    if (!written.preset.empty()) record.encoding += " --preset " + written.preset;
    if (!written.encoderOptions.empty()) record.encoding += " --encoder-options " + written.encoderOptions;
    for (size_t t = 0; t < options.tracks.size(); ++t) {
        const bool automatic = (t == dispersionTrack[0] && options.autoDispersion[0]) ||
                               (t == dispersionTrack[1] && options.autoDispersion[1]);
        record.settings += (t ? "," : "") + (automatic ? std::string("auto") : std::to_string(options.tracks[t]));
    }
    if (restoreChroma) record.settings += ",keep";
    return record;
}

// The open run's warnings, in the order they are shown; tags a chunk's
// output with its record on the way.
std::vector<std::string> openWarnings(const DenoiseOptions& options, const VideoInfo& info, const FrameRange& range,
                                      double start, VideoOutput& output, AVPixelFormat writtenFormat,
                                      const std::vector<std::string>& referenceNotes, bool restoreChroma) {
    std::vector<std::string> warnings = output.warnings();
    warnings.insert(warnings.end(), referenceNotes.begin(), referenceNotes.end());
    if (info.videoStreams > 1)
        warnings.push_back(info.path + " has " + std::to_string(info.videoStreams) + " video streams: stream " +
                           std::to_string(info.streamIndex) + " (" + framesText(range.clipFrames) + ") is denoised" +
                           (options.stream < 0 ? ", the one with the most frames," : "") +
                           " and the others copied; --stream N picks another");
    if (output.y4m() && info.variableRate)
        warnings.push_back(info.path + " has a variable frame rate, and Y4M holds a constant one: " +
                           rateText(info.averageRate.num > 0 ? info.averageRate : info.frameRate) +
                           " fps, its average, is written; write .mkv to keep the time stamps");
    if (writtenFormat != info.format)
        warnings.push_back(info.path + " has paletted frames (" + pixelFormatName(info.format) +
                           "), which cannot hold denoised colours; they are written as " +
                           pixelFormatName(writtenFormat));
    if (chromaFinerThanPairs(info.format) && !restoreChroma)
        warnings.push_back(chromaPairsWarning(info.path, info.format));
    if (!output.setTag(ChunkRecord::tag, chunkRecord(options, info, range, start, output, restoreChroma).text()) &&
        options.framesGiven)
        warnings.push_back("this chunk's record of what it was made from cannot be stored in " + options.output +
                           " beside the cover art; quenda join will refuse it (write .mkv chunks)");
    return warnings;
}

// The opened run: its input, reference, conversion and output.
struct OpenRun {
    const DenoiseOptions& options;
    VideoInput& input;
    VideoInput* reference;
    YcConverter& converter;
    VideoOutput& output;
    FrameRange range;
    bool restoreChroma;
};

// What the frame loop gathers besides the output: the quality of input and
// result against the reference, and the frames of the comparison picture.
struct Measures {
    Measures(AVPixelFormat format, int width, int height)
        : input(format, width, height), output(format, width, height), reference(format, width, height) {}
    Reformat input, output, reference;
    QualityMeter before, after;
    FramePtr compareNoisy, compareDenoised, compareReference;
};

RunReport startReport(const OpenRun& run, PluginModule& plugin, const StrengthChoice& strength,
                      const std::vector<std::string>& warnings) {
    const VideoInfo& info = run.input.info();
    RunReport report;
    report.input = info.path;
    report.output = run.options.output == "-" ? "standard output" : run.options.output;
    report.plugin = plugin.info();
    report.width = info.width;
    report.height = info.height;
    report.frameRate = av_q2d(info.frameRate);
    report.clipFrames = run.range.clipFrames;
    report.firstFrame = run.range.first;
    report.endFrame = run.range.end;
    report.tracks = strength.tracks;
    report.strength = strength;
    report.preview = run.options.preview;
    report.encoder = run.output.encoderName();
    report.pixelFormat = pixelFormatName(run.output.storedFormat());
    report.copiedStreams = run.output.copiedStreams();
    report.warnings = warnings;
    report.chromaDetail = run.restoreChroma ? "keep" : chromaFinerThanPairs(info.format) ? "pairs" : "";
    return report;
}

// Writes the plug-in's result for frame `i` of `source`, measured against
// the reference and kept for the comparison picture where asked.
void writeFrame(const OpenRun& run, int i, const AVFrame& source, PixelYC* result, PixelYC* inputImage,
                Measures& measures) {
    if (run.restoreChroma) {
        run.converter.toYc(source, inputImage);
        restoreChromaDetail(inputImage, result, run.converter.rowPixels(), run.input.info().height);
    }
    FramePtr denoised = run.converter.fromYc(result, source);
    if (run.reference) {
        const AVFrame& clean = measures.reference(run.reference->frame(i));
        measures.before.add(measures.input(source), clean);
        measures.after.add(measures.output(*denoised), clean);
    }
    if (i == run.range.compareFrame && !run.options.compare.empty()) {
        measures.compareNoisy = cloneFrame(source);
        measures.compareDenoised = cloneFrame(*denoised);
        if (run.reference) measures.compareReference = cloneFrame(run.reference->frame(i));
    }
    run.output.write(*denoised, run.input.framePts(i));
}

// Denoises the range frame by frame, stopping where the input turns out to
// end early; fills the report's timings. Returns when the run started.
Clock::time_point frameLoop(const OpenRun& run, PluginModule& plugin, InputFrames& server, Measures& measures,
                            RunReport& report) {
    const int first = run.range.first, end = run.range.end, height = run.input.info().height;
    std::vector<PixelYC> result(static_cast<size_t>(run.converter.rowPixels()) * height);
    std::vector<PixelYC> inputImage(run.restoreChroma ? result.size() : 0);
    Progress progress(end - first, !run.options.quiet);
    const auto started = Clock::now();
    {
        PluginSession session(plugin, report.tracks, server);
        if (!run.options.preview) session.beginOutputRun();
        report.setupSeconds = since(started);
        const auto loopStarted = Clock::now();
        using platform_instrumentation::Timer;
        const double waitedBefore = platform_instrumentation::timerSeconds(Timer::ThreadWait);
        const double workedBefore = platform_instrumentation::timerSeconds(Timer::ThreadRun);
        const double gpuBefore = platform_instrumentation::timerSeconds(Timer::GpuWait);
        const double servedBefore = server.seconds();
        int knownCount = server.frameCount();
        for (int i = first; i < end; ++i) {
            if (i >= server.frameCount()) break;  // decoding found the input shorter
            const AVFrame* source = nullptr;
            try {
                const auto processStarted = Clock::now();
                session.process(i, result.data(), run.converter.rowPixels(), run.converter.rowPixels(), height);
                report.pluginSeconds += since(processStarted);
                source = &server.source(i);
            } catch (const InputEndsEarly& stop) {
                report.complete = false;
                report.note = stop.what();
                // The plug-in has released its device; with the frames that
                // remain counted, it can still do those before the break.
                if (i < server.frameCount() && server.frameCount() < knownCount) {
                    knownCount = server.frameCount();
                    session.restart();
                    --i;
                    continue;
                }
                break;
            }
            writeFrame(run, i, *source, result.data(), inputImage.data(), measures);
            progress.update(i - first + 1);
        }
        report.loopSeconds = since(loopStarted);
        report.fetchSeconds = server.seconds() - servedBefore;
        report.waitSeconds = platform_instrumentation::timerSeconds(Timer::ThreadWait) - waitedBefore;
        report.workerSeconds = platform_instrumentation::timerSeconds(Timer::ThreadRun) - workedBefore;
        report.gpuWaitSeconds = platform_instrumentation::timerSeconds(Timer::GpuWait) - gpuBefore;
        if (!run.options.preview) session.endOutputRun();
    }
    progress.finish();
    return started;
}

void addQuality(const Measures& measures, RunReport& report) {
    const QualityMeter& before = measures.before;
    const QualityMeter& after = measures.after;
    static const char* const names[] = {"Y", "Cb", "Cr"};
    for (int p = 0; p < before.planes(); ++p) {
        PlaneReport plane;
        plane.name = before.planes() == 1 ? "Y" : names[p];
        plane.psnrInput = before.plane(p).psnr;
        plane.psnrOutput = after.plane(p).psnr;
        plane.ssimInput = before.plane(p).ssim;
        plane.ssimOutput = after.plane(p).ssim;
        report.quality.push_back(plane);
    }
    report.psnrInput = before.overallPsnr();
    report.psnrOutput = after.overallPsnr();
}

// What the report says once the frames are written.
void finishReport(const OpenRun& run, const Measures& measures, RunReport& report) {
    const VideoInfo& info = run.input.info();
    report.framesWritten = run.output.framesWritten();
    if (report.complete && info.endsEarly && run.range.end == run.range.clipFrames) {
        report.complete = false;
        report.note = info.endNote;
    }
    report.device = pickedDeviceName();
    report.decodeErrors = run.input.decodeErrors();
    report.damagedFrames.assign(run.input.damagedFrames().begin(), run.input.damagedFrames().end());
    if (run.reference && measures.before.frames() > 0) addQuality(measures, report);
}

// All or nothing: the files are moved to their names only once every one
// of them is written.
void keepFiles(const DenoiseOptions& options, const RunReport& report, const Measures& measures,
               VideoOutput& output, bool keepOutput, OutputFile* compareFile, OutputFile* reportFile) {
    const bool keepCompare = !options.compare.empty() && measures.compareNoisy;
    try {
        if (keepCompare) {
            std::vector<const AVFrame*> panels{measures.compareNoisy.get(), measures.compareDenoised.get()};
            if (measures.compareReference) panels.push_back(measures.compareReference.get());
            compareFile->write(comparePng(panels));
        }
        if (reportFile) reportFile->write(toJson(report));
    } catch (const CliError& error) {
        throw CliError(error.code(), std::string(error.what()) +
                                         (options.output == "-" ? "; the video went to standard output, and no file of "
                                                                  "this run is kept"
                                                                : "; no file of this run is kept, " + options.output +
                                                                      " neither"));
    }
    if (keepOutput) output.commit();
    if (keepCompare) compareFile->commit();
    if (reportFile) reportFile->commit();
}

// A cut-off or damaged input fails the run once its files are kept.
void refuseIncomplete(const VideoInfo& info, int first, const RunReport& report) {
    const std::string damage = damageText(report);
    if (!report.complete) {
        const int last = first + report.framesWritten - 1;
        throw CliError(ExitCode::truncated,
                       info.path + " ends early: " + report.note + (damage.empty() ? "" : "; " + damage) + "; " +
                           (report.framesWritten > 0 ? report.output + " holds frames " + std::to_string(first) +
                                                           " to " + std::to_string(last) + " only"
                                                     : std::string("nothing was written")));
    }
    if (!damage.empty())
        throw CliError(ExitCode::truncated, info.path + " is damaged: " + damage + "; " + report.output +
                                                " holds all " + framesText(report.framesWritten) +
                                                ", damaged ones as the decoder concealed them");
}

}  // namespace

RunReport runDenoise(const DenoiseOptions& given, PluginModule& plugin) {
    const DenoiseOptions options = withFileNames(given);
    // Every output is checked before the input is read: a run that cannot
    // keep its results does not start.
    const std::vector<RunFile> files = {{"the input", options.input, false},
                                        {"the reference", options.reference, false},
                                        {"the output", options.output, true},
                                        {"--report", options.report, true},
                                        {"--compare", options.compare, true}};
    refuseSameFile(files);
    const OutputGuard guard(files);
    const Overwrite overwrite = options.written.overwrite;
    const Links links = options.written.links;
    OutputFile::check(options.output, overwrite, links);
    std::unique_ptr<OutputFile> reportFile, compareFile;
    if (!options.report.empty()) reportFile = std::make_unique<OutputFile>(options.report, overwrite, links);
    if (!options.compare.empty()) compareFile = std::make_unique<OutputFile>(options.compare, overwrite, links);

    // Window: the frames the plug-in asks for around the one it computes,
    // ahead by one during an output run, and a little slack.
    const int maxTime = std::max(options.tracks[lumaTimeTrack], options.tracks[chromaTimeTrack]);
    VideoInput input(options.input, 2 * maxTime + 5, options.stream);
    const VideoInfo& info = input.info();
    const FrameRange range = checkRange(options, input);
    // Explicit dispersions are already in options.tracks; the planes left to
    // the automatic strength get theirs from the noise of this range.
    const StrengthChoice strength =
        chooseStrength(input, range.first, range.end, options.tracks, options.autoDispersion);
    if (strength.measured && !options.quiet) options.messages() << strengthText(strength);
    std::vector<std::string> referenceNotes;
    const std::unique_ptr<VideoInput> reference = openReference(options, info, range, referenceNotes);

    YcConverter converter(info.format, info.width, info.height, isFullRange(info.format, info.range), info.colorSpace);
    VideoInfo written = info;
    written.format = converter.outputFormat();
    VideoOutput output(options.output, options.written, written);
    const double infinity = std::numeric_limits<double>::infinity();
    const double copyStart = range.first > 0 ? input.frameSeconds(range.first) : -infinity;
    const double copyEnd = range.end < range.clipFrames ? input.frameSeconds(range.end) : infinity;
    output.copyStreamsFrom(input.openAgain(), copyStart, copyEnd, options.framesGiven);
    const bool restoreChroma = chromaFinerThanPairs(info.format) && options.chromaDetail == ChromaDetail::keep;
    const std::vector<std::string> warnings =
        openWarnings(options, info, range, input.frameSeconds(range.first), output, written.format, referenceNotes,
                     restoreChroma);
    for (const std::string& warning : warnings) std::cerr << "quenda: warning: " << warning << "\n";

    const OpenRun run{options, input, reference.get(), converter, output, range, restoreChroma};
    InputFrames server(input, 2 * maxTime + 5);
    Measures measures(workingFormat(info.format), info.width, info.height);
    RunReport report = startReport(run, plugin, strength, warnings);
    const Clock::time_point started = frameLoop(run, plugin, server, measures, report);
    // An output without a single frame is not kept.
    const bool keepOutput = output.framesWritten() > 0;
    if (keepOutput) output.finalise();
    report.seconds = since(started);
    finishReport(run, measures, report);
    keepFiles(options, report, measures, output, keepOutput, compareFile.get(), reportFile.get());
    refuseIncomplete(info, range.first, report);
    return report;
}

}  // namespace quenda_cli
