// The clamd framing functions over a client's byte stream, cut as the
// connection cuts it: command words, their argument text, and INSTREAM's
// size-prefixed chunks. The stream is read twice, whole and in pieces whose
// sizes come from the input's first bytes; both readings must give the same
// units, except that a prefixed word longer than the bound may be refused
// when it arrives in pieces. A command without a prefix takes whatever has
// arrived, so the comparison ends there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "clamd_framing.h"
#include "fuzz_check.h"

namespace {

namespace fr = cl_clamd_framing;

// Bytes at the front of the input that give the piece sizes.
constexpr std::size_t split_bytes = 4;
// Larger chunk sizes end the reading: a real client would be refused too.
constexpr std::uint32_t max_chunk = 1 << 16;

struct unit_t {
  std::string what;
  std::size_t used;
  bool operator==(const unit_t& o) const { return what == o.what && used == o.used; }
};

struct reading_t {
  std::vector<unit_t> units;
  fr::status_t end = fr::incomplete;
  // The reading stopped on its own (unprefixed command, last or huge chunk).
  bool finished = false;
};

// Cuts units from buffer while whole ones are there; what a connection
// does after each receive.
class reader_t {
public:
  reading_t reading;

  void feed(const char* data, std::size_t size) {
    buffer_.append(data, size);
    while (!reading.finished && reading.end != fr::too_long && cut_one()) {
    }
  }

private:
  enum step_t { command, arguments, chunk_size, chunk };

  // False when more bytes are needed or the reading is over.
  bool cut_one() {
    const char* data = buffer_.data() + head_;
    const std::size_t size = buffer_.size() - head_;
    fr::cut_t cut;
    switch (step_) {
      case command: cut = fr::cut_command(data, size); break;
      case arguments: cut = fr::cut_arguments(data, size, terminator_); break;
      case chunk_size: cut = fr::cut_block(size, 4); break;
      case chunk: cut = fr::cut_block(size, chunk_); break;
    }
    FUZZ_CHECK(cut.used <= size);
    if (cut.status != fr::complete) {
      reading.end = cut.status;
      return false;
    }
    FUZZ_CHECK(cut.used > 0 || step_ == chunk);
    FUZZ_CHECK(cut.text.size() <= cut.used);
    take(cut, data);
    head_ += cut.used;
    reading.end = fr::incomplete;
    return true;
  }

  void take(const fr::cut_t& cut, const char* data) {
    std::string what = std::to_string(step_) + ":" + cut.text;
    switch (step_) {
      case command:
        terminator_ = cut.terminator;
        // An unprefixed command is whatever had arrived: it ends the
        // comparable part of the stream.
        if (terminator_ == fr::unprefixed) {
          reading.finished = true;
          reading.units.push_back({"unprefixed", 0});
          return;
        }
        what += cut.has_arguments ? " +args" : "";
        if (cut.has_arguments) step_ = arguments;
        else if (cut.text == "INSTREAM") step_ = chunk_size;
        break;
      case arguments:
        step_ = command;
        break;
      case chunk_size:
        chunk_ = static_cast<std::uint32_t>(static_cast<unsigned char>(data[0])) << 24 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(data[1])) << 16 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(data[2])) << 8 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(data[3]));
        what += std::to_string(chunk_);
        step_ = chunk;
        reading.finished = chunk_ == 0 || chunk_ > max_chunk;
        break;
      case chunk:
        what += std::string(data, cut.used);
        step_ = chunk_size;
        break;
    }
    reading.units.push_back({what, cut.used});
  }

  std::string buffer_;
  std::size_t head_ = 0;
  step_t step_ = command;
  fr::terminator_t terminator_ = fr::unprefixed;
  std::uint32_t chunk_ = 0;
};

// The two readings agree as far as the pieces allow.
void compare(const reading_t& whole, const reading_t& pieces) {
  const std::size_t n = pieces.units.size();
  FUZZ_CHECK(n <= whole.units.size());
  for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(pieces.units[i] == whole.units[i]);
  if (n == whole.units.size()) {
    FUZZ_CHECK(pieces.end == whole.end);
    return;
  }
  // Stopped early: only a word that had no delimiter within the bound.
  FUZZ_CHECK(pieces.end == fr::too_long);
  FUZZ_CHECK(whole.units[n].what.rfind("0:", 0) == 0);
  FUZZ_CHECK(whole.units[n].used > fr::max_incomplete_command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < split_bytes) return 0;
  const unsigned char* splits = data;
  const char* stream = reinterpret_cast<const char*>(data + split_bytes);
  const std::size_t length = size - split_bytes;

  reader_t whole;
  whole.feed(stream, length);
  reader_t pieces;
  for (std::size_t at = 0, i = 0; at < length; ++i) {
    const std::size_t piece = std::min<std::size_t>(length - at, splits[i % split_bytes] % 32 + 1u);
    pieces.feed(stream + at, piece);
    at += piece;
  }
  compare(whole.reading, pieces.reading);
  return 0;
}
