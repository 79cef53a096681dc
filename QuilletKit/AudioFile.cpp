#include "QuilletKit/AudioFile.hpp"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "QuilletKit/Resampler.hpp"

namespace quillet {

namespace {

constexpr sf_count_t kBlockFrames = 4096;

[[noreturn]] void throwErrno(int error, const std::filesystem::path& path) {
  throw std::system_error(error, std::generic_category(), path.string());
}

SNDFILE* openSoundFile(const std::filesystem::path& path, SF_INFO& info) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throwErrno(errno, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throwErrno(error, path);
  }
  info = SF_INFO{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
  if (!file) {
    // libsndfile has closed the descriptor. A read error is the system's
    // failure; everything else means the bytes are no audio it knows.
    if (sf_error(nullptr) == SF_ERR_SYSTEM) throwErrno(EIO, path);
    throw AudioFileError(path, sf_strerror(nullptr));
  }
  if (info.channels <= 0 || info.samplerate <= 0) {
    sf_close(file);
    throw AudioFileError(path, sf_error_number(SF_ERR_MALFORMED_FILE));
  }
  return file;
}

// The decoder's reason for stopping, or empty. It is told on the call that
// returns the last frames before the break, and forgotten on the next one.
std::string failure(SNDFILE* file) {
  return sf_error(file) == SF_ERR_NO_ERROR ? std::string() : std::string(sf_strerror(file));
}

}  // namespace

struct AudioFileReader::Decoder {
  SNDFILE* file = nullptr;
  SF_INFO info{};
  std::unique_ptr<Resampler> resampler;
  bool direct = false;  // already mono at the wanted rate: read as it is
  bool inputDone = false;
  bool outputDone = false;
  std::string broken;  // why the decoder stopped before the end; reading is over
  std::vector<float> frames;       // interleaved, as read
  std::vector<float> mono;         // the block just read, averaged
  std::vector<float> converted;    // resampled, not yet handed out
  size_t convertedOffset = 0;

  ~Decoder() {
    if (file) sf_close(file);
  }

  void readMono() {
    frames.resize(static_cast<size_t>(kBlockFrames * info.channels));
    sf_count_t got = sf_readf_float(file, frames.data(), kBlockFrames);
    mono.clear();
    broken = failure(file);
    if (got <= 0 || !broken.empty()) inputDone = true;
    if (got <= 0) return;
    mono.resize(static_cast<size_t>(got));
    const int channels = info.channels;
    for (sf_count_t i = 0; i < got; ++i) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += frames[static_cast<size_t>(i * channels + c)];
      mono[static_cast<size_t>(i)] = sum / static_cast<float>(channels);
    }
  }

  // Reads and converts the next block; the last one also empties the
  // converter. What a failing converter gave is still handed out.
  void convert() {
    readMono();
    converted.clear();
    convertedOffset = 0;
    if (!resampler) converted.swap(mono);
    else if (!resampler->process(mono, converted, inputDone)) outputDone = true;
    if (inputDone) outputDone = true;
  }
};

AudioFileError::AudioFileError(const std::filesystem::path& path, const std::string& reason)
    : std::runtime_error(path.string() + ": " + reason) {}

AudioFileReader::AudioFileReader(const std::filesystem::path& path, int sampleRate)
    : decoder_(std::make_unique<Decoder>()), path_(path), rate_(sampleRate) {
  Decoder& d = *decoder_;
  d.file = openSoundFile(path, d.info);
  // 16-bit content at the wanted rate goes through untouched; everything
  // else is read as normalised floats.
  d.direct = d.info.channels == 1 && d.info.samplerate == sampleRate &&
             (d.info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  if (d.direct || d.info.samplerate == sampleRate) return;
  d.resampler = std::make_unique<Resampler>(d.info.samplerate, sampleRate);
}

AudioFileReader::~AudioFileReader() = default;

size_t AudioFileReader::expectedSamples() const {
  const SF_INFO& info = decoder_->info;
  if (info.frames <= 0 || info.frames >= SF_COUNT_MAX / 2 || info.samplerate <= 0) return 0;
  return static_cast<size_t>(static_cast<double>(info.frames) * rate_ / info.samplerate);
}

int AudioFileReader::sourceRate() const { return decoder_->info.samplerate; }
int AudioFileReader::sourceChannels() const { return decoder_->info.channels; }

size_t AudioFileReader::read(std::span<int16_t> out) {
  Decoder& d = *decoder_;
  if (out.empty()) return 0;
  if (d.direct) {
    if (!d.broken.empty()) throw AudioFileError(path_, d.broken);
    sf_count_t got = sf_read_short(d.file, out.data(), static_cast<sf_count_t>(out.size()));
    d.broken = failure(d.file);
    if (got > 0) return static_cast<size_t>(got);
    if (!d.broken.empty()) throw AudioFileError(path_, d.broken);
    return 0;
  }
  size_t written = 0;
  while (written < out.size()) {
    if (d.convertedOffset == d.converted.size()) {
      if (d.outputDone) break;
      d.convert();
      continue;
    }
    size_t n = std::min(out.size() - written, d.converted.size() - d.convertedOffset);
    src_float_to_short_array(d.converted.data() + d.convertedOffset, out.data() + written,
                             static_cast<int>(n));
    d.convertedOffset += n;
    written += n;
  }
  if (written == 0 && !d.broken.empty()) throw AudioFileError(path_, d.broken);
  return written;
}

}  // namespace quillet
