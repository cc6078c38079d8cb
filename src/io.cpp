#include "io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

void fail_with(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::exit(1);
}

void fail(std::string_view file, std::string_view problem) {
    std::string text = "lumtab: ";
    text.append(file).append(": ").append(problem).append("\n");
    fail_with(text);
}

namespace {

// The directory part of `name`, with its trailing slash, or "" for the current one.
std::string directory_of(const std::string& name) {
    std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? "" : name.substr(0, slash + 1);
}

// Opens a new file of a random name beside `name`. The mode 0666 lets the umask
// shape the permissions, as a plain open for writing would.
int create_temporary(const std::string& name, std::string& temp_name) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", random());
        temp_name = directory_of(name) + ".lumtab-" + suffix + ".tmp";
        int fd = ::open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The temporary file that a terminating signal must remove, or null. A signal
// handler reaches nothing but globals, hence this one.
std::atomic<const char*> removal_on_signal{nullptr};

void remove_temporary_and_die(int signal_number) {
    if (const char* path = removal_on_signal.load()) ::unlink(path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Has a hangup, an interrupt or a termination remove `path` before it ends the
// process; a signal that was ignored when the process started stays ignored.
void remove_on_termination(const char* path) {
    removal_on_signal = path;
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction old;
        if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        std::signal(signal_number, remove_temporary_and_die);
    }
}

}  // namespace

bool OutputFile::open(const std::string& name) {
    // A file that may not be written, or a directory, cannot be opened for writing:
    // refuse it now rather than replace it at the end.
    struct stat old;
    bool exists = ::stat(name.c_str(), &old) == 0;
    if (exists && (S_ISDIR(old.st_mode) || ::access(name.c_str(), W_OK) != 0)) return false;

    // Past the file size limit a write must fail with EFBIG, not kill the process
    // before it has removed its temporary file.
    std::signal(SIGXFSZ, SIG_IGN);

    name_ = name;
    fd_ = create_temporary(name, temp_name_);
    if (fd_ < 0) return false;
    remove_on_termination(temp_name_.c_str());
    // Replacing a file keeps its permissions, as truncating it would.
    if (exists && S_ISREG(old.st_mode) && ::fchmod(fd_, old.st_mode & 07777) != 0)
        fail_writing(errno);
    return true;
}

void OutputFile::write(std::span<const char> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail_writing(errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

void OutputFile::commit() {
    int fd = fd_;
    fd_ = -1;
    // Some file systems report write errors only here. Don't retry close on EINTR:
    // the descriptor is released either way, and a retry could close another one.
    if (::close(fd) != 0) fail_writing(errno);
    if (std::rename(temp_name_.c_str(), name_.c_str()) != 0) fail_writing(errno);
    removal_on_signal = nullptr;
    temp_name_.clear();
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_name_.empty()) ::unlink(temp_name_.c_str());
    removal_on_signal = nullptr;
}

void OutputFile::fail_writing(int error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlink(temp_name_.c_str());
    removal_on_signal = nullptr;
    temp_name_.clear();
    fail(name_, std::strerror(error));
}
