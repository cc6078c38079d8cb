#include "io/input.h"

#include <fcntl.h>
#include <lumtab/error.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace lumtab {

namespace {

std::unique_ptr<std::uint8_t[]> make_buffer() {
    return std::make_unique_for_overwrite<std::uint8_t[]>(Input::kBufferSize +
                                                          Input::kReadablePast);
}

}  // namespace

Input::Input(const std::string& path)
    : name_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)), owned_(true) {
    if (fd_ < 0) throw Error::unable_to_open(path, errno);
    struct stat status {};
    // A directory opens, but reading it fails: say so now, before anything is written.
    if (::fstat(fd_, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd_);
        throw Error::from_errno(path, EISDIR);
    }
    buffer_ = make_buffer();
}

Input::Input(int fd, std::string name, bool owned)
    : name_(std::move(name)), fd_(fd), owned_(owned), buffer_(make_buffer()) {}

Input::Input(std::span<const std::uint8_t> bytes, std::string name)
    : name_(std::move(name)),
      memory_(bytes),
      memory_whole_(bytes),
      in_memory_(true),
      buffer_(make_buffer()) {}

std::int64_t Input::file_offset() const {
    struct stat status {};
    if (in_memory_ || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    return position < 0 ? -1 : position - static_cast<std::int64_t>(end_ - position_);
}

void Input::skip_rest() {
    consumed_ += end_;
    position_ = end_ = 0;
    if (in_memory_) {
        consumed_ += memory_.size();
        memory_ = {};
    } else if (off_t here = file_offset(); here >= 0) {
        if (off_t end = ::lseek(fd_, 0, SEEK_END); end > here)
            consumed_ += std::uint64_t(end - here);
    } else {
        while (fill()) {
            consumed_ += end_;
            position_ = end_ = 0;
        }
    }
    at_end_ = true;
}

void Input::skip_over(std::uint64_t count) {
    const auto buffered =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - position_));
    position_ += buffered;
    count -= buffered;
    if (count == 0) return;
    consumed_ += end_;
    position_ = end_ = 0;
    if (in_memory_) {
        memory_ = memory_.subspan(
            static_cast<std::size_t>(std::min<std::uint64_t>(count, memory_.size())));
        consumed_ += count;
    } else if (file_offset() >= 0) {
        if (::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0)
            throw Error::from_errno(name_, errno);
        consumed_ += count;
    } else {
        while (count > 0) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(count, look_ahead(kBufferSize).size()));
            if (n == 0) break;
            skip(n);
            count -= n;
        }
    }
}

Input::~Input() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

void Input::close() {
    if (in_memory_) return;
    struct stat status {};
    if (!owned_ && end_ > position_ && ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) &&
        ::lseek(fd_, -static_cast<off_t>(end_ - position_), SEEK_CUR) < 0)
        throw Error::from_errno(name_, errno);
    if (!owned_ || fd_ < 0) return;
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) throw Error::from_errno(name_, errno);
}

ssize_t Input::read_some(std::uint8_t* out, std::size_t size) {
    if (!in_memory_) return ::read(fd_, out, size);
    size = std::min(size, memory_.size());
    if (size > 0) std::memcpy(out, memory_.data(), size);
    memory_ = memory_.subspan(size);
    return static_cast<ssize_t>(size);
}

std::int64_t Input::bytes_left() const {
    const auto buffered = static_cast<std::int64_t>(end_ - position_);
    if (in_memory_) return static_cast<std::int64_t>(memory_.size()) + buffered;
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) return -1;
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0) return -1;
    return std::max<std::int64_t>(status.st_size - position, 0) + buffered;
}

bool Input::fill() {
    if (at_end_) return false;
    if (position_ == end_) {
        consumed_ += position_;
        position_ = end_ = 0;
    } else if (end_ == kBufferSize) {
        // Keep what is still unread at the front.
        std::memmove(buffer_.get(), buffer_.get() + position_, end_ - position_);
        consumed_ += position_;
        end_ -= position_;
        position_ = 0;
    }
    for (;;) {
        ssize_t n = read_some(buffer_.get() + end_, kBufferSize - end_);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            at_end_ = true;
            return false;
        }
        if (errno != EINTR) throw Error::from_errno(name_, errno);
    }
}

int Input::refill_and_peek() {
    return fill() ? buffer_[position_] : -1;
}

std::span<const std::uint8_t> Input::look_ahead(std::size_t want) {
    want = std::min(want, kBufferSize);
    while (end_ - position_ < want && fill()) {
    }
    return {buffer_.get() + position_, end_ - position_};
}

std::size_t Input::read(std::span<std::uint8_t> out) {
    // First what is buffered, then straight into `out`, sparing a copy.
    std::size_t done = std::min(out.size(), end_ - position_);
    if (done > 0) std::memcpy(out.data(), buffer_.get() + position_, done);
    position_ += done;
    while (done < out.size() && !at_end_) {
        ssize_t n = read_some(out.data() + done, out.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            consumed_ += static_cast<std::size_t>(n);
        } else if (n == 0) {
            at_end_ = true;
        } else if (errno != EINTR) {
            throw Error::from_errno(name_, errno);
        }
    }
    return done;
}

}  // namespace lumtab
