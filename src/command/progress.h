// How far a long conversion has come, on one line of standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace lumtab {

// Shows "lumtab: NAME: NN%" on one line of standard error that redraws itself,
// once a conversion has run for a second, and clears it at the end. Only where
// standard error is a terminal, and not where the output goes to standard output
// and that is the same terminal: it is never drawn into a table on the screen.
// The line is cut to the terminal's width.
class Progress {
  public:
    Progress(bool wanted, const std::string& name, bool output_to_standard_output);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of `total`; a total of 0 shows nothing.
    void update(std::uint64_t done, std::uint64_t total);

  private:
    using Clock = std::chrono::steady_clock;

    bool wanted_;
    std::string name_;
    Clock::time_point start_;
    Clock::time_point drawn_at_;
    bool drawn_ = false;
};

// Shows "lumtab: 1,234 of 50,000 files, 12%" for a batch, the percentage by bytes
// of the inputs, on one line of standard error as Progress does: after the batch
// has run for a second, where Progress would be drawn, cut to the terminal's
// width. Lines of messages go through it, so that they never mix with the line.
class BatchProgress {
  public:
    BatchProgress(bool wanted, std::uint64_t files, std::uint64_t bytes,
                  bool output_to_standard_output);
    ~BatchProgress();
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    // Whether the line may be shown at all.
    bool wanted() const { return wanted_; }
    // `files` files and `bytes` bytes of the inputs are done.
    void update(std::uint64_t files, std::uint64_t bytes);
    // Clears the line, if shown, before a message is written.
    void clear();

  private:
    using Clock = std::chrono::steady_clock;

    bool wanted_;
    std::uint64_t files_;
    std::uint64_t bytes_;
    Clock::time_point start_;
    Clock::time_point drawn_at_;
    bool drawn_ = false;
};

// `number` with a comma between each group of three digits: 50,000.
std::string with_thousands(std::uint64_t number);

// `name` cut from its start, "..." in place of what goes, to take at most
// `columns` columns on a terminal; as it is if it fits.
std::string fit_to_columns(const std::string& name, std::size_t columns);

}  // namespace lumtab
