// Where images and tables come from: a file, a descriptor or bytes in memory, read
// through one buffer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace lumtab {

// What messages call standard input.
inline constexpr std::string_view kStandardInput = "standard input";

class Input {
  public:
    // The most bytes look_ahead() holds: large enough that a read costs little
    // beside its copy, small enough to stay in the cache. Fuzzing builds make it
    // small, so that small inputs meet its edges.
#ifdef LUMTAB_SMALL_BUFFERS
    static constexpr std::size_t kBufferSize = 512;
#else
    static constexpr std::size_t kBufferSize = 128 * 1024;
#endif
    static constexpr std::size_t kReadablePast = 16;

    struct StandardInput {};

    // Opens `path` for reading; throws Error::unable_to_open if it cannot.
    explicit Input(const std::string& path);
    // Standard input, named kStandardInput in messages and left open.
    explicit Input(StandardInput) : Input(0, std::string(kStandardInput), false) {}
    // The open descriptor `fd`, named `name` in messages; closed at the end if
    // `owned`, else left open (see close()).
    Input(int fd, std::string name, bool owned);
    // Bytes in memory, which must outlive the Input.
    Input(std::span<const std::uint8_t> bytes, std::string name);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    const std::string& name() const {
        return name_;
    }

    // The bytes not yet read, or -1 where the size cannot be known in advance: a
    // pipe, a terminal, or a file whose size the system reports as 0 (/proc, /sys).
    std::int64_t bytes_left() const;

    // How many bytes have been read so far.
    std::uint64_t offset() const {
        return consumed_ + position_;
    }

    // For a reader that needs to seek: the descriptor of a regular file and the
    // offset in it of the next byte to read, or -1 for a pipe or bytes in memory.
    int descriptor() const {
        return fd_;
    }
    std::int64_t file_offset() const;
    // Bytes in memory: those not yet read. Empty for a file.
    std::span<const std::uint8_t> memory_left() const {
        return in_memory_ ? memory_whole_.subspan(offset()) : std::span<const std::uint8_t>();
    }

    // The next byte, or -1 at the end; throws Error on a read error.
    int peek() {
        return position_ < end_ ? buffer_[position_] : refill_and_peek();
    }
    int get() {
        int c = peek();
        position_ += c >= 0;
        return c;
    }

    // The buffered bytes, at least `want` of them (at most the buffer's size) unless
    // the input ends first; empty only at the end. Past them, kReadablePast bytes of
    // no particular value may be read.
    std::span<const std::uint8_t> look_ahead(std::size_t want = 1);
    // Moves past `count` of the bytes that look_ahead returned.
    void skip(std::size_t count) {
        position_ += count;
    }

    // Moves past the next `count` bytes, which must be there, reading them only
    // where they cannot be passed over: a regular file's offset moves past them,
    // bytes in memory are left in place, a pipe's are read and dropped.
    void skip_over(std::uint64_t count);

    // Moves past every byte left, as a reader of the whole file (TIFF's, which
    // reads where it likes) has used them: a regular file's offset goes to its end.
    void skip_rest();

    // Reads bytes into `out` until it is full or the input ends; returns how many.
    std::size_t read(std::span<std::uint8_t> out);

    // Closes a descriptor of its own, throwing Error if that fails. A borrowed one
    // stays open; where it is a regular file, its offset is moved back over the
    // bytes read ahead and not used, so that whatever reads it next starts there.
    void close();

  private:
    int refill_and_peek();
    // One read() into `out`, or a copy from memory.
    ssize_t read_some(std::uint8_t* out, std::size_t size);
    // Reads more bytes behind those buffered; returns false at the end.
    bool fill();

    std::string name_;
    int fd_ = -1;
    bool owned_ = false;
    std::span<const std::uint8_t> memory_;  // what is left of bytes in memory
    std::span<const std::uint8_t> memory_whole_;
    bool in_memory_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t position_ = 0;
    std::size_t end_ = 0;
    std::uint64_t consumed_ = 0;  // bytes dropped from the buffer's front
    bool at_end_ = false;
};

}  // namespace lumtab
