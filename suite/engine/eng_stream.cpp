#include "eng_stream.h"

#include <utility>

#include "eng_engine.h"

eng_stream_t::eng_stream_t(const eng_engine_t& engine, std::string object)
    : engine_(engine), object_(std::move(object)) {}

void eng_stream_t::append(const void* data, std::size_t size) {
  total_ += size;
  // Once over the limit nothing more is kept: the stream cannot be scanned.
  if (total_ > engine_.limits().max_object_size) {
    std::vector<unsigned char>().swap(data_);
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  data_.insert(data_.end(), bytes, bytes + size);
}

vx::ScanReport eng_stream_t::finish(const eng_options_t& options) {
  vx::ScanReport report;
  if (total_ > engine_.limits().max_object_size) {
    report.set_object(object_);
    report.set_size(total_);
    report.set_error(vx::SE_OBJECT_SIZE_LIMIT);
  } else {
    report = engine_.scan_buffer(object_, data_.data(), data_.size(), options);
  }
  reset();
  return report;
}

void eng_stream_t::reset() {
  std::vector<unsigned char>().swap(data_);
  total_ = 0;
}
