// The one way lumtab's code reports a failure: an Error thrown to the caller.
// Only the edges (main, read_pgm and write_pgm) turn it into a message and a status.
#pragma once

#include <exception>
#include <string>
#include <string_view>

class Error : public std::exception {
  public:
    // What is wrong with `file`; the problem defaults to strerror(error_number).
    Error(std::string file, std::string problem, int error_number = 0);

    // A system call on `file` failed with `error_number`.
    static Error from_errno(std::string file, int error_number);

    // The image `file` cannot be opened: "Unable to open file: FILE", word for word.
    static Error unable_to_open(std::string file, int error_number);

    const std::string& file() const { return file_; }
    const std::string& problem() const { return problem_; }
    int error_number() const { return error_number_; }

    // The one line that reports it, without a line feed.
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string file_;
    std::string problem_;
    int error_number_;
    std::string message_;
};

// `text` with the characters that would break a message's one line or repaint a
// terminal (line feeds, escapes, other control characters) written as \n, \033, ….
std::string printable(std::string_view text);

// Writes `error`'s line, and a line feed, to standard error in one write.
void report(const Error& error);
