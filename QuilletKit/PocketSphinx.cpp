#include "QuilletKit/PocketSphinx.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "QuilletKit/Paths.hpp"
#include "QuilletKit/SpeechError.hpp"

namespace quillet {

namespace fs = std::filesystem;

// ---- Where models live ----

namespace sphinx {

static const fs::path kDebianModel = "/usr/share/pocketsphinx/model/en-us";

fs::path userModelsFolder() { return paths::dataHome() / "app.quillet.mac" / "speech"; }

fs::path modelFolder(const std::string& identifier) {
  std::string canonical = canonicalLocale(identifier);
  return userModelsFolder() / (canonical.empty() ? identifier : canonical);
}

std::string canonicalLocale(const std::string& identifier) {
  std::string tag = identifier;
  std::replace(tag.begin(), tag.end(), '_', '-');
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
  if (U_FAILURE(status) || locale.isBogus() || *locale.getLanguage() == '\0') return {};
  std::string canonical = locale.toLanguageTag<std::string>(status);
  return U_FAILURE(status) ? std::string() : canonical;
}

static bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

static bool isComplete(const SphinxModel& m) {
  return isFile(m.acoustic / "mdef") && isFile(m.languageModel) && isFile(m.dictionary);
}

fs::path folder(const SphinxModel& m) { return m.acoustic.parent_path(); }

static std::vector<SphinxModel> userModels() {
  std::vector<SphinxModel> models;
  std::error_code ec;
  for (fs::directory_iterator it(userModelsFolder(), ec), end; !ec && it != end; it.increment(ec)) {
    std::string locale = canonicalLocale(it->path().filename().string());
    if (locale.empty()) continue;
    SphinxModel m{locale, it->path() / "acoustic", it->path() / "language.lm.bin", it->path() / "words.dict"};
    if (isComplete(m)) models.push_back(std::move(m));
  }
  // Folder listings come in no particular order; the answer should not vary.
  std::sort(models.begin(), models.end(),
            [](const SphinxModel& a, const SphinxModel& b) { return a.acoustic < b.acoustic; });
  return models;
}

std::vector<SphinxModel> installedModels() {
  std::vector<SphinxModel> models;
  auto add = [&models](SphinxModel m) {
    for (const auto& known : models)
      if (known.locale == m.locale) return;
    models.push_back(std::move(m));
  };
  for (auto& m : userModels()) add(std::move(m));
  SphinxModel debian{"en-US", kDebianModel / "en-us", kDebianModel / "en-us.lm.bin",
                     kDebianModel / "cmudict-en-us.dict"};
  if (isComplete(debian)) add(std::move(debian));
  return models;
}

std::optional<SphinxModel> model(const std::string& identifier) {
  std::string wanted = canonicalLocale(identifier);
  if (wanted.empty()) return std::nullopt;
  auto models = installedModels();
  for (const auto& m : models)
    if (m.locale == wanted) return m;
  if (wanted.find('-') != std::string::npos) return std::nullopt;
  for (const auto& m : models)
    if (m.locale.substr(0, m.locale.find('-')) == wanted) return m;
  return std::nullopt;
}

}  // namespace sphinx

// ---- Decoder: one loaded model ----

namespace {

constexpr size_t kBlockSamples = 2048;  // what the engine's own programs feed at a time

// How long a trial load of an acoustic model in a child may take (it takes
// about a second), and how often the parent looks whether it has ended.
constexpr std::chrono::seconds kTrialLimit{30};
constexpr std::chrono::milliseconds kTrialPoll{20};

void silenceEngineLog() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

std::string modelKey(const SphinxModel& m) {
  return m.acoustic.string() + '\n' + m.languageModel.string() + '\n' + m.dictionary.string();
}

// Size and modification time of every file of a model: a model repaired or
// replaced on disk is checked again.
std::string modelStamp(const SphinxModel& m) {
  std::vector<fs::path> files{m.languageModel, m.dictionary};
  std::error_code ec;
  for (fs::directory_iterator it(m.acoustic, ec), end; !ec && it != end; it.increment(ec)) files.push_back(it->path());
  std::sort(files.begin(), files.end());
  std::string stamp;
  for (const auto& file : files) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) continue;
    stamp += file.string() + ' ' + std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
             std::to_string(st.st_mtim.tv_nsec) + '\n';
  }
  return stamp;
}

cmd_ln_t* engineConfig(const SphinxModel& m) {
  return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", m.acoustic.c_str(), "-lm", m.languageModel.c_str(), "-dict",
                     m.dictionary.c_str(), nullptr);
}

enum class Trial { loaded, failed, notTried };

// Reaps the child `pid` into `status` within `limit`; past it the child is
// killed and reaped, and false is returned, as when it cannot be waited for.
bool reapWithin(pid_t pid, std::chrono::steady_clock::duration limit, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return true;
    if (ended < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kTrialPoll);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

// Loads the model's acoustic part in a child process, where the engine may
// end the process on a damaged file (its loaders call exit) or crash on one.
// The dictionary and the language model, whose loaders report a damaged
// file by failing, are left out: they take most of the loading time.
Trial loadInChild(const SphinxModel& m) {
  silenceEngineLog();
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return Trial::notTried;
  if (pid == 0) {
    // A trial outlives no parent, even one killed outright.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    // Output that the parent had buffered must not leave a second time
    // through the child, nor may the parent's exit handlers run here: the
    // handler registered last runs first and ends the child at once.
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; null >= 0 && fd < 3; ++fd) ::dup2(null, fd);
    std::atexit([] { ::_exit(1); });
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", m.acoustic.c_str(), "-dict", "/dev/null", nullptr);
    ::_exit(config && ps_init(config) ? 0 : 1);
  }
  // The child of a process with other threads inherits every lock one of
  // them held at the fork, never to be released: a child that outlives the
  // limit is taken to be stuck on one, and the trial as not made.
  int status = 0;
  if (!reapWithin(pid, kTrialLimit, status)) return Trial::notTried;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Trial::loaded : Trial::failed;
}

bool isWord(const char* word) { return word && *word != '<' && *word != '['; }

class Decoder {
 public:
  explicit Decoder(const SphinxModel& model) {
    silenceEngineLog();
    config_ = engineConfig(model);
    if (config_) ps_ = ps_init(config_);
    if (!ps_) {
      if (config_) cmd_ln_free_r(config_);
      throw SpeechError::damagedModel(sphinx::folder(model).string());
    }
    sampleRate_ = static_cast<int>(cmd_ln_float32_r(config_, "-samprate"));
    frameRate_ = cmd_ln_int32_r(config_, "-frate");
    const cmn_t* cmn = ps_get_feat(ps_)->cmn_struct;
    initialMean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
    initialSum_.assign(cmn->sum, cmn->sum + cmn->veclen);
    initialFrames_ = cmn->nframe;
  }
  ~Decoder() {
    ps_free(ps_);
    cmd_ln_free_r(config_);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Cepstral mean normalisation adapts to the channel as audio goes by;
  // putting back the state of a freshly loaded model makes every stream
  // start as if the model had just been loaded.
  void startStream() {
    ps_start_stream(ps_);
    cmn_t* cmn = ps_get_feat(ps_)->cmn_struct;
    std::copy(initialMean_.begin(), initialMean_.end(), cmn->cmn_mean);
    std::copy(initialSum_.begin(), initialSum_.end(), cmn->sum);
    cmn->nframe = initialFrames_;
  }

  ps_decoder_t* ps() const { return ps_; }
  int sampleRate() const { return sampleRate_; }
  int frameRate() const { return frameRate_; }

 private:
  cmd_ln_t* config_ = nullptr;
  ps_decoder_t* ps_ = nullptr;
  int sampleRate_ = 16000;
  int frameRate_ = 100;
  std::vector<mfcc_t> initialMean_, initialSum_;
  int32 initialFrames_ = 0;
};

}  // namespace

struct PocketSphinxBackend::Pool {
  std::mutex mutex;
  std::mutex trials;  // held through a trial load, so that only one child is forked at a time
  std::map<std::string, std::unique_ptr<Decoder>> idle;
  std::map<std::string, std::string> loaded;  // model key → stamp of the files that loaded in a child

  bool hasLoaded(const std::string& key, const std::string& stamp) {
    std::lock_guard lock(mutex);
    auto it = loaded.find(key);
    return it != loaded.end() && it->second == stamp;
  }
  void markLoaded(const std::string& key, std::string stamp) {
    std::lock_guard lock(mutex);
    loaded[key] = std::move(stamp);
  }

  std::unique_ptr<Decoder> take(const std::string& key) {
    std::lock_guard lock(mutex);
    auto it = idle.find(key);
    if (it == idle.end()) return nullptr;
    auto decoder = std::move(it->second);
    idle.erase(it);
    return decoder;
  }
  // Keeps one idle decoder per model; a second one is dropped.
  void give(const std::string& key, std::unique_ptr<Decoder>& decoder) {
    std::lock_guard lock(mutex);
    if (!idle.contains(key)) idle.emplace(key, std::move(decoder));
  }
};

namespace {

class Recognizer : public SpeechRecognizer {
 public:
  Recognizer(std::unique_ptr<Decoder> decoder, std::weak_ptr<PocketSphinxBackend::Pool> pool,
             std::string key, bool progressive, double maxStretchSeconds, SpeechResultHandler onResult)
      : decoder_(std::move(decoder)),
        pool_(std::move(pool)),
        key_(std::move(key)),
        progressive_(progressive),
        onResult_(std::move(onResult)),
        maxStretch_(static_cast<int64_t>(maxStretchSeconds * decoder_->sampleRate())) {
    decoder_->startStream();
    ps_start_utt(ps());
    pending_.reserve(kBlockSamples);
  }

  ~Recognizer() override {
    if (!finished_) ps_end_utt(ps());
    if (auto pool = pool_.lock()) pool->give(key_, decoder_);
  }

  int sampleRate() const override { return decoder_->sampleRate(); }

  // Audio goes to the decoder in blocks of the same size whatever the
  // caller's chunks, so that results do not depend on how it was cut.
  void feed(std::span<const int16_t> samples) override {
    if (finished_) return;
    while (!samples.empty()) {
      size_t n = std::min(samples.size(), kBlockSamples - pending_.size());
      pending_.insert(pending_.end(), samples.begin(), samples.begin() + static_cast<ptrdiff_t>(n));
      samples = samples.subspan(n);
      if (pending_.size() == kBlockSamples) {
        process(pending_);
        pending_.clear();
      }
    }
  }

  void finish() override {
    if (finished_) return;
    if (!pending_.empty()) process(pending_);
    pending_.clear();
    ps_end_utt(ps());
    finished_ = true;
    if (inSpeech_) report(fed_);
  }

 private:
  ps_decoder_t* ps() const { return decoder_->ps(); }
  double seconds(int64_t samples) const { return static_cast<double>(samples) / decoder_->sampleRate(); }

  void process(const std::vector<int16_t>& block) {
    ps_process_raw(ps(), block.data(), block.size(), FALSE, FALSE);
    fed_ += static_cast<int64_t>(block.size());
    bool speech = ps_get_in_speech(ps()) != 0;
    if (speech && !inSpeech_) {
      inSpeech_ = true;
      stretchStart_ = fed_;
    }
    if (inSpeech_ && !speech) {
      // The detector turned to silence somewhere inside this block.
      endStretch(fed_ - static_cast<int64_t>(block.size()) / 2);
    } else if (inSpeech_ && fed_ - stretchStart_ >= maxStretch_) {
      endStretch(fed_);
    } else if (inSpeech_ && progressive_) {
      reportVolatile();
    }
  }

  void endStretch(int64_t endSample) {
    ps_end_utt(ps());
    report(endSample);
    ps_start_utt(ps());
  }

  // The stretch's frames are contiguous in time and end at `endSample`, so
  // its first frame lies its frame count before that; word times are then
  // offsets from the first frame.
  void report(int64_t endSample) {
    inSpeech_ = false;
    lastVolatile_.clear();
    const double frameRate = decoder_->frameRate();
    const double end = seconds(endSample);
    const double origin = std::max(0.0, end - ps_get_n_frames(ps()) / frameRate);
    const char* hyp = ps_get_hyp(ps(), nullptr);
    SpeechResult result{hyp ? hyp : "", origin, end, true};
    int base = -1, first = -1, last = -1;
    for (ps_seg_t* seg = ps_seg_iter(ps()); seg; seg = ps_seg_next(seg)) {
      int sf = 0, ef = 0;
      ps_seg_frames(seg, &sf, &ef);
      if (base < 0) base = sf;
      if (!isWord(ps_seg_word(seg))) continue;
      if (first < 0) first = sf;
      last = ef;
    }
    if (first >= 0) {
      result.start = std::min(end, origin + (first - base) / frameRate);
      result.end = std::clamp(origin + (last + 1 - base) / frameRate, result.start, end);
    }
    onResult_(result);
  }

  void reportVolatile() {
    const char* hyp = ps_get_hyp(ps(), nullptr);
    std::string text = hyp ? hyp : "";
    if (text == lastVolatile_) return;
    lastVolatile_ = text;
    const double end = seconds(fed_);
    const double start = std::max(0.0, end - ps_get_n_frames(ps()) / static_cast<double>(decoder_->frameRate()));
    onResult_(SpeechResult{std::move(text), start, end, false});
  }

  std::unique_ptr<Decoder> decoder_;
  std::weak_ptr<PocketSphinxBackend::Pool> pool_;
  std::string key_;
  bool progressive_;
  SpeechResultHandler onResult_;
  int64_t maxStretch_;
  std::vector<int16_t> pending_;
  int64_t fed_ = 0;
  int64_t stretchStart_ = 0;
  bool inSpeech_ = false;
  bool finished_ = false;
  std::string lastVolatile_;
};

}  // namespace

// ---- Backend ----

PocketSphinxBackend::PocketSphinxBackend(double maxStretchSeconds)
    : pool_(std::make_shared<Pool>()), maxStretchSeconds_(maxStretchSeconds) {}
PocketSphinxBackend::~PocketSphinxBackend() = default;

std::optional<std::string> PocketSphinxBackend::supportedLocale(const std::string& identifier) {
  auto m = sphinx::model(identifier);
  if (!m) return std::nullopt;
  return m->locale;
}

std::vector<std::string> PocketSphinxBackend::installedLocales() {
  std::vector<std::string> locales;
  for (const auto& m : sphinx::installedModels()) locales.push_back(m.locale);
  return locales;
}

std::unique_ptr<AssetInstallation> PocketSphinxBackend::installationRequest(const std::string&) {
  return nullptr;
}

// A failed trial is not remembered: the next call tries again, so a model
// that is being copied into place is taken once it is whole.
// Trials take turns: a side that waits for another's trial of the same model
// finds it loaded, and no fork happens while this backend forks already. A
// trial that got stuck is made once more before the engine counts as absent.
static void verify(PocketSphinxBackend::Pool& pool, const SphinxModel& m) {
  std::lock_guard turn(pool.trials);
  std::string key = modelKey(m), stamp = modelStamp(m);
  if (pool.hasLoaded(key, stamp)) return;
  Trial trial = loadInChild(m);
  if (trial == Trial::notTried) trial = loadInChild(m);
  switch (trial) {
    case Trial::loaded: return pool.markLoaded(key, std::move(stamp));
    case Trial::failed: throw SpeechError::damagedModel(sphinx::folder(m).string());
    case Trial::notTried: throw SpeechError::unavailable();
  }
}

void PocketSphinxBackend::verifyModel(const std::string& locale) {
  if (auto m = sphinx::model(locale)) verify(*pool_, *m);
}

std::unique_ptr<SpeechRecognizer> PocketSphinxBackend::recognizer(const std::string& locale,
                                                                  SpeechPreset preset,
                                                                  SpeechResultHandler onResult) {
  auto m = sphinx::model(locale);
  if (!m) throw SpeechError::unsupportedLocale(locale);
  std::string key = modelKey(*m);
  auto decoder = pool_->take(key);
  if (!decoder) {
    verify(*pool_, *m);
    decoder = std::make_unique<Decoder>(*m);
  }
  return std::make_unique<Recognizer>(std::move(decoder), pool_, std::move(key),
                                      preset == SpeechPreset::progressiveTranscription, maxStretchSeconds_,
                                      std::move(onResult));
}

}  // namespace quillet
