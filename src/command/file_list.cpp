#include "command/file_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace lumtab {

namespace {

// Closes the list's descriptor unless it is standard input.
class ListFile {
  public:
    explicit ListFile(const std::string& list) {
        if (list == "-") {
            name_ = kStandardInput;
            return;
        }
        name_ = list;
        fd_ = ::open(list.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) throw Error::from_errno(name_, errno);
        owned_ = true;
    }
    ~ListFile() {
        if (owned_) ::close(fd_);
    }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    // Reads up to `size` bytes into `out`; 0 at the end. Throws Error.
    std::size_t read(char* out, std::size_t size) {
        for (;;) {
            ssize_t n = ::read(fd_, out, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) throw Error::from_errno(name_, errno);
        }
    }

    const std::string& name() const { return name_; }

  private:
    std::string name_;
    int fd_ = STDIN_FILENO;
    bool owned_ = false;
};

// Enters the list's next name, or the reason it is none.
void add_name(std::string&& name, const ListFile& list, bool null_separated, std::size_t number,
              Inputs& inputs) {
    const std::string place = (null_separated ? "name " : "line ") + std::to_string(number);
    if (name.empty()) {
        inputs.refused.try_emplace(inputs.names.size(), list.name(), place + " is empty");
    } else if (!null_separated && name.find('\0') != std::string::npos) {
        inputs.refused.try_emplace(inputs.names.size(), list.name(),
                                   place + " holds a NUL byte (names ended by NUL need -0)");
        name.clear();
    }
    inputs.names.push_back(std::move(name));
}

}  // namespace

void read_file_list(const std::string& path, bool null_separated, Inputs& inputs) {
    ListFile list(path);
    const char end = null_separated ? '\0' : '\n';
    constexpr std::size_t kBlock = 64 * 1024;
    auto block = std::make_unique_for_overwrite<char[]>(kBlock);
    std::string name;  // the part of a name that a block ended inside
    std::size_t number = 0;
    for (std::size_t size; (size = list.read(block.get(), kBlock)) != 0;) {
        const char* from = block.get();
        const char* stop = from + size;
        for (const char* at; (at = static_cast<const char*>(std::memchr(from, end, stop - from)));
             from = at + 1) {
            name.append(from, at);
            add_name(std::move(name), list, null_separated, ++number, inputs);
            name.clear();
        }
        name.append(from, stop);
    }
    if (!name.empty()) add_name(std::move(name), list, null_separated, ++number, inputs);
}

}  // namespace lumtab
