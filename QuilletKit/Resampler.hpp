#pragma once
// Mono sample-rate conversion of a stream of blocks with libsamplerate's
// fastest sinc converter, which keeps the band that speech recognition uses
// at a small share of the recogniser's own cost. Internal; not installed.
// One converter belongs to one thread at a time.
#include <span>
#include <vector>

struct SRC_STATE_tag;

namespace quillet {

class Resampler {
 public:
  // Throws std::system_error when the converter cannot be made.
  Resampler(double inputRate, double outputRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  double inputRate() const { return inputRate_; }
  double outputRate() const { return outputRate_; }

  // Appends the conversion of `input` to `out`; with `endOfInput`, also
  // what the filter still holds, after which the converter starts afresh.
  // False when the converter fails; what it gave so far stays in `out`.
  bool process(std::span<const float> input, std::vector<float>& out, bool endOfInput = false);

 private:
  double inputRate_, outputRate_;
  SRC_STATE_tag* state_ = nullptr;  // absent when both rates are the same
};

}  // namespace quillet
