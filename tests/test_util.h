// Helpers shared by the tests: scratch directories, whole-file reads and writes, and
// running the built command.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "memory_file.h"

// The names in directory `path`, sorted.
std::vector<std::string> names_in(const std::string& path);

// A fresh directory, removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of `name` inside the directory.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::vector<std::string> names() const { return names_in(path_); }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

// The standard output of the shell command `command`, or "" if it fails.
std::string output_of(const std::string& command);

// Why the tests of PNG, TIFF and JPEG cannot run here, or "" where they can: they
// need numpy and Pillow, and a build with the image libraries.
std::string why_image_tests_cannot_run();

// The numbers in `text`, whatever separates them.
std::vector<unsigned> numbers_in(const std::string& text);

// A binary PGM file: "P5\n<width> <height>\n255\n" and the raster.
std::string pgm_bytes(int width, int height, const std::string& raster);

// The table that "%d " per pixel and "\n" per row would write: the plain reference.
std::string reference_table(const std::string& raster, int width, int height);

// Random bytes from a fixed seed.
std::string random_bytes(std::size_t count, unsigned seed);

// The built lumtab as a shell command: its path, after the emulator in a cross
// build, whose tests run under one.
std::string lumtab_command();

// Whether the tests run under an emulator, which cannot do all that the kernel does.
constexpr bool kEmulated =
#ifdef LUMTAB_EMULATOR
    true;
#else
    false;
#endif

struct RunResult {
    int status = -1;  // the exit status, or 128 + the signal that ended the process
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string directory{};  // where to run; the current directory if empty
    mode_t umask = 022;
    std::uint64_t file_size_limit = 0;  // RLIMIT_FSIZE in bytes; none if 0
    std::uint64_t memory_limit = 0;     // RLIMIT_AS in bytes; none if 0
    std::string input{};                // standard input's bytes (from a file)
    bool input_from_pipe = false;       // feed `input` through a pipe instead
    int feed_milliseconds = 0;          // through the pipe, spread over this time
    bool error_to_terminal = false;     // standard error on a pseudo-terminal
    bool output_to_terminal = false;    // and standard output on the same one
    unsigned short terminal_columns = 80;
    bool without_tmpfile = false;  // as on a file system without O_TMPFILE
    bool as_nobody = false;        // run by root: as the user nobody, who may not write anywhere
    std::vector<std::string> environment = {"LANG=C.UTF-8"};
};

// Runs the built lumtab with `args` and collects its status and output; calls
// `while_running` with its process id before waiting for it to end.
RunResult run_lumtab(const std::vector<std::string>& args, const RunOptions& options = {},
                     const std::function<void(pid_t)>& while_running = {});
