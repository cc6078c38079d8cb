// Files in memory and filled pipes, for tests and fuzzers to read as regular
// files of known size and as pipes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// A file in memory holding `bytes`, open for reading at its start. Throws
// std::runtime_error if it cannot be made.
int memory_file(std::span<const std::uint8_t> bytes);
int memory_file(const std::string& bytes);

// The read end of a pipe that holds `bytes` and whose write end is closed, or -1
// where they do not fit in it.
int pipe_holding(std::span<const std::uint8_t> bytes);
