// Where a run's files go. A run never replaces a file it did not create
// unless told to (-y), never writes onto its input or onto one of its other
// outputs, and writes each regular file under a unique temporary name beside
// it that is renamed when complete, so that a failed or interrupted run, or
// a second run on the same name, leaves nothing half-written.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace quenda_cli {

enum class Overwrite { refuse, allow };
// A symbolic link at an output's name: written through to its target, or
// itself replaced by the new file (for files of quenda's own, the demo's).
enum class Links { follow, replace };

// Temporary files removed when the process is stopped by a signal (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU).
// rememberTemporary returns a slot for forgetTemporary.
int rememberTemporary(const std::string& path);
// A reader that has gone (SIGPIPE) and a file-size limit (SIGXFSZ) make the
// write fail with its error, told and cleaned up as any other, instead of
// stopping the process without a word.
void reportWriteFailuresAsErrors();
void forgetTemporary(int slot);
// One temporary folder, removed with what it holds on the same signals, or
// by removeTemporaryFolder (a new one replaces the one before).
void rememberTemporaryFolder(const std::string& path);
void removeTemporaryFolder();

// A named file of the run, for refusing two names of one file.
struct RunFile {
    const char* role;  // "the input", "--report", ...
    std::string path;  // "-" is standard input for readers, standard output for writers
    bool writes;
};

// Throws CliError (usage) when two of `files` name the same file through
// any path, symbolic link or hard link, or two writers name standard output.
void refuseSameFile(const std::vector<RunFile>& files);

// The run's outputs, which no input may read (a playlist or a file-name
// pattern can name one), for as long as the guard lives: made before the
// inputs are opened.
class OutputGuard {
public:
    explicit OutputGuard(const std::vector<RunFile>& files);
    ~OutputGuard();
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
};
// Empty where an input may read `path`; otherwise why not, and every later
// commit() under the guard refuses.
std::string readRefusal(const std::string& path);

// One output file. A regular file is written under a temporary name and
// moved to its name by commit(); an existing FIFO or character device is
// written in place; "-" is standard output. Throws CliError: usage for an
// existing file without Overwrite::allow, output when it cannot be written.
class OutputFile {
public:
    OutputFile(const std::string& path, Overwrite overwrite, Links links = Links::follow);
    ~OutputFile();  // removes the temporary unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // What to open for writing: the temporary file, the FIFO or device, or
    // "pipe:1" for standard output.
    const std::string& writePath() const { return writePath_; }

    // Moves the temporary file to the path. Without Overwrite::allow, a file
    // that another program made there meanwhile is kept and this one dropped.
    void commit();
    // Writes `content` (a pipe or device is opened only now) and commits.
    void writeAll(const std::string& content) {
        write(content);
        commit();
    }
    // Writes `content` without committing; standard output, a pipe or a
    // device takes it at once.
    void write(const std::string& content);

    // Throws as the constructor would, without making anything.
    static void check(const std::string& path, Overwrite overwrite, Links links = Links::follow);

private:
    std::string path_;
    std::string target_;  // the path with symbolic links followed
    std::string temporary_;
    std::string writePath_;
    Overwrite overwrite_;
    int slot_ = -1;
};

}  // namespace quenda_cli
