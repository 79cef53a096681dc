#pragma once
// An audio file read as a stream of 16-bit mono samples at one chosen rate,
// whatever its own format: libsndfile decodes (WAV, FLAC, Ogg Vorbis, Opus,
// MP3, ...), channels are averaged and libsamplerate converts the rate. Only
// one block is held at a time, so a recording of any length reads in the same
// small memory.
//
// Opening throws std::system_error (with the errno and the path) for a file
// that cannot be opened, and AudioFileError for one whose content is no audio
// that libsndfile knows. One reader belongs to one thread.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace quillet {

// libsndfile cannot read a file, or not to its end: what() is the path and
// the library's own reason ("Format not recognised.", "Error : flac decoder
// lost sync.").
class AudioFileError : public std::runtime_error {
 public:
  AudioFileError(const std::filesystem::path& path, const std::string& reason);
};

class AudioFileReader {
 public:
  explicit AudioFileReader(const std::filesystem::path& path, int sampleRate = 16000);
  ~AudioFileReader();
  AudioFileReader(const AudioFileReader&) = delete;
  AudioFileReader& operator=(const AudioFileReader&) = delete;

  // Fills `out` from its start with the next samples; returns how many were
  // written, 0 only at the end. Where the decoder gives up before the end (a
  // damaged or cut-off file) it throws AudioFileError, once every sample
  // decoded before the break has been returned.
  size_t read(std::span<int16_t> out);

  int sampleRate() const { return rate_; }
  // The file's own rate and channel count, as its header states them.
  int sourceRate() const;
  int sourceChannels() const;
  // How many samples `read` will give in all, as far as the header tells;
  // 0 when it does not.
  size_t expectedSamples() const;

 private:
  struct Decoder;
  std::unique_ptr<Decoder> decoder_;
  std::filesystem::path path_;
  int rate_;
};

}  // namespace quillet
