#include "cli/denoise_job.h"

#include "cli/chunk_record.h"
#include "cli/errors.h"
#include "cli/input_frames.h"
#include "cli/metrics.h"
#include "cli/noise_estimate.h"
#include "cli/pixel_convert.h"
#include "cli/png_compare.h"
#include "cli/video_input.h"
#include "cli/video_output.h"
#include "platform/test_hooks.h"

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

std::string frames(int n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

std::string rateText(AVRational rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", av_q2d(rate));
    return text;
}

}  // namespace

RunReport runDenoise(const DenoiseOptions& given, PluginModule& plugin) {
    DenoiseOptions options = given;
    options.input = fileName(given.input, true);
    options.reference = fileName(given.reference, true);
    options.output = fileName(given.output, false);
    options.report = fileName(given.report, false);
    options.compare = fileName(given.compare, false);
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
    OutputFile::check(options.output, overwrite);
    std::unique_ptr<OutputFile> reportFile, compareFile;
    if (!options.report.empty()) reportFile = std::make_unique<OutputFile>(options.report, overwrite);
    if (!options.compare.empty()) compareFile = std::make_unique<OutputFile>(options.compare, overwrite);

    // Window: the frames the plug-in asks for around the one it computes,
    // ahead by one during an output run, and a little slack.
    const int maxTime = std::max(options.tracks[lumaTimeTrack], options.tracks[chromaTimeTrack]);
    VideoInput input(options.input, 2 * maxTime + 5, options.stream);
    const VideoInfo& info = input.info();
    const int clipFrames = input.frameCount();

    const int first = options.firstFrame;
    // A range reaching past the end stops at the end, so that equal chunks
    // can be asked for without knowing the length.
    const int end = options.endFrame < 0 ? clipFrames : std::min(options.endFrame, clipFrames);
    if (first < 0 || first >= end)
        throw CliError(ExitCode::usage, "--frames " + std::to_string(first) + ":" +
                                            (options.endFrame < 0 ? std::string() : std::to_string(options.endFrame)) +
                                            " starts past the " + frames(clipFrames) + " of " + info.path);
    if (options.compareFrame >= 0 && options.compare.empty())
        throw CliError(ExitCode::usage, "--compare-frame chooses the frame for --compare FILE.png, which is not given");
    const int compareFrame = options.compareFrame >= 0 ? options.compareFrame : first + (end - first) / 2;
    if (!options.compare.empty() && (compareFrame < first || compareFrame >= end))
        throw CliError(ExitCode::usage, "--compare-frame " + std::to_string(compareFrame) +
                                            " is not among the frames processed (" + std::to_string(first) + " to " +
                                            std::to_string(end - 1) + ")");
    // Explicit dispersions are already in options.tracks; the planes left to
    // the automatic strength get theirs from the noise of this range.
    const StrengthChoice strength = chooseStrength(input, first, end, options.tracks, options.autoDispersion);
    const TrackValues& tracks = strength.tracks;
    if (strength.measured && !options.quiet) options.messages() << strengthText(strength);

    std::unique_ptr<VideoInput> reference;
    std::vector<std::string> referenceNotes;
    if (!options.reference.empty()) {
        reference = std::make_unique<VideoInput>(options.reference, 2);
        const VideoInfo& ref = reference->info();
        if (ref.width != info.width || ref.height != info.height)
            throw CliError(ExitCode::input, "the reference " + options.reference + " is " + std::to_string(ref.width) +
                                                "x" + std::to_string(ref.height) + ", the input " +
                                                std::to_string(info.width) + "x" + std::to_string(info.height));
        if (reference->frameCount() < end)
            throw CliError(ExitCode::input, "the reference " + options.reference + " has " +
                                                frames(reference->frameCount()) + ", fewer than the input's " +
                                                std::to_string(end));
        if (reference->frameCount() > clipFrames)
            referenceNotes.push_back("the reference " + options.reference + " has " + frames(reference->frameCount()) +
                                     ", the input " + std::to_string(clipFrames) + "; its first " +
                                     std::to_string(clipFrames) + " are compared");
        if (ref.format != info.format)
            referenceNotes.push_back("the reference " + options.reference + " is " + pixelFormatName(ref.format) +
                                     ", the input " + pixelFormatName(info.format) + "; both are compared as " +
                                     pixelFormatName(workingFormat(info.format)));
    }

    YcConverter converter(info.format, info.width, info.height, isFullRange(info.format, info.range), info.colorSpace);
    VideoInfo written = info;
    written.format = converter.outputFormat();
    VideoOutput output(options.output, options.written, written);
    const double copyStart = first > 0 ? input.frameSeconds(first) : -std::numeric_limits<double>::infinity();
    const double copyEnd = end < clipFrames ? input.frameSeconds(end) : std::numeric_limits<double>::infinity();
    output.copyStreamsFrom(input.openAgain(), copyStart, copyEnd);
    std::vector<std::string> warnings = output.warnings();
    warnings.insert(warnings.end(), referenceNotes.begin(), referenceNotes.end());
    if (info.videoStreams > 1)
        warnings.push_back(info.path + " has " + std::to_string(info.videoStreams) + " video streams: stream " +
                           std::to_string(info.streamIndex) + " (" + frames(clipFrames) + ") is denoised" +
                           (options.stream < 0 ? ", the one with the most frames," : "") +
                           " and the others copied; --stream N picks another");
    if (output.y4m() && info.variableRate)
        warnings.push_back(info.path + " has a variable frame rate, and Y4M holds a constant one: " +
                           rateText(info.frameRate) + " fps is written; write .mkv to keep the time stamps");
    if (written.format != info.format)
        warnings.push_back(info.path + " has paletted frames (" + pixelFormatName(info.format) +
                           "), which cannot hold denoised colours; they are written as " +
                           pixelFormatName(written.format));
    const bool finerChroma = chromaFinerThanPairs(info.format);
    const bool restoreChroma = finerChroma && options.chromaDetail == ChromaDetail::keep;
    if (finerChroma && !restoreChroma) warnings.push_back(chromaPairsWarning(info.path, info.format));
    // A chunk says what it was made from, for quenda join.
    ChunkRecord record{info.fingerprint, clipFrames, first, end, ""};
    for (size_t t = 0; t < options.tracks.size(); ++t) {
        const bool automatic = (t == dispersionTrack[0] && options.autoDispersion[0]) ||
                               (t == dispersionTrack[1] && options.autoDispersion[1]);
        record.settings += (t ? "," : "") + (automatic ? std::string("auto") : std::to_string(options.tracks[t]));
    }
    if (restoreChroma) record.settings += ",keep";
    if (options.framesGiven && !output.setTag(ChunkRecord::tag, record.text()))
        warnings.push_back("this chunk's record of what it was made from cannot be stored in " + options.output +
                           " beside the cover art; quenda join will refuse it (write .mkv chunks)");
    for (const std::string& warning : warnings) std::cerr << "quenda: warning: " << warning << "\n";

    InputFrames server(input, 2 * maxTime + 5);
    std::vector<PixelYC> result(static_cast<size_t>(converter.rowPixels()) * info.height);
    std::vector<PixelYC> inputImage(restoreChroma ? result.size() : 0);

    const AVPixelFormat measured = workingFormat(info.format);
    Reformat measureInput(measured, info.width, info.height), measureOutput(measured, info.width, info.height),
        measureReference(measured, info.width, info.height);
    QualityMeter before, after;
    FramePtr compareNoisy, compareDenoised, compareReference;

    RunReport report;
    report.input = info.path;
    report.output = options.output == "-" ? "standard output" : options.output;
    report.plugin = plugin.info();
    report.width = info.width;
    report.height = info.height;
    report.frameRate = av_q2d(info.frameRate);
    report.clipFrames = clipFrames;
    report.firstFrame = first;
    report.endFrame = end;
    report.tracks = tracks;
    report.strength = strength;
    report.preview = options.preview;
    report.encoder = output.encoderName();
    report.pixelFormat = pixelFormatName(output.storedFormat());
    report.copiedStreams = output.copiedStreams();
    report.warnings = warnings;
    report.chromaDetail = restoreChroma ? "keep" : finerChroma ? "pairs" : "";

    Progress progress(end - first, !options.quiet);
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const auto started = Clock::now();
    {
        PluginSession session(plugin, tracks, server);
        if (!options.preview) session.beginOutputRun();
        report.setupSeconds = since(started);
        const auto loopStarted = Clock::now();
        using platform_hooks::Timer;
        const double waitedBefore = platform_hooks::timerSeconds(Timer::ThreadWait);
        const double workedBefore = platform_hooks::timerSeconds(Timer::ThreadRun);
        const double gpuBefore = platform_hooks::timerSeconds(Timer::GpuWait);
        const double servedBefore = server.seconds();
        int knownCount = server.frameCount();
        for (int i = first; i < end; ++i) {
            if (i >= server.frameCount()) break;  // decoding found the input shorter
            const AVFrame* source = nullptr;
            try {
                const auto processStarted = Clock::now();
                session.process(i, result.data(), converter.rowPixels(), converter.rowPixels(), info.height);
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
            if (restoreChroma) {
                converter.toYc(*source, inputImage.data());
                restoreChromaDetail(inputImage.data(), result.data(), converter.rowPixels(), info.height);
            }
            FramePtr denoised = converter.fromYc(result.data(), *source);
            if (reference) {
                const AVFrame& clean = measureReference(reference->frame(i));
                before.add(measureInput(*source), clean);
                after.add(measureOutput(*denoised), clean);
            }
            if (i == compareFrame && !options.compare.empty()) {
                compareNoisy = cloneFrame(*source);
                compareDenoised = cloneFrame(*denoised);
                if (reference) compareReference = cloneFrame(reference->frame(i));
            }
            output.write(*denoised, input.framePts(i));
            progress.update(i - first + 1);
        }
        report.loopSeconds = since(loopStarted);
        report.fetchSeconds = server.seconds() - servedBefore;
        report.waitSeconds = platform_hooks::timerSeconds(Timer::ThreadWait) - waitedBefore;
        report.workerSeconds = platform_hooks::timerSeconds(Timer::ThreadRun) - workedBefore;
        report.gpuWaitSeconds = platform_hooks::timerSeconds(Timer::GpuWait) - gpuBefore;
        if (!options.preview) session.endOutputRun();
    }
    progress.finish();
    // An output without a single frame is not kept.
    const bool keepOutput = output.framesWritten() > 0;
    if (keepOutput) output.finalise();
    report.seconds = since(started);
    report.framesWritten = output.framesWritten();
    if (report.complete && info.endsEarly && end == clipFrames) {
        report.complete = false;
        report.note = info.endNote;
    }
    report.device = pickedDeviceName();
    report.decodeErrors = input.decodeErrors();
    report.damagedFrames.assign(input.damagedFrames().begin(), input.damagedFrames().end());

    if (reference && before.frames() > 0) {
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
    // All or nothing: the files are moved to their names only once every one
    // of them is written.
    const bool keepCompare = !options.compare.empty() && compareNoisy;
    try {
        if (keepCompare) {
            std::vector<const AVFrame*> panels{compareNoisy.get(), compareDenoised.get()};
            if (compareReference) panels.push_back(compareReference.get());
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
                                                " holds all " + frames(report.framesWritten) +
                                                ", damaged ones as the decoder concealed them");
    return report;
}

}  // namespace quenda_cli
