#include "cli/report/run_report.h"

#include "cli/analysis/metrics.h"
#include "platform/vulkan_adapters.h"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace quenda_cli {

namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 if there is none.
size_t utf8Length(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                                     : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    const unsigned char second = static_cast<unsigned char>(text[at + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;  // overlong forms, surrogates, past U+10FFFF
    return length;
}

// A JSON string; bytes that are not UTF-8 (a file name in another
// encoding) become U+FFFD, so that the report stays valid JSON.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8Length(text, at);
            if (length == 0) {
                out += "\\ufffd";
            } else {
                out.append(text, at, length);
                at += length - 1;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// JSON has no infinity: identical planes have a PSNR of null.
std::string jsonNumber(double value, int digits = 4) {
    if (!std::isfinite(value)) return "null";
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace

std::string formatDuration(double seconds) {
    char text[32];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else {
        const long whole = std::lround(seconds);
        if (whole >= 3600)
            std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
        else
            std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

Progress::Progress(int total, bool enabled)
    : total_(total), enabled_(enabled && isatty(STDERR_FILENO)), start_(Clock::now()), lastShown_(start_) {}

void Progress::update(int done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (done < total_ && now - lastShown_ < std::chrono::milliseconds(250)) return;
    lastShown_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double fps = elapsed > 0 ? done / elapsed : 0;
    char line[128];
    if (fps > 0 && done < total_)
        std::snprintf(line, sizeof line, "\rframe %d/%d  %.2f fps  ETA %s   ", done, total_, fps,
                      formatDuration((total_ - done) / fps).c_str());
    else
        std::snprintf(line, sizeof line, "\rframe %d/%d  %.2f fps            ", done, total_, fps);
    std::fputs(line, stderr);
    std::fflush(stderr);
    shown_ = true;
}

void Progress::finish() {
    if (shown_) std::fputs("\n", stderr);
    shown_ = false;
}

std::string damageText(const RunReport& r) {
    std::string text;
    if (r.decodeErrors > 0)
        text = "the decoder reported " + std::to_string(r.decodeErrors) + (r.decodeErrors == 1 ? " error" : " errors");
    if (r.damagedFrames.empty()) return text;
    // Runs of frames as "4 to 6".
    std::string list;
    for (size_t i = 0; i < r.damagedFrames.size();) {
        size_t j = i;
        while (j + 1 < r.damagedFrames.size() && r.damagedFrames[j + 1] == r.damagedFrames[j] + 1) ++j;
        list += (list.empty() ? "" : ", ") + std::to_string(r.damagedFrames[i]) +
                (j > i ? " to " + std::to_string(r.damagedFrames[j]) : "");
        i = j + 1;
    }
    return text + (text.empty() ? "" : "; ") + (r.damagedFrames.size() == 1 ? "frame " : "frames ") + list +
           (r.damagedFrames.size() == 1 ? " is damaged" : " are damaged");
}

std::string summaryText(const RunReport& r) {
    std::ostringstream out;
    char line[256];
    std::snprintf(line, sizeof line, "%s %d frames (%d to %d of %d) in %s, %.2f fps, on %s\n",
                  r.complete ? "denoised" : "denoised only", r.framesWritten, r.firstFrame,
                  r.firstFrame + r.framesWritten - 1, r.clipFrames, formatDuration(r.seconds).c_str(), r.fps(),
                  r.device.c_str());
    out << line;
    out << "wrote " << r.output << " (" << r.encoder << ", " << r.pixelFormat << ", " << r.width << "x" << r.height
        << (r.copiedStreams ? ", " + std::to_string(r.copiedStreams) + " stream(s) copied" : std::string()) << ")\n";
    if (!r.quality.empty()) {
        out << "against the reference   PSNR before -> after        SSIM before -> after\n";
        for (const PlaneReport& p : r.quality) {
            std::snprintf(line, sizeof line, "  %-3s                  %10s -> %-12s    %.4f -> %.4f\n", p.name.c_str(),
                          formatPsnr(p.psnrInput).c_str(), formatPsnr(p.psnrOutput).c_str(), p.ssimInput,
                          p.ssimOutput);
            out << line;
        }
        std::snprintf(line, sizeof line, "  all                  %10s -> %s\n", formatPsnr(r.psnrInput).c_str(),
                      formatPsnr(r.psnrOutput).c_str());
        out << line;
    }
    return out.str();
}

std::string toJson(const RunReport& r) {
    std::ostringstream out;
    out << "{\n";
    out << "  \"input\": " << jsonString(r.input) << ",\n";
    out << "  \"output\": " << jsonString(r.output) << ",\n";
    out << "  \"complete\": " << (r.complete ? "true" : "false") << ",\n";
    if (!r.complete) out << "  \"note\": " << jsonString(r.note) << ",\n";
    out << "  \"decode_errors\": " << r.decodeErrors << ",\n";
    out << "  \"damaged_frames\": [";
    for (size_t i = 0; i < r.damagedFrames.size(); ++i) out << (i ? ", " : "") << r.damagedFrames[i];
    out << "],\n";
    out << "  \"plugin\": " << jsonString(r.plugin) << ",\n";
    out << "  \"device\": " << jsonString(r.device) << ",\n";
    out << "  \"encoder\": " << jsonString(r.encoder) << ",\n";
    out << "  \"pixel_format\": " << jsonString(r.pixelFormat) << ",\n";
    out << "  \"width\": " << r.width << ",\n";
    out << "  \"height\": " << r.height << ",\n";
    out << "  \"frame_rate\": " << jsonNumber(r.frameRate) << ",\n";
    out << "  \"clip_frames\": " << r.clipFrames << ",\n";
    out << "  \"first_frame\": " << r.firstFrame << ",\n";
    out << "  \"end_frame\": " << r.endFrame << ",\n";
    out << "  \"frames_written\": " << r.framesWritten << ",\n";
    out << "  \"seconds\": " << jsonNumber(r.seconds, 3) << ",\n";
    out << "  \"fps\": " << jsonNumber(r.fps(), 3) << ",\n";
    out << "  \"preview\": " << (r.preview ? "true" : "false") << ",\n";
    out << "  \"timing\": {\"setup_seconds\": " << jsonNumber(r.setupSeconds, 3)
        << ", \"frames_seconds\": " << jsonNumber(r.loopSeconds, 3)
        << ", \"in_plugin_seconds\": " << jsonNumber(r.pluginSeconds, 3)
        << ", \"frame_service_seconds\": " << jsonNumber(r.fetchSeconds, 3)
        << ", \"worker_wait_seconds\": " << jsonNumber(r.waitSeconds, 3)
        << ", \"worker_run_seconds\": " << jsonNumber(r.workerSeconds, 3)
        << ", \"gpu_wait_seconds\": " << jsonNumber(r.gpuWaitSeconds, 3) << "},\n";
    static const char* const trackKeys[] = {"luma_space",   "luma_time",   "luma_dispersion",
                                            "chroma_space", "chroma_time", "chroma_dispersion"};
    out << "  \"parameters\": {";
    for (size_t i = 0; i < r.tracks.size(); ++i)
        out << (i ? ", " : "") << "\"" << trackKeys[i] << "\": " << r.tracks[i];
    out << "},\n";
    if (r.strength.measured) out << "  \"strength\": " << strengthJson(r.strength) << ",\n";
    out << "  \"copied_streams\": " << r.copiedStreams << ",\n";
    if (!r.chromaDetail.empty()) out << "  \"chroma_detail\": " << jsonString(r.chromaDetail) << ",\n";
    if (!r.quality.empty()) {
        out << "  \"quality\": {\n";
        for (const PlaneReport& p : r.quality) {
            out << "    " << jsonString(p.name) << ": {\"psnr_input\": " << jsonNumber(p.psnrInput)
                << ", \"psnr_output\": " << jsonNumber(p.psnrOutput) << ", \"ssim_input\": " << jsonNumber(p.ssimInput, 6)
                << ", \"ssim_output\": " << jsonNumber(p.ssimOutput, 6) << "},\n";
        }
        out << "    \"all\": {\"psnr_input\": " << jsonNumber(r.psnrInput) << ", \"psnr_output\": "
            << jsonNumber(r.psnrOutput) << "}\n";
        out << "  },\n";
    }
    out << "  \"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i) out << (i ? ", " : "") << jsonString(r.warnings[i]);
    out << "]\n}\n";
    return out.str();
}

std::string pickedDeviceName() {
    for (const platform_d3d11::VulkanAdapter& adapter : platform_d3d11::listVulkanAdapters())
        if (adapter.picked) return adapter.name + " (" + adapter.type + ")";
    return "an unknown device";
}

}  // namespace quenda_cli
