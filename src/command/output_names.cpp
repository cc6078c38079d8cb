#include "command/output_names.h"

#include <lumtab/error.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cwchar>
#include <thread>

#include "threads/start.h"

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
    if (starts.size() < 3) {
        const bool table = suffix == "int" || suffix == "csv" || suffix == "tsv";
        throw Error(path, std::string("file name too short to form the ") +
                              (table ? "table's" : "image's") +
                              " name (three characters at least)");
    }
    return path.substr(0, base + starts[starts.size() - 3]).append(suffix);
}

bool is_standard_output(const std::string& name) {
    if (name == "-") return true;
    struct stat output {};
    struct stat standard {};
    return ::stat(name.c_str(), &output) == 0 && ::fstat(STDOUT_FILENO, &standard) == 0 &&
           output.st_dev == standard.st_dev && output.st_ino == standard.st_ino;
}

std::string output_in_directory(const std::string& directory, const std::string& path,
                                std::string_view suffix) {
    std::string output = replace_last_three(path, suffix);
    std::string file_name = output.substr(output.rfind('/') + 1);
    return directory.ends_with('/') ? directory + file_name : directory + "/" + file_name;
}

namespace {

using FileId = RunFiles::FileId;

FileId id_of(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

// The file that the input `file` is: standard input, if it is a regular file, or
// whatever exists under that name.
std::optional<FileId> input_id(const std::string& file, bool standard_input) {
    struct stat status {};
    if (standard_input) {
        if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    } else if (::stat(file.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return id_of(status);
}

}  // namespace

RunFiles::RunFiles(const Inputs& inputs, unsigned threads)
    : inputs_(inputs), sizes_(inputs.names.size()), existed_(inputs.names.size()) {
    // Looked at on several threads where there are many, each a stretch of them.
    const std::size_t count = inputs.names.size();
    std::vector<std::optional<FileId>> ids(count);
    auto look = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            ids[i] = look_at(i);
    };
    threads = static_cast<unsigned>(std::clamp<std::size_t>(count / 1024, 1, threads));
    std::vector<std::thread> others;
    for (unsigned t = 1; t < threads; ++t) {
        const std::size_t from = count * t / threads, to = count * (t + 1) / threads;
        if (!try_start_thread(others, [&look, from, to] { look(from, to); })) look(from, to);
    }
    look(0, count / threads);
    for (std::thread& other : others)
        other.join();
    input_ids_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        total_size_ += sizes_[i];
        if (ids[i]) input_ids_.try_emplace(*ids[i], i);
    }
}

std::optional<RunFiles::FileId> RunFiles::look_at(std::size_t index) {
    if (inputs_.refused.contains(index)) return std::nullopt;
    bool standard_input = inputs_.is_standard_input(index);
    struct stat status {};
    if (standard_input ? ::fstat(STDIN_FILENO, &status) != 0
                       : ::stat(inputs_.names[index].c_str(), &status) != 0)
        return std::nullopt;
    existed_[index] = true;
    if (S_ISREG(status.st_mode)) sizes_[index] = static_cast<std::uint64_t>(status.st_size);
    // Standard input is an input to guard where it is a file.
    if (standard_input && !S_ISREG(status.st_mode)) return std::nullopt;
    return id_of(status);
}

std::string RunFiles::name_of(std::size_t index) const {
    return inputs_.name_of(index);
}

std::optional<RunFiles::FileId> RunFiles::check(std::size_t index, const std::string& output,
                                                bool reverse) const {
    struct stat status {};
    if (::stat(output.c_str(), &status) != 0) return std::nullopt;
    return check(index, output, reverse, status);
}

RunFiles::FileId RunFiles::check(std::size_t index, const std::string& output, bool reverse,
                                 const struct stat& status) const {
    FileId id = id_of(status);
    std::string noun = reverse ? "image" : "table";
    std::string problem = "its " + noun + " " + output + " would replace ";
    std::string input = name_of(index);
    if (id == input_id(inputs_.names[index], inputs_.is_standard_input(index)))
        throw Error(input, problem + (reverse ? "the table itself" : "the image itself"));
    if (auto found = input_ids_.find(id); found != input_ids_.end())
        throw Error(input, problem + name_of(found->second) + ", an input of this run");
    if (auto found = outputs_.find(id); found != outputs_.end())
        throw Error(input, problem + "the " + noun + " of " + name_of(found->second));
    return id;
}

void RunFiles::record(std::size_t index, const std::string& output, std::optional<FileId> before) {
    struct stat status {};
    if (::stat(output.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    record(index, id_of(status), before);
}

void RunFiles::record(std::size_t index, std::optional<FileId> after,
                      std::optional<FileId> before) {
    if (after && after != before) outputs_.insert_or_assign(*after, index);
}

std::optional<std::size_t> RunFiles::input_at(const std::string& path) const {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    auto found = input_ids_.find(id_of(status));
    return found != input_ids_.end() ? std::optional(found->second) : std::nullopt;
}

void RunFiles::record_kept(std::size_t index, const std::string& output) {
    struct stat status {};
    if (::stat(output.c_str(), &status) == 0) outputs_.insert_or_assign(id_of(status), index);
}

}  // namespace lumtab
