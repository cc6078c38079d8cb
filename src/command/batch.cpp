#include "command/batch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "command/output_names.h"
#include "command/progress.h"
#include "io/input.h"
#include "io/memory_error.h"
#include "io/report.h"
#include "table/convert.h"
#include "threads/workers.h"

namespace lumtab {

namespace {

using FileId = RunFiles::FileId;

// What a path stands for while conversions overlap: the file it names, and its
// name in its directory, which a file it creates will have. A name is held as its
// hash: two that share one only make a job wait for another.
struct Key {
    FileId id;               // the file's, or its directory's
    std::uint64_t name = 0;  // 0 for the file; else the hash of the name in the directory
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept {
        return std::hash<std::uint64_t>()(
            (key.id.first * 0x9e3779b97f4a7c15u ^ key.id.second) * 0xbf58476d1ce4e5b9u ^ key.name);
    }
};

// A name's hash, never 0.
std::uint64_t name_hash(std::string_view name) {
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    return hash | 1;
}

// One input's conversion, from its turn to be checked to its turn to be reported.
struct Job {
    explicit Job(std::size_t i) : index(i) {}

    std::size_t index;
    std::string output;
    std::optional<FileId> before;  // what the output was, and is after: for RunFiles::record
    std::optional<FileId> after;
    bool converted = false;  // else refused, or kept by -u
    bool kept = false;
    std::vector<Key> keys;  // held while it runs
    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<bool> finished{false};
    std::optional<Error> failure;
};

// Whether any output of the run goes to standard output: -o -, or standard input's
// own where -o names no file.
bool writes_to_standard_output(const Options& options, const Inputs& inputs) {
    if (options.output) return is_standard_output(*options.output);
    for (std::size_t i = 0; i < inputs.from_command_line; ++i)
        if (inputs.is_standard_input(i)) return true;
    return false;
}

bool not_older(const struct stat& output, const struct stat& input) {
    return output.st_mtim.tv_sec != input.st_mtim.tv_sec
               ? output.st_mtim.tv_sec > input.st_mtim.tv_sec
               : output.st_mtim.tv_nsec >= input.st_mtim.tv_nsec;
}

class Batch {
  public:
    Batch(const Options& options, const Inputs& inputs)
        : options_(options),
          inputs_(inputs),
          run_(inputs, options.jobs),
          progress_(!options.quiet && inputs.names.size() > 1, inputs.names.size(),
                    run_.total_size(), writes_to_standard_output(options, inputs)),
          window_limit_(std::max<std::size_t>(256, 16 * std::size_t(options.jobs))),
          workers_(options.jobs > 1 ? options.jobs : 0, [this](Job& job) { convert(job, false); }) {
    }

    int run() {
        for (std::size_t i = 0; i < inputs_.names.size(); ++i) {
            prepare(window_.emplace_back(i));
            // With the window full, this thread waits for half of it at once.
            if (window_.size() >= window_limit_) wait(window_[window_.size() / 2]);
            while (!window_.empty() && window_.front().finished)
                finish_first();
        }
        while (!window_.empty())
            finish_first();
        return status_;
    }

  private:
    // Names, checks and starts a job, or finishes it at once where it is refused, up
    // to date, or to be converted on this thread.
    void prepare(Job& job) {
        if (auto refused = inputs_.refused.find(job.index); refused != inputs_.refused.end())
            return fail(job, refused->second);
        try {
            job.output = output_name(job.index);
        } catch (const Error& error) {
            return fail(job, error);
        }
        bool here = inputs_.is_standard_input(job.index) || job.output == "-" || !workers_.any();
        struct stat output {};
        Presence presence = Presence::unsure;
        if (!here) {
            presence = add_keys(job.output, job, output);
            // An input there from the start cannot be another job's output.
            struct stat input {};
            if (!run_.existed(job.index) &&
                add_keys(inputs_.names[job.index], job, input) == Presence::unsure)
                presence = Presence::unsure;
            here = presence == Presence::unsure;
        }
        if (here) {
            finish_before(job);
        } else {
            for (; holds_any(job.keys); presence = Presence::unsure)
                finish_first();
        }
        try {
            if (presence == Presence::there) {
                job.before = run_.check(job.index, job.output, options_.reverse, output);
            } else if (presence == Presence::unsure && job.output != "-") {
                job.before = run_.check(job.index, job.output, options_.reverse);
            }
        } catch (const Error& error) {
            return fail(job, error);
        }
        if (options_.update && up_to_date(job)) {
            job.kept = true;
            job.finished = true;
            return;
        }
        job.converted = true;
        if (here) {
            convert(job, true);
            job.finished = true;
            return;
        }
        for (const Key& key : job.keys)
            ++held_[key];
        workers_.start(job);
    }

    // What the images of -r are.
    ImageInfo output_kind() const {
        ImageInfo kind = image_kind(options_.channels);
        if (options_.floating) kind.sample_type = SampleType::float32;
        return kind;
    }

    std::string output_name(std::size_t index) const {
        if (options_.output) return *options_.output;
        if (inputs_.is_standard_input(index)) return "-";
        std::string_view suffix = options_.reverse
                                      ? image_suffix(output_kind(), image_type(options_))
                                      : table_suffix(options_.style);
        const std::string& input = inputs_.names[index];
        if (options_.target_directory)
            return output_in_directory(*options_.target_directory, input, suffix);
        return replace_last_three(input, suffix);
    }

    // Whether a path names a file, none, or a symbolic link that leads nowhere yet,
    // whose file cannot be known until it is made.
    enum class Presence { there, absent, unsure };

    // Adds the keys of `path` to the job's; `status` is its file's, where it is there.
    Presence add_keys(const std::string& path, Job& job, struct stat& status) {
        Presence presence = Presence::absent;
        if (::lstat(path.c_str(), &status) == 0) {
            if (S_ISLNK(status.st_mode) && ::stat(path.c_str(), &status) != 0)
                return Presence::unsure;
            presence = Presence::there;
            job.keys.push_back({{status.st_dev, status.st_ino}, 0});
        }
        std::size_t slash = path.rfind('/');
        std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        if (directory != directory_) {
            struct stat parent {};
            if (::stat(directory.c_str(), &parent) != 0) return presence;  // nothing is made there
            directory_ = directory;
            directory_id_ = {parent.st_dev, parent.st_ino};
        }
        job.keys.push_back({directory_id_, name_hash(std::string_view(path).substr(slash + 1))});
        return presence;
    }

    bool holds_any(const std::vector<Key>& keys) const {
        for (const Key& key : keys)
            if (held_.contains(key)) return true;
        return false;
    }

    // Whether the output exists and is not older than the input, as make has it.
    bool up_to_date(const Job& job) const {
        if (inputs_.is_standard_input(job.index) || job.output == "-") return false;
        struct stat output {};
        struct stat input {};
        return ::stat(job.output.c_str(), &output) == 0 && S_ISREG(output.st_mode) &&
               ::stat(inputs_.names[job.index].c_str(), &input) == 0 && not_older(output, input);
    }

    void fail(Job& job, const Error& error) {
        job.failure = error;
        job.finished = true;
    }

    // Converts the job's input into its output; on a worker, or here.
    void convert(Job& job, bool here) {
        try {
            out_of_memory_as_error(inputs_.name_of(job.index), [&] { convert_file(job, here); });
        } catch (const Error& error) {
            job.failure = error;
        }
    }

    void convert_file(Job& job, bool here) {
        std::unique_ptr<Input> in = inputs_.open(job.index);
        // A run of one file shows that file's progress.
        std::optional<Progress> own;
        if (inputs_.names.size() == 1)
            own.emplace(!options_.quiet, in->name(), is_standard_output(job.output));
        const std::uint64_t size = run_.size_of(job.index);
        auto report_progress = [&](std::uint64_t done, std::uint64_t total) {
            if (own) own->update(done, total);
            if (total != 0)
                job.bytes_done = static_cast<std::uint64_t>(
                    static_cast<double>(std::min(done, total)) / static_cast<double>(total) *
                    static_cast<double>(size));
            if (here) show_progress();
        };
        if (options_.reverse) {
            table_to_image(*in, job.output,
                           {options_.max_value, options_.channels, image_type(options_),
                            options_.floating, options_.coordinates},
                           report_progress);
        } else {
            image_to_table(*in, job.output, options_.style, {options_.coordinates, options_.header},
                           options_.channel, report_progress);
        }
        struct stat status {};
        if (job.output != "-" && ::stat(job.output.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode))
            job.after = FileId{status.st_dev, status.st_ino};
    }

    // Finishes every job before `job`.
    void finish_before(const Job& job) {
        while (&window_.front() != &job)
            finish_first();
    }

    // Waits for `job` to finish, showing progress meanwhile.
    void wait(const Job& job) {
        while (!job.finished) {
            workers_.wait(job, std::chrono::milliseconds(100));
            show_progress();
        }
    }

    // Waits for the first job to finish, then reports it.
    void finish_first() {
        Job& job = window_.front();
        wait(job);
        if (job.failure) {
            progress_.clear();
            report(*job.failure);
            status_ = 1;
        } else if (job.kept) {
            run_.record_kept(job.index, job.output);
        } else if (job.converted) {
            run_.record(job.index, job.after, job.before);
        }
        for (const Key& key : job.keys)
            if (auto held = held_.find(key); held != held_.end() && --held->second == 0)
                held_.erase(held);
        ++files_done_;
        bytes_done_ += run_.size_of(job.index);
        window_.pop_front();
        show_progress();
    }

    void show_progress() {
        if (!progress_.wanted()) return;
        std::uint64_t bytes = bytes_done_;
        for (const Job& job : window_)
            bytes += job.bytes_done;
        progress_.update(files_done_, bytes);
    }

    const Options& options_;
    const Inputs& inputs_;
    RunFiles run_;
    BatchProgress progress_;
    std::deque<Job> window_;  // the jobs checked and not yet reported, in order
    std::size_t window_limit_;
    std::unordered_map<Key, unsigned, KeyHash> held_;  // the keys of the jobs running
    std::string directory_;                            // the directory last looked at, and its file
    FileId directory_id_{};
    std::uint64_t files_done_ = 0;
    std::uint64_t bytes_done_ = 0;
    int status_ = 0;
    Workers<Job> workers_;  // last: its threads end before anything they use
};

}  // namespace

int convert_all(const Options& options, const Inputs& inputs) {
    return Batch(options, inputs).run();
}

}  // namespace lumtab
