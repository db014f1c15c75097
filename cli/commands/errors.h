// Errors of the command-line host: one message and the exit status it maps to.
// Exceptions stay inside cli/; the plug-in boundary never sees them.
#pragma once

#include <stdexcept>
#include <string>

namespace quenda_cli {

enum class ExitCode : int {
    ok = 0,
    failure = 1,    // anything not covered below
    usage = 2,      // bad command line
    input = 3,      // the input cannot be read or is not usable video
    output = 4,     // the output cannot be written
    plugin = 5,     // the plug-in could not be loaded, or failed
    truncated = 6,  // the input ends early or is damaged; what was processed is finalised
    encoder = 7,    // the encoder is unavailable here or failed
};

class CliError : public std::runtime_error {
public:
    CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

// The input's frames stop at `firstMissing` (damaged or cut off there).
class InputEndsEarly : public CliError {
public:
    InputEndsEarly(int firstMissing, const std::string& message)
        : CliError(ExitCode::truncated, message), firstMissing_(firstMissing) {}
    int firstMissing() const { return firstMissing_; }

private:
    int firstMissing_;
};

}  // namespace quenda_cli
