#include "io/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string_view>
#include <utility>

#include <lumtab/error.h>
#include <lumtab/temporary_files.h>

#include "io/signals.h"
#include "io/temporary_file.h"

namespace lumtab {

namespace {

// The named temporary files being written, which a program's handler of a fatal
// signal removes through remove_temporary_files(). A handler reaches nothing but
// globals, hence these. Room for more than lumtab writes at once: a file for each
// of its 1024 conversions at most.
constexpr int kSlots = 2048;
std::atomic<const char*> pending[kSlots];

// Called once before the first name is recorded: call_before_naming_temporary_files.
std::atomic<void (*)()> naming_hook{nullptr};
std::once_flag naming_hook_called;

// Records `path` for removal; returns its slot, or -1 where all are taken.
int record_for_removal(const char* path) {
    if (void (*hook)() = naming_hook.load()) std::call_once(naming_hook_called, hook);
    for (int slot = 0; slot < kSlots; ++slot) {
        const char* empty = nullptr;
        if (pending[slot].compare_exchange_strong(empty, path)) return slot;
    }
    return -1;
}

void forget(int& slot) {
    if (slot >= 0) pending[slot] = nullptr;
    slot = -1;
}

// Holds the fatal signals back while a file is named and unnamed, so that none
// can end the process between creating a name and recording it for removal.
class FatalSignalsHeld {
  public:
    FatalSignalsHeld() {
        sigset_t fatal = fatal_signals();
        pthread_sigmask(SIG_BLOCK, &fatal, &old_);
    }
    ~FatalSignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

  private:
    sigset_t old_;
};

// The directory part of `path` with its slash, or "" for the current directory.
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The number that `text` spells in decimal digits alone, or -1.
long decimal(std::string_view text) {
    if (text.empty() || text.size() > 9) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The process whose descriptors `directory` lists, as /proc/<pid>/fd or
// /proc/<pid>/task/<tid>/fd do once resolved; or -1 for any other directory.
long descriptor_table_owner(const std::string& directory) {
    char resolved[PATH_MAX];
    if (::realpath(directory.empty() ? "." : directory.c_str(), resolved) == nullptr) return -1;
    std::string_view path(resolved);
    if (path.size() < 10 || !path.starts_with("/proc/") || !path.ends_with("/fd")) return -1;
    path = path.substr(6, path.size() - 9);  // <pid> or <pid>/task/<tid>
    std::size_t slash = path.find('/');
    if (slash != std::string_view::npos &&
        (path.substr(slash, 6) != "/task/" || decimal(path.substr(slash + 6)) < 0))
        return -1;
    return decimal(path.substr(0, slash));
}

// Where a name for writing leads once its symbolic links are followed.
struct Target {
    std::string path;      // the file a plain open would reach, perhaps not there yet
    int descriptor = -1;   // or this descriptor of ours, which the name stands for
    bool foreign = false;  // `path` stands for a descriptor of another process
    // What the last lstat found at `path` where it was no link: 0 and `status`,
    // or -1 where nothing was there; 1 where `path` was not looked at as it is.
    int looked = 1;
    struct stat status {};
};

// Follows the symbolic links of `name`. As the kernel does where
// fs.protected_symlinks is set, a link in a sticky directory that others may
// write is not followed unless it is ours or the directory owner's, whatever it
// leads to: else root could be led to replace any file, or write into a device,
// by a link that another user planted in /tmp. A link in /proc/<pid>/fd (as
// /dev/stdout leads to) stands for an open descriptor, not for the file that its
// text names, which may be "pipe:[…]" or a deleted file's name.
Target follow_links(const std::string& name) {
    std::string path = name;
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0) return {path, -1, false, -1};
        if (!S_ISLNK(link.st_mode)) return {path, -1, false, 0, link};
        std::string directory = directory_of(path);
        struct stat parent {};
        if (::stat(directory.empty() ? "." : directory.c_str(), &parent) == 0 &&
            (parent.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
            link.st_uid != ::geteuid() && link.st_uid != parent.st_uid)
            throw Error::from_errno(name, EACCES);
        long owner = descriptor_table_owner(directory);
        long descriptor = decimal(std::string_view(path).substr(directory.size()));
        if (owner >= 0 && descriptor >= 0) {
            if (owner == ::getpid()) return {path, static_cast<int>(descriptor)};
            return {path, -1, true};
        }
        char target[PATH_MAX];
        ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        if (length < 0) return {path};  // gone meanwhile; open will say what is wrong
        if (length == sizeof target) throw Error::from_errno(name, ENAMETOOLONG);
        std::string next(target, static_cast<std::size_t>(length));
        path = next.starts_with('/') ? next : directory + next;
    }
    throw Error::from_errno(name, ELOOP);
}

// Lets the kernel drop the cached pages of the file that `path` will replace. They
// are of no further use, and the new file can take their memory at once, where it
// would otherwise hold twice the file's size in the cache until the rename. This
// is only advice: its failure does no harm, and pages not yet written stay.
void drop_cached_pages(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// Links the unnamed file open as `fd` under `path`, as linkat does: directly where
// the kernel allows it (from Linux 6.10, or with CAP_DAC_READ_SEARCH), which
// saves a walk through /proc, else through /proc.
int link_unnamed(int fd, const std::string& path) {
    if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return -1;
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
}

// A name for a temporary file beside `path` that nobody can guess.
std::string temporary_name(const std::string& path) {
    unsigned long long random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = static_cast<unsigned long long>(std::time(nullptr)) * 2654435761u ^ ::getpid();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".lumtab-%016llx.tmp", random);
    return directory_of(path) + suffix;
}

}  // namespace

OutputFile::OutputFile(const std::string& name) : name_(name) {
    Target target = follow_links(name);
    path_ = target.path;
    if (target.descriptor >= 0) {
        write_into_descriptor(target.descriptor);
        return;
    }
    if (target.foreign) {
        // Another process's descriptor: added to, never replaced nor truncated.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) throw Error::from_errno(name_, errno);
        return;
    }
    // Not a link, so what lstat saw is what stat would see.
    struct stat old = target.status;
    if (target.looked == 0 || (target.looked == 1 && ::stat(path_.c_str(), &old) == 0)) {
        if (S_ISDIR(old.st_mode)) throw Error::from_errno(name_, EISDIR);
        if (!S_ISREG(old.st_mode)) {
            // A device or a FIFO is written into, as a plain open would: renaming a
            // file over /dev/null would replace the device. Not through a link put
            // there since it was looked at.
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
            if (fd_ < 0) throw Error::from_errno(name_, errno);
            return;
        }
        // Refuse now what a plain open would refuse, rather than replace it at the end.
        if (::access(path_.c_str(), W_OK) != 0) throw Error::from_errno(name_, errno);
        replacing_ = true;
        drop_cached_pages(path_);
    } else if (errno != ENOENT) {
        throw Error::from_errno(name_, errno);
    }
    // A new file is born with its final mode, less the umask. A replacement is born
    // open to its owner alone, since it still has our group: it gets the old
    // owner, group and mode before the first byte is written, and nobody else can
    // have opened it in between.
    open_temporary(replacing_ ? old.st_mode & 0700 : 0666);
    if (replacing_) keep_owner_and_mode(old);
}

OutputFile::OutputFile(StandardOutput)
    : name_("standard output"), kind_(Kind::standard_output), fd_(STDOUT_FILENO) {}

void OutputFile::write_into_descriptor(int descriptor) {
    // Shared with the descriptor: its offset, and its flags such as O_APPEND.
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) throw Error::from_errno(name_, errno);
    if ((flags & O_ACCMODE) == O_RDONLY) throw Error::from_errno(name_, EBADF);
    fd_ = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) throw Error::from_errno(name_, errno);
}

void OutputFile::open_temporary(mode_t mode) {
    std::string directory = directory_of(path_);
    // An unnamed file cannot be seen, opened or left behind by any death of the
    // process. Linking it needs /proc; without O_TMPFILE or /proc, a named file.
    static const bool proc_mounted = ::access("/proc/self/fd", X_OK) == 0;
    if (proc_mounted) {
        fd_ = open_unnamed_file(directory, mode);
        if (fd_ >= 0) {
            kind_ = Kind::unnamed;
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            throw Error::from_errno(name_, errno);
    }
    kind_ = Kind::named;
    for (int attempt = 0; attempt < 100; ++attempt) {
        FatalSignalsHeld held;
        temp_path_ = temporary_name(path_);
        fd_ = ::open(temp_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd_ >= 0) {
            slot_ = record_for_removal(temp_path_.c_str());
            return;
        }
        if (errno != EEXIST) break;
    }
    int error = errno;
    temp_path_.clear();
    throw Error::from_errno(name_, error);
}

void OutputFile::keep_owner_and_mode(const struct stat& old) {
    mode_t mode = old.st_mode & 07777;
    if (::fchown(fd_, old.st_uid, old.st_gid) != 0) {
        if (errno != EPERM) throw Error::from_errno(name_, errno);
        // Only root may give a file away; a member of the old group may keep it.
        if (::fchown(fd_, static_cast<uid_t>(-1), old.st_gid) != 0) {
            if (errno != EPERM) throw Error::from_errno(name_, errno);
            // The file's group is now ours: its members get no more than others had.
            mode &= ~(S_IRWXG & ~((mode & S_IRWXO) << 3));
        }
    }
    if (::fchmod(fd_, mode) != 0) throw Error::from_errno(name_, errno);
}

void OutputFile::write(std::span<const char> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::from_errno(name_, errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

bool OutputFile::can_rewind() const {
    return kind_ == Kind::unnamed || kind_ == Kind::named;
}

void OutputFile::write_at(std::uint64_t offset, std::span<const char> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::from_errno(name_, errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

void OutputFile::read_at(std::uint64_t offset, std::span<char> bytes) const {
    while (!bytes.empty()) {
        ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Error::from_errno(name_, n < 0 ? errno : EIO);
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

void OutputFile::commit() {
    if (kind_ == Kind::standard_output) return;
    int fd = std::exchange(fd_, -1);
    if (kind_ == Kind::unnamed) {
        // Link the finished file under a temporary name, then rename it over the
        // old one: the only moment something could be left behind lies between
        // the two, where nothing but SIGKILL can end the process. A new file is
        // linked under its name directly.
        FatalSignalsHeld held;
        if (!replacing_ && link_unnamed(fd, path_) == 0) {
            if (::close(fd) != 0) {
                int error = errno;
                ::unlink(path_.c_str());
                throw Error::from_errno(name_, error);
            }
            return;
        }
        if (!replacing_ && errno != EEXIST) {
            int error = errno;
            ::close(fd);
            throw Error::from_errno(name_, error);
        }
        temp_path_ = temporary_name(path_);
        if (link_unnamed(fd, temp_path_) != 0) {
            int error = errno;
            temp_path_.clear();
            ::close(fd);
            throw Error::from_errno(name_, error);
        }
        slot_ = record_for_removal(temp_path_.c_str());
    }
    // Some file systems report write errors only at close. A close that fails is
    // not retried: the descriptor is gone either way.
    if (::close(fd) != 0) throw Error::from_errno(name_, errno);
    if (kind_ == Kind::in_place) return;
    FatalSignalsHeld held;
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0) throw Error::from_errno(name_, errno);
    forget(slot_);
    temp_path_.clear();
}

void open_output(std::optional<OutputFile>& out, const std::string& name) {
    if (name == "-") {
        out.emplace(OutputFile::StandardOutput{});
    } else {
        out.emplace(name);
    }
}

void call_before_naming_temporary_files(void (*hook)()) {
    naming_hook = hook;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && kind_ != Kind::standard_output) ::close(fd_);
    if (!temp_path_.empty()) {
        FatalSignalsHeld held;
        ::unlink(temp_path_.c_str());
        forget(slot_);
    }
}

void remove_temporary_files() noexcept {
    for (auto& path : pending)
        if (const char* name = path.load()) ::unlink(name);
}

}  // namespace lumtab
