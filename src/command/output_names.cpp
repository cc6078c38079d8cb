#include "command/output_names.h"

#include <lumtab/error.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cwchar>

namespace lumtab {

namespace {

// Where each character of `name` starts: in the locale's encoding, or in UTF-8
// where the locale has a single-byte one (the C locale; names are UTF-8 as a
// rule), or byte by byte where the name is not valid in that encoding.
std::vector<std::size_t> character_starts(std::string_view name) {
    std::vector<std::size_t> starts;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < name.size();) {
        starts.push_back(i);
        std::size_t length = 0;
        if (MB_CUR_MAX > 1) {
            length = std::mbrtowc(nullptr, name.data() + i, name.size() - i, &state);
            if (length == 0) length = 1;
        } else {
            auto lead = static_cast<unsigned char>(name[i]);
            std::size_t n = lead < 0x80                   ? 1
                            : lead >= 0xc2 && lead < 0xe0 ? 2
                            : lead >= 0xe0 && lead < 0xf0 ? 3
                            : lead >= 0xf0 && lead < 0xf5 ? 4
                                                          : 0;
            length = n == 0 || i + n > name.size() ? std::size_t(-1) : n;
            for (std::size_t k = 1; k < n && length == n; ++k)
                if ((static_cast<unsigned char>(name[i + k]) & 0xc0) != 0x80)
                    length = std::size_t(-1);
        }
        if (length == std::size_t(-1) || length == std::size_t(-2)) {
            starts.clear();
            for (std::size_t k = 0; k < name.size(); ++k)
                starts.push_back(k);
            return starts;
        }
        i += length;
    }
    return starts;
}

}  // namespace

std::string replace_last_three(const std::string& path, std::string_view suffix) {
    std::size_t slash = path.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::vector<std::size_t> starts = character_starts(std::string_view(path).substr(base));
    if (starts.size() < 3)
        throw Error(
            path, suffix == "pgm" || suffix == "ppm" || suffix == "pam"
                      ? "file name too short to form the image's name (three characters at least)"
                      : "file name too short to form the table's name (three characters at least)");
    return path.substr(0, base + starts[starts.size() - 3]).append(suffix);
}

std::string input_name(const std::string& file) {
    return file == "-" ? "standard input" : file;
}

namespace {

using FileId = RunFiles::FileId;

FileId id_of(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

// The file that the input `file` is: standard input, if it is a regular file, or
// whatever exists under that name.
std::optional<FileId> input_id(const std::string& file) {
    struct stat status {};
    if (file == "-") {
        if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    } else if (::stat(file.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return id_of(status);
}

}  // namespace

RunFiles::RunFiles(const std::vector<std::string>& inputs) {
    for (const std::string& file : inputs)
        if (std::optional<FileId> id = input_id(file)) inputs_.try_emplace(*id, input_name(file));
}

std::optional<RunFiles::FileId> RunFiles::check(const std::string& input, const std::string& output,
                                                bool reverse) const {
    struct stat status {};
    if (::stat(output.c_str(), &status) != 0) return std::nullopt;
    FileId id = id_of(status);
    std::string noun = reverse ? "image" : "table";
    std::string problem = "its " + noun + " " + output + " would replace ";
    if (id == input_id(input))
        throw Error(input_name(input),
                    problem + (reverse ? "the table itself" : "the image itself"));
    if (auto found = inputs_.find(id); found != inputs_.end())
        throw Error(input_name(input), problem + found->second + ", an input of this run");
    if (auto found = outputs_.find(id); found != outputs_.end())
        throw Error(input_name(input), problem + "the " + noun + " of " + found->second);
    return id;
}

void RunFiles::record(const std::string& input, const std::string& output,
                      std::optional<FileId> before) {
    struct stat status {};
    if (::stat(output.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    if (id_of(status) != before) outputs_.insert_or_assign(id_of(status), input_name(input));
}

}  // namespace lumtab
