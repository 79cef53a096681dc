// The two ownerships of audio buffers and what makes a format; the capture tests hand them around.
#include <gtest/gtest.h>

#include <limits>

#include "QuilletKit/AudioBuffer.hpp"

using namespace quillet;

TEST(AudioBuffer, FormatsNeedAPositiveRateAndSomeChannelsAndAViewCopiedOwnsItsSamples) {
  EXPECT_TRUE(AudioFormat::make(8000, AudioFormat::kMaxChannels));
  const double nan = std::numeric_limits<double>::quiet_NaN(), infinity = std::numeric_limits<double>::infinity();
  for (auto [rate, channels] :
       {std::pair{0.0, 1u}, {-44100.0, 1u}, {48000.0, 0u}, {48000.0, 33u}, {nan, 1u}, {infinity, 1u}})
    EXPECT_FALSE(AudioFormat::make(rate, channels)) << rate << " " << channels;

  std::vector<float> left = {1, 2, 3}, right = {4, 5, 6};
  const float* channels[] = {left.data(), right.data()};
  auto view = AudioBuffer::viewing({48000, 2}, channels, 3);
  AudioBuffer kept = *view;  // a move would keep the view
  left[0] = 99;  // the capture's memory is reused after the callback
  EXPECT_FALSE(kept.isView());
  EXPECT_EQ(kept.channel(0)[0], 1);
  EXPECT_EQ(kept.channel(1)[2], 6);
  AudioBuffer shared = kept;
  EXPECT_EQ(shared.channel(1).data(), kept.channel(1).data());
  EXPECT_TRUE(kept.channel(2).empty());

  const float* none[] = {nullptr};
  EXPECT_FALSE(AudioBuffer::viewing({48000, 2}, none, 3)) << "one pointer for two channels";
  EXPECT_FALSE(AudioBuffer::viewing({48000, 1}, none, 3));
  EXPECT_THROW(AudioBuffer::owning({48000, 2}, std::vector<float>(5), 3), std::invalid_argument);
  EXPECT_EQ(AudioBuffer::copyingInterleaved({16000, 2}, std::vector<float>{1, -1, 2, -2, 3}).frameLength(), 2u);
}
