#include "QuilletKit/Resampler.hpp"

#include <samplerate.h>

#include <cerrno>
#include <system_error>

namespace quillet {

Resampler::Resampler(double inputRate, double outputRate) : inputRate_(inputRate), outputRate_(outputRate) {
  if (inputRate == outputRate) return;
  int error = 0;
  state_ = src_new(SRC_SINC_FASTEST, 1, &error);
  if (!state_) throw std::system_error(ENOMEM, std::generic_category(), src_strerror(error));
}

Resampler::~Resampler() {
  if (state_) src_delete(state_);
}

bool Resampler::process(std::span<const float> input, std::vector<float>& out, bool endOfInput) {
  if (!state_) {
    out.insert(out.end(), input.begin(), input.end());
    return true;
  }
  const double ratio = outputRate_ / inputRate_;
  for (;;) {
    const size_t before = out.size();
    out.resize(before + static_cast<size_t>(static_cast<double>(input.size()) * ratio) + 64);
    SRC_DATA data{};
    data.data_in = input.data();
    data.input_frames = static_cast<long>(input.size());
    data.data_out = out.data() + before;
    data.output_frames = static_cast<long>(out.size() - before);
    data.src_ratio = ratio;
    data.end_of_input = endOfInput ? 1 : 0;
    if (src_process(state_, &data) != 0) {
      out.resize(before);
      src_reset(state_);
      return false;
    }
    out.resize(before + static_cast<size_t>(data.output_frames_gen));
    if (!input.empty() && data.input_frames_used == 0 && data.output_frames_gen == 0) return false;
    input = input.subspan(static_cast<size_t>(data.input_frames_used));
    // With input left the output space ran out; at the end, the filter is
    // emptied until it gives nothing more.
    if (!input.empty()) continue;
    if (!endOfInput) return true;
    if (data.output_frames_gen == 0) {
      src_reset(state_);
      return true;
    }
  }
}

}  // namespace quillet
