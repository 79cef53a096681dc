#pragma once
// Audio helpers of the speech tests: Debian's LibriVox clips, sound files through libsndfile, word error rates.
#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.hh>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.hpp"

namespace quillet::test {

inline const std::filesystem::path kLibriVox = "/usr/share/pocketsphinx/test/data/librivox";
inline const std::filesystem::path kDebianModel = "/usr/share/pocketsphinx/model/en-us";

struct Clip {
  std::string id;
  std::filesystem::path wav;
  std::string reference;  // lower case words
};

// The clips with their reference transcripts, in the order of "fileids": lines of "<s> words </s> (id)".
inline std::vector<Clip> libriVoxClips() {
  std::vector<Clip> clips;
  std::istringstream in(readFile(kLibriVox / "transcription"));
  const std::regex form("<s> (.*) </s> \\((.*)\\)");
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, m, form)) clips.push_back({m[2], kLibriVox / (m[2].str() + ".wav"), m[1]});
  return clips;
}

struct Sound {
  int rate = 16000;
  int channels = 1;
  std::vector<float> samples;  // interleaved
};

inline Sound readSound(const std::filesystem::path& path) {
  SndfileHandle f(path.string());
  if (f.error()) throw std::runtime_error("cannot read " + path.string());
  Sound s{f.samplerate(), f.channels(), std::vector<float>(static_cast<size_t>(f.frames() * f.channels()))};
  f.readf(s.samples.data(), f.frames());
  return s;
}

inline void writeSound(const std::filesystem::path& path, const Sound& s, int format) {
  SndfileHandle f(path.string(), SFM_WRITE, format, s.channels, s.rate);
  if (f.error()) throw std::runtime_error("cannot write " + path.string() + ": " + f.strError());
  double best = 0;  // the lossy encoders' highest quality
  f.command(SFC_SET_COMPRESSION_LEVEL, &best, sizeof best);
  f.writef(s.samples.data(), static_cast<sf_count_t>(s.samples.size() / s.channels));
}

// Mono sound at another rate and spread over `channels` equal channels.
inline Sound converted(const Sound& mono, int rate, int channels) {
  const double ratio = static_cast<double>(rate) / mono.rate;
  std::vector<float> resampled(static_cast<size_t>(static_cast<double>(mono.samples.size()) * ratio) + 256);
  SRC_DATA data{mono.samples.data(), resampled.data(), static_cast<long>(mono.samples.size()),
                static_cast<long>(resampled.size()), 0, 0, 1, ratio};
  src_simple(&data, SRC_SINC_BEST_QUALITY, 1);
  Sound out{rate, channels, {}};
  for (long i = 0; i < data.output_frames_gen; ++i)
    out.samples.insert(out.samples.end(), static_cast<size_t>(channels), resampled[static_cast<size_t>(i)]);
  return out;
}

inline Sound silence(double seconds, int rate = 16000) {
  return Sound{rate, 1, std::vector<float>(static_cast<size_t>(seconds * rate), 0.0f)};
}

inline void append(Sound& to, const Sound& from) {
  to.samples.insert(to.samples.end(), from.samples.begin(), from.samples.end());
}

// Debian's English model, linked in the layout of the user's models, with the file `damaged` replaced by `content`.
inline void englishModel(const std::filesystem::path& folder, const std::string& damaged = "",
                         const std::string& content = "") {
  namespace fs = std::filesystem;
  fs::create_directories(folder / "acoustic");
  for (const auto& file : fs::directory_iterator(kDebianModel / "en-us"))
    fs::create_symlink(file.path(), folder / "acoustic" / file.path().filename());
  fs::create_symlink(kDebianModel / "en-us.lm.bin", folder / "language.lm.bin");
  fs::create_symlink(kDebianModel / "cmudict-en-us.dict", folder / "words.dict");
  if (damaged.empty()) return;
  const fs::path file = damaged == "language.lm.bin" ? folder / damaged : folder / "acoustic" / damaged;
  fs::remove(file);
  writeFile(file, content);
}

// A FLAC recording of `sound` that breaks off at `share` of its bytes: cut there or, with `overwrite`, garbled.
inline void brokenFlac(const std::filesystem::path& path, const Sound& sound, double share, bool overwrite) {
  writeSound(path, sound, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  std::string bytes = readFile(path);
  size_t at = static_cast<size_t>(static_cast<double>(bytes.size()) * share);
  if (overwrite)
    for (size_t i = at; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  else
    bytes.resize(at);
  writeFile(path, bytes);
}

// What libsndfile says when asked to open `path` (by descriptor, as the reader does); empty when it opens.
inline std::string openFailure(const std::filesystem::path& path) {
  SndfileHandle f(::open(path.c_str(), O_RDONLY | O_CLOEXEC), true);
  return f.error() ? f.strError() : "";
}

inline std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

// Word error rate in percent: word-level edit distance over reference length.
inline double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  auto ref = words(reference), hyp = words(hypothesis);
  std::vector<size_t> row(hyp.size() + 1);  // distances from the reference's first i words
  std::iota(row.begin(), row.end(), 0);
  for (size_t i = 1; i <= ref.size(); ++i) {
    size_t diagonal = std::exchange(row[0], i);
    for (size_t j = 1; j <= hyp.size(); ++j)
      diagonal = std::exchange(row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1])}));
  }
  return ref.empty() ? 0 : 100.0 * static_cast<double>(row[hyp.size()]) / static_cast<double>(ref.size());
}

}  // namespace quillet::test
