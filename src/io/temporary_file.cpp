#include "io/temporary_file.h"

#include <fcntl.h>
#include <lumtab/error.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "io/input.h"

namespace lumtab {

int open_unnamed_file(const std::string& directory, mode_t mode) {
    return ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                  mode);
}

std::string scratch_directory() {
    const char* directory = std::getenv("TMPDIR");
    return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

ScratchFile::ScratchFile(const std::string& for_name, const std::string& directory)
    : for_name_(for_name) {
    fd_ = open_unnamed_file(directory, 0600);
    if (fd_ < 0) {
        std::string name = (directory.empty() ? "." : directory) + "/lumtab-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0) ::unlink(name.c_str());
    }
    if (fd_ < 0)
        throw Error(for_name_, "no temporary file in " + (directory.empty() ? "." : directory) +
                                   " to hold it: " + std::strerror(errno));
}

ScratchFile::~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : for_name_(std::move(other.for_name_)), fd_(std::exchange(other.fd_, -1)) {}

void ScratchFile::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw Error(for_name_,
                        std::string("cannot keep it in a temporary file: ") + std::strerror(errno));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

void ScratchFile::write_at(std::uint64_t offset, std::span<const char> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw Error(for_name_,
                        std::string("cannot keep it in a temporary file: ") + std::strerror(errno));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

void ScratchFile::read_at(std::uint64_t offset, std::span<char> bytes) const {
    while (!bytes.empty()) {
        ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw Error(for_name_, std::string("cannot read back its temporary file: ") +
                                       std::strerror(n < 0 ? errno : EIO));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

ScratchFile spool(Input& in, std::uint64_t most, const std::string& beyond) {
    ScratchFile file(in.name());
    std::uint64_t kept = 0;
    for (auto bytes = in.look_ahead(Input::kBufferSize); !bytes.empty();
         bytes = in.look_ahead(Input::kBufferSize)) {
        kept += bytes.size();
        if (kept > most) throw Error(in.name(), beyond);
        file.write(bytes);
        in.skip(bytes.size());
    }
    return file;
}

}  // namespace lumtab
