// The process's one way to fail, and the all-or-nothing output file, shared by
// the PGM module and the command.
#pragma once

#include <span>
#include <string>
#include <string_view>

// Writes `text` to standard error exactly as given and ends the process with status 1.
[[noreturn]] void fail_with(std::string_view text);

// Reports "lumtab: <file>: <problem>" on standard error and ends the process with status 1.
[[noreturn]] void fail(std::string_view file, std::string_view problem);

// A file that appears under its name only once it has been written completely: the
// bytes go to a hidden temporary file in the same directory, which commit() renames
// over the name. Until then an existing file of that name stays as it was. A write
// or commit that fails removes the temporary file, reports and ends the process. A
// hangup, interrupt or termination signal removes the last one opened before it
// ends the process.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for `name`; false, with nothing created, if the file
    // could not be opened for writing.
    bool open(const std::string& name);

    // Writes all of `bytes` or fails.
    void write(std::span<const char> bytes);

    // Closes the file and puts it in place under its name, or fails.
    void commit();

    // Removes the temporary file if it was not committed.
    ~OutputFile();

  private:
    [[noreturn]] void fail_writing(int error);

    std::string name_;
    std::string temp_name_;
    int fd_ = -1;
};
