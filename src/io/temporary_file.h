// Files without a name: an output before it is put in place, and a scratch copy
// that a reader must seek in (a TIFF from a pipe).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace lumtab {

class Input;

// A new file in `directory` ("" for the current one) that has no name
// (O_TMPFILE), open to read and write, created with `mode`: its descriptor, or -1
// with errno set. EOPNOTSUPP, EISDIR and EINVAL say that the file system cannot
// make one; a file of a name is then the caller's way.
int open_unnamed_file(const std::string& directory, mode_t mode);

// The directory for scratch files: $TMPDIR, else /tmp.
std::string scratch_directory();

// A file of this process's own, which nothing else can open and which goes when
// it is closed: unnamed where the file system can make such a file, else named
// and unlinked at once.
class ScratchFile {
  public:
    // Makes one in `directory` ("" for the current one); throws Error naming
    // `for_name`, the file it serves, where none can be made.
    explicit ScratchFile(const std::string& for_name,
                         const std::string& directory = scratch_directory());
    ~ScratchFile();
    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&&) = delete;

    int descriptor() const { return fd_; }
    // Appends `bytes`; throws Error naming the file it serves.
    void write(std::span<const std::uint8_t> bytes);
    // Writes `bytes` at `offset`, reads `bytes.size()` bytes from `offset` (which
    // must be there); throw Error naming the file it serves.
    void write_at(std::uint64_t offset, std::span<const char> bytes);
    void read_at(std::uint64_t offset, std::span<char> bytes) const;

  private:
    std::string for_name_;
    int fd_ = -1;
};

// A scratch file holding what is left of `in`, which is read to its end; more
// than `most` bytes are refused with Error(`in`'s name, `beyond`).
ScratchFile spool(Input& in, std::uint64_t most, const std::string& beyond);

}  // namespace lumtab
