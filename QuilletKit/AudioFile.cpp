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
  SRC_STATE* resampler = nullptr;
  double ratio = 1;
  bool direct = false;  // already mono at the wanted rate: read as it is
  bool inputDone = false;
  bool outputDone = false;
  std::string broken;  // why the decoder stopped before the end; reading is over
  std::vector<float> frames;       // interleaved, as read
  std::vector<float> mono;         // pending input of the resampler
  size_t monoOffset = 0;
  std::vector<float> converted;    // resampled, not yet handed out
  size_t convertedOffset = 0;

  ~Decoder() {
    if (resampler) src_delete(resampler);
    if (file) sf_close(file);
  }

  void readMono() {
    frames.resize(static_cast<size_t>(kBlockFrames * info.channels));
    sf_count_t got = sf_readf_float(file, frames.data(), kBlockFrames);
    mono.clear();
    monoOffset = 0;
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

  // Runs the resampler once over what input is pending.
  void convert() {
    if (!inputDone && monoOffset == mono.size()) readMono();
    if (!resampler) {
      converted.swap(mono);
      convertedOffset = 0;
      monoOffset = mono.size();
      if (inputDone) outputDone = true;
      return;
    }
    converted.resize(static_cast<size_t>(kBlockFrames * ratio) + 64);
    convertedOffset = 0;
    SRC_DATA data{};
    data.data_in = mono.data() + monoOffset;
    data.input_frames = static_cast<long>(mono.size() - monoOffset);
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size());
    data.src_ratio = ratio;
    data.end_of_input = inputDone ? 1 : 0;
    if (src_process(resampler, &data) != 0) {
      outputDone = true;
      converted.clear();
      return;
    }
    monoOffset += static_cast<size_t>(data.input_frames_used);
    converted.resize(static_cast<size_t>(data.output_frames_gen));
    if (inputDone && data.output_frames_gen == 0) outputDone = true;
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
  int error = 0;
  // The fastest sinc converter keeps the band that speech recognition uses
  // and costs far less than the decoder that follows it.
  d.resampler = src_new(SRC_SINC_FASTEST, 1, &error);
  if (!d.resampler) throw std::system_error(ENOMEM, std::generic_category(), src_strerror(error));
  d.ratio = static_cast<double>(sampleRate) / d.info.samplerate;
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
  while (written < out.size() && !d.outputDone) {
    if (d.convertedOffset == d.converted.size()) {
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
