#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

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

RunResult run_lumtab(const std::vector<std::string>& args, const RunOptions& options,
                     const std::function<void(pid_t)>& while_running) {
    ScratchDir capture;
    std::string out_path = capture / "out";
    std::string err_path = capture / "err";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(125);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(125);
        umask(options.umask);
        if (options.file_size_limit != 0) {
            rlimit limit{options.file_size_limit, options.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
        }
        std::vector<char*> argv{const_cast<char*>(LUMTAB_BINARY)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(LUMTAB_BINARY, argv.data());
        _exit(126);
    }
    if (while_running) while_running(pid);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    RunResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}
