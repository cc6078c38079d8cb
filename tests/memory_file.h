// Files in memory, for tests and fuzzers to read as regular files of known size.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// A file in memory holding `bytes`, open for reading at its start. Throws
// std::runtime_error if it cannot be made.
int memory_file(std::span<const std::uint8_t> bytes);
int memory_file(const std::string& bytes);
