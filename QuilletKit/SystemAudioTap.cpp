#include "QuilletKit/SystemAudioTap.hpp"

#include <atomic>

#include "QuilletKit/Localization.hpp"
#include "QuilletKit/MicHub.hpp"
#include "QuilletKit/SerialQueue.hpp"
#include "QuilletKit/SoundServer.hpp"
#include "QuilletKit/Uuid.hpp"

namespace quillet {

TapError TapError::status(int32_t code) {
  std::string text = tr("Erro do Core Audio (%d).");
  if (auto at = text.find("%d"); at != std::string::npos) text.replace(at, 2, std::to_string(code));
  return {Kind::status, code, text};
}

TapError TapError::create() {
  return {Kind::create, 0,
          tr("Não consegui capturar o áudio do Mac. Libere em Ajustes do Sistema › Privacidade › Gravação de Áudio.")};
}

TapError TapError::noOutput() { return {Kind::noOutput, 0, tr("Nenhuma saída de áudio encontrada.")}; }

TapError TapError::format() { return {Kind::format, 0, tr("Formato de áudio do sistema não suportado.")}; }

namespace {

TapError tapError(const SoundServerError& e) {
  using Kind = SoundServerError::Kind;
  switch (e.kind()) {
    case Kind::noDevice: return TapError::noOutput();
    case Kind::badFormat: return TapError::format();
    case Kind::noStream: return TapError::create();
    case Kind::unreachable:
    case Kind::refused: break;
  }
  // libpulse's calls return its error numbers negated.
  return TapError::status(-e.code().value());
}

}  // namespace

// Everything but the handlers is touched on the queue only; the queue is the
// last member, so it is the first to go and nothing runs on it afterwards.
struct SystemAudioTap::State : std::enable_shared_from_this<State> {
  State(std::shared_ptr<SoundServer> s, BufferHandler h, LevelHandler l)
      : server(std::move(s)), handler(std::move(h)), level(std::move(l)) {}
  ~State() { stop(); }

  void start() {
    stop();
    wanted = true;
    RecordRequest request{CaptureDevice::defaultSinkMonitor, true, "app.quillet.tap." + Uuid::random().string()};
    try {
      stream = server->record(request, queue, [this](const AudioFormat& format, std::span<const float> chunk) {
        cycle(format, chunk);
      });
    } catch (const SoundServerError& e) {
      throw tapError(e);
    }
    running = true;
    // The watch holds the tap weakly; a change restarts it from a task of
    // its own, as a client's start or stop would.
    watch = server->watchDefaultSink(queue, [weak = weak_from_this()] {
      if (auto self = weak.lock())
        self->queue.async([weak] {
          if (auto self = weak.lock()) self->restart();
        });
    });
  }

  void stop() {
    watch.reset();
    stream.reset();
    running = false;
  }

  void restart() {
    if (!wanted) return;
    try {
      start();
    } catch (...) {
      // Silent: the tap stays stopped until the client starts it again.
    }
  }

  // Mono: the interleaved chunk is channel 0 as it is.
  void cycle(const AudioFormat& format, std::span<const float> chunk) {
    if (format.channelCount != 1 || chunk.empty()) return;
    const float* samples[] = {chunk.data()};
    auto view = AudioBuffer::viewing(format, samples, static_cast<uint32_t>(chunk.size()));
    if (!view) return;
    handler(*view);
    if (level) level(MicHub::level(*view));
  }

  std::shared_ptr<SoundServer> server;
  BufferHandler handler;
  LevelHandler level;
  std::unique_ptr<RecordStream> stream;
  std::unique_ptr<DeviceWatch> watch;
  bool wanted = false;  // between a client's start and stop
  std::atomic<bool> running = false;
  SerialQueue queue{"quillet-tap"};
};

SystemAudioTap::SystemAudioTap(BufferHandler handler, LevelHandler level)
    : SystemAudioTap(pulseSoundServer(), std::move(handler), std::move(level)) {}

SystemAudioTap::SystemAudioTap(std::shared_ptr<SoundServer> server, BufferHandler handler, LevelHandler level)
    : state_(std::make_shared<State>(std::move(server), std::move(handler), std::move(level))) {}

SystemAudioTap::~SystemAudioTap() { stop(); }

void SystemAudioTap::start() {
  state_->queue.sync([this] { state_->start(); });
}

void SystemAudioTap::stop() {
  state_->queue.sync([this] {
    state_->wanted = false;
    state_->stop();
  });
}

bool SystemAudioTap::isRunning() const { return state_->running; }

}  // namespace quillet
