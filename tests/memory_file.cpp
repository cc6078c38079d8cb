#include "memory_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

int memory_file(std::span<const std::uint8_t> bytes) {
    int fd = memfd_create("bytes", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        throw std::runtime_error("cannot make a file in memory");
    return fd;
}

int memory_file(const std::string& bytes) {
    return memory_file({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

int pipe_holding(std::span<const std::uint8_t> bytes) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    if (bytes.size() > std::size_t(capacity))
        capacity = fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(bytes.size()));
    bool fits = capacity >= 0 && bytes.size() <= std::size_t(capacity) &&
                write(fds[1], bytes.data(), bytes.size()) == ssize_t(bytes.size());
    close(fds[1]);
    if (fits) return fds[0];
    close(fds[0]);
    return -1;
}
