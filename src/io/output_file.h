// Where lumtab's tables and images go: a file that appears whole or not at all.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace lumtab {

// A file that appears under its name only once it has been written completely.
// The bytes go to a temporary file in the same directory (unnamed, where the file
// system offers O_TMPFILE), which commit() puts in place; until then a file of that
// name stays as it was, and an OutputFile that goes without commit() leaves nothing.
// A replaced file keeps its permissions, and its owner and group where the system
// permits; the temporary file is never more open than that. A name that is a
// symbolic link stands for its target. An existing file that is not a regular one
// (a device, a FIFO) is written into, as is standard output. A name that stands for
// one of this process's descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N) is
// written through it, as standard output is; one that stands for another process's
// descriptor is opened to append. Where the temporary file has a name (the
// fallback), it is recorded for remove_temporary_files(), which a program's
// handler of a fatal signal may call.
class OutputFile {
  public:
    struct StandardOutput {};

    // Opens `name` for writing; throws Error if it cannot be written there.
    explicit OutputFile(const std::string& name);
    // Standard output, written as the bytes come: it cannot be withdrawn.
    explicit OutputFile(StandardOutput);
    // Leaves nothing behind unless committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The name for messages: the one given, or "standard output".
    const std::string& name() const { return name_; }

    // Writes all of `bytes` or throws Error.
    void write(std::span<const char> bytes);

    // Whether the bytes written may be read back and written over before the
    // commit: a file of its own, not standard output, a device or a FIFO.
    bool can_rewind() const;
    // Writes `bytes` at `offset`, which write() does not move; throws Error.
    void write_at(std::uint64_t offset, std::span<const char> bytes);
    // Reads back `bytes.size()` bytes written at `offset`; throws Error.
    void read_at(std::uint64_t offset, std::span<char> bytes) const;

    // Closes the file and puts it in place under its name; throws Error on failure.
    void commit();

  private:
    enum class Kind { unnamed, named, in_place, standard_output };

    void write_into_descriptor(int descriptor);
    void open_temporary(mode_t mode);
    void keep_owner_and_mode(const struct stat& old);

    std::string name_;       // as given
    std::string path_;       // the file a plain open would write: links followed
    std::string temp_path_;  // the named temporary file, if any
    Kind kind_ = Kind::in_place;
    bool replacing_ = false;
    int fd_ = -1;
    int slot_ = -1;  // where the named temporary file is recorded for removal
};

// Opens the output `name` into `out`: standard output for "-", else the file.
void open_output(std::optional<OutputFile>& out, const std::string& name);

// Sets `hook` to be called once, before the first named temporary file is
// recorded for remove_temporary_files(), with the fatal signals held back. The
// command installs its signal handlers there: a run that names no temporary file,
// as on a file system with O_TMPFILE, spends nothing on them.
void call_before_naming_temporary_files(void (*hook)());

}  // namespace lumtab
