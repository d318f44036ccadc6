// A POSIX shell-word splitter for tests: what sh would make of a simple
// command line, or a refusal when sh would do more than run one command with
// literal words (expansions, operators, globs, comments, tildes, line breaks).
//
//   ShellSplit s = splitShellWords("a \"b c\" > out");   // words a, "b c"; redirect > out
#pragma once

#include <random>
#include <string>
#include <utility>
#include <vector>

struct ShellSplit {
  bool ok = true;
  std::string error;
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::string>> redirects;  // operator, target
};

ShellSplit splitShellWords(const std::string& line);

// Inputs for the property tests that use it: minLen..maxLen bytes drawn from
// alphabet, and the alphabet of every byte but NUL.
std::string randomText(std::mt19937& rng, const std::string& alphabet, size_t minLen,
                       size_t maxLen);
std::string everyByteButNul();
