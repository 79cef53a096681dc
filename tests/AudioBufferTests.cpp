// The two ownerships of audio buffers and what makes a format.
#include <gtest/gtest.h>

#include <limits>

#include "QuilletKit/AudioBuffer.hpp"

using namespace quillet;

TEST(AudioBuffer, FormatsNeedAPositiveRateAndSomeChannels) {
  EXPECT_TRUE(AudioFormat::make(8000, AudioFormat::kMaxChannels));
  for (auto [rate, channels] : {std::pair{0.0, 1u}, {-44100.0, 1u}, {48000.0, 0u}, {48000.0, 33u},
                                {std::numeric_limits<double>::quiet_NaN(), 1u},
                                {std::numeric_limits<double>::infinity(), 1u}})
    EXPECT_FALSE(AudioFormat::make(rate, channels)) << rate << " " << channels;
}

TEST(AudioBuffer, AViewCopiedOwnsItsSamplesAndOwnedCopiesShareThem) {
  std::vector<float> left = {1, 2, 3}, right = {4, 5, 6};
  const float* channels[] = {left.data(), right.data()};
  auto view = AudioBuffer::viewing({48000, 2}, channels, 3);
  ASSERT_TRUE(view && view->isView());
  AudioBuffer kept = *view;
  left[0] = 99;  // the capture's memory is reused after the callback
  EXPECT_FALSE(kept.isView());
  EXPECT_EQ(kept.channel(0)[0], 1);
  EXPECT_EQ(kept.channel(1)[2], 6);
  AudioBuffer shared = kept;
  EXPECT_EQ(shared.channel(1).data(), kept.channel(1).data());
  EXPECT_TRUE(kept.channel(2).empty());

  const float* one[] = {left.data()};
  const float* none[] = {nullptr};
  EXPECT_FALSE(AudioBuffer::viewing({48000, 2}, one, 3)) << "one pointer for two channels";
  EXPECT_FALSE(AudioBuffer::viewing({48000, 1}, none, 3));
  EXPECT_THROW(AudioBuffer::owning({48000, 2}, std::vector<float>(5), 3), std::invalid_argument);
}

TEST(AudioBuffer, InterleavedSamplesAreSplitByChannelAndPartialFramesLeftOut) {
  auto b = AudioBuffer::copyingInterleaved({16000, 2}, std::vector<float>{1, -1, 2, -2, 3});
  EXPECT_EQ(std::vector<float>(b.channel(0).begin(), b.channel(0).end()), (std::vector<float>{1, 2}));
  EXPECT_EQ(std::vector<float>(b.channel(1).begin(), b.channel(1).end()), (std::vector<float>{-1, -2}));
  auto raw = AudioBuffer::withoutFloatData({16000, 1}, 160);
  EXPECT_FALSE(raw.hasFloatData());
  EXPECT_EQ(raw.frameLength(), 160u);
  EXPECT_TRUE(raw.channel(0).empty());
}
