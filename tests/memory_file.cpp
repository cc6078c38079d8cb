#include "memory_file.h"

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
