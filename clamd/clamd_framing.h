#pragma once

// The cutting of a clamd client's byte stream into protocol units, apart
// from any socket: each function looks at the unconsumed bytes at hand and
// says whether they begin with a whole unit, need more, or can never make
// one, and how many bytes the unit takes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace cl_clamd_framing {

// How a command is delimited, decided from its first byte: 'n' ends at a
// newline, 'z' at a zero byte; any other first byte is part of the word.
enum terminator_t { newline = 0, nul = 1, unprefixed = 2 };

enum status_t {
  complete,    // the bytes begin with a whole unit
  incomplete,  // more bytes may complete it
  too_long,    // no delimiter within the limit: the client is not speaking clamd
};

// The longest command word the daemon serves; the peer's command table
// checks at compile time that it holds no longer one.
constexpr std::size_t longest_command_word = sizeof("VERSIONCOMMANDS") - 1;
// Bytes that may wait for the delimiter of their command word: the prefix,
// the longest word and a carriage return before a newline. A client that
// sends more is not speaking clamd, however TCP cut its bytes.
constexpr std::size_t max_incomplete_command = 1 + longest_command_word + 1;
// Longest argument text: a path cannot be longer than PATH_MAX, and a
// session's next command may follow it in the same read.
constexpr std::size_t max_argument_length = 4096 + 64;

// A unit cut from the front of the input.
struct cut_t {
  status_t status = incomplete;
  // Bytes the unit takes from the input, delimiter included (complete only).
  std::size_t used = 0;
  // The command word without prefix and delimiter, or the argument text.
  std::string text;
  // Command words only: the terminator decided from the first byte (also
  // when incomplete; unprefixed for no bytes at all) and whether a space
  // ended the word, so that argument text follows.
  terminator_t terminator = unprefixed;
  bool has_arguments = false;
};

// The byte ending a reply to a command with this terminator.
char terminator_byte(terminator_t t);

// Cuts a command word. An unprefixed word is whatever has arrived up to the
// first space or newline, so it is complete as soon as there is one byte;
// a prefixed one is too long once more than max_incomplete_command bytes
// have no delimiter.
cut_t cut_command(const char* data, std::size_t size);

// Cuts the argument text of a command with terminator t: for a prefixed
// command up to its terminator byte, for an unprefixed one everything at
// hand without trailing carriage returns and newlines.
cut_t cut_arguments(const char* data, std::size_t size, terminator_t t);

// Cuts a block of exactly count bytes.
cut_t cut_block(std::size_t size, std::uint32_t count);

}  // namespace cl_clamd_framing
