#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <unistd.h>
#include <csignal>
#include <cstddef>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

ScratchDir::ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "lumtab-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> names_in(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    return pclose(pipe) == 0 ? out : "";
}

std::vector<unsigned> numbers_in(const std::string& text) {
    std::vector<unsigned> numbers;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        unsigned value = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            value = value * 10 + unsigned(text[i] - '0');
        numbers.push_back(value);
    }
    return numbers;
}

std::string pgm_bytes(int width, int height, const std::string& raster) {
    return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" + raster;
}

std::string reference_table(const std::string& raster, int width, int height) {
    std::string table;
    char entry[8];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int n = std::snprintf(entry, sizeof entry, "%d ",
                                  static_cast<unsigned char>(raster[std::size_t(y) * width + x]));
            table.append(entry, n);
        }
        table += '\n';
    }
    return table;
}

std::string random_bytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

namespace {

// Makes every later open with O_TMPFILE fail with EOPNOTSUPP, as it does on file
// systems that lack it, so that the output file's fallback can be tested anywhere.
bool refuse_tmpfile() {
    constexpr unsigned kTmpfileBit = 020000000;  // __O_TMPFILE
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kTmpfileBit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

std::string lumtab_command() {
#ifdef LUMTAB_EMULATOR
    return LUMTAB_EMULATOR " " LUMTAB_BINARY;
#else
    return LUMTAB_BINARY;
#endif
}

RunResult run_lumtab(const std::vector<std::string>& args, const RunOptions& options,
                     const std::function<void(pid_t)>& while_running) {
    ScratchDir capture;
    std::string in_path = capture / "in";
    std::string out_path = capture / "out";
    std::string err_path = capture / "err";
    write_file(in_path, options.input);
    int feed[2] = {-1, -1};
    if (options.input_from_pipe && pipe2(feed, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    int terminal = -1;
    int terminal_end = -1;
    std::string terminal_name;
    if (options.error_to_terminal) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminal_name = ptsname(terminal);
        winsize size{24, options.terminal_columns, 0, 0};
        ioctl(terminal, TIOCSWINSZ, &size);
        // Held open here until the program has ended, so that reading the terminal
        // ends exactly then, whatever becomes of the program.
        terminal_end = open(terminal_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal_end < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = options.input_from_pipe ? feed[0] : open(in_path.c_str(), O_RDONLY);
        int out = options.output_to_terminal
                      ? terminal_end
                      : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = options.error_to_terminal
                      ? terminal_end
                      : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(125);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(125);
        umask(options.umask);
        if (options.file_size_limit != 0) {
            rlimit limit{options.file_size_limit, options.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
        }
        if (options.memory_limit != 0) {
            rlimit limit{options.memory_limit, options.memory_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
        }
        if (options.without_tmpfile && !refuse_tmpfile()) _exit(125);
        const gid_t nogroup = 65534;
        if (options.as_nobody &&
            (setgroups(1, &nogroup) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(125);
        std::vector<char*> argv{const_cast<char*>(LUMTAB_BINARY)};
#ifdef LUMTAB_EMULATOR
        argv.insert(argv.begin(), const_cast<char*>(LUMTAB_EMULATOR));
#endif
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> environment;
        for (const auto& variable : options.environment)
            environment.push_back(const_cast<char*>(variable.c_str()));
        environment.push_back(nullptr);
        execve(argv[0], argv.data(), environment.data());
        _exit(126);
    }
    std::thread feeder;
    if (options.input_from_pipe) {
        close(feed[0]);
        feeder = std::thread([&] {
            signal(SIGPIPE, SIG_IGN);
            std::string_view rest = options.input;
            const std::size_t pieces = options.feed_milliseconds > 0 ? 20 : 1;
            const std::size_t piece = rest.size() / pieces + 1;
            while (!rest.empty()) {
                std::string_view part = rest.substr(0, piece);
                rest.remove_prefix(part.size());
                while (!part.empty()) {
                    ssize_t n = write(feed[1], part.data(), part.size());
                    if (n <= 0) break;
                    part.remove_prefix(n);
                }
                if (!part.empty()) break;
                usleep(options.feed_milliseconds * 1000 / pieces);
            }
            close(feed[1]);
        });
    }
    // What the terminal shows, read as it comes so that the program never waits
    // for room; the read fails once the program's end closes the terminal.
    std::string shown;
    std::thread screen;
    if (terminal >= 0) {
        screen = std::thread([&] {
            char buffer[4096];
            for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, n);
        });
    }
    if (while_running) while_running(pid);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    if (feeder.joinable()) feeder.join();
    RunResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    if (terminal >= 0) {
        close(terminal_end);
        screen.join();
        result.err += shown;
        close(terminal);
    }
    return result;
}

std::string why_image_tests_cannot_run() {
    if (std::system("/usr/bin/python3 -c 'import numpy, PIL' 2>/dev/null") != 0)
        return "needs numpy and Pillow";
    if (run_lumtab({"-o", "/dev/null", "-"}, {.input = "\x89PNG\r\n\x1a\n"})
            .err.find("not read by this build") != std::string::npos)
        return "built without the image libraries";
    return "";
}
