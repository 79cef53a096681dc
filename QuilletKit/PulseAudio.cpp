// The sound-server seam on libpulse.
//
// Each stream and each watch has a connection of its own: a threaded main
// loop with one context. Only callbacks run on the loop's thread, and they
// never call our handlers: they post to the owner's SerialQueue, which reads
// the audio itself (peek, hand over, drop), so a handler that stops its own
// stream never meets the loop's lock. The peeked memory stays valid until
// the drop, which is what lets the tap hand out views without a copy.
#include <pulse/pulseaudio.h>

#include <atomic>
#include <optional>
#include <string>

#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/SoundServer.hpp"

namespace quillet {

namespace {

class Category : public std::error_category {
 public:
  const char* name() const noexcept override { return "pulseaudio"; }
  std::string message(int code) const override { return pa_strerror(code); }
};

constexpr const char* kApplicationName = "Quillet";
constexpr const char* kApplicationId = "app.quillet.mac";

using Kind = SoundServerError::Kind;

[[noreturn]] void fail(Kind kind, int code, const char* what) { throw SoundServerError(kind, code, what); }

void signalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void setApplication(pa_proplist* props) {
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kApplicationId);
}

// A threaded main loop with one connected context.
class Connection {
 public:
  Connection() = default;

  // Throws SoundServerError(unreachable) when no server answers.
  void connect() {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) fail(Kind::unreachable, PA_ERR_INTERNAL, "no main loop");
    pa_proplist* props = pa_proplist_new();
    setApplication(props);
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), kApplicationName, props);
    pa_proplist_free(props);
    if (!context_) fail(Kind::unreachable, PA_ERR_INTERNAL, "no context");
    pa_context_set_state_callback(
        context_, [](pa_context*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
    // Never spawn a server of our own: no server means no capture.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      fail(Kind::unreachable, pa_context_errno(context_), "cannot connect to the sound server");
    if (pa_threaded_mainloop_start(loop_) < 0) fail(Kind::unreachable, PA_ERR_INTERNAL, "no loop thread");
    running_ = true;
    Lock lock(*this);
    wait([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
    if (pa_context_get_state(context_) != PA_CONTEXT_READY)
      fail(Kind::unreachable, errorCode(PA_ERR_TIMEOUT), "the sound server did not answer");
  }

  // The loop stops first, so that no callback runs while the rest goes.
  ~Connection() {
    stopLoop();
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_) pa_threaded_mainloop_free(loop_);
  }

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  class Lock {
   public:
    explicit Lock(Connection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // Ends the loop's thread; nothing of this connection runs afterwards.
  // Never with the lock held.
  void stopLoop() {
    if (loop_ && running_) pa_threaded_mainloop_stop(loop_);
    running_ = false;
  }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  // The context's error, or `fallback` when it names none.
  int errorCode(int fallback) const {
    int code = pa_context_errno(context_);
    return code != PA_OK ? code : fallback;
  }

  // With the lock held: waits until `done()`, the context fails, or the
  // server has been silent for kServerTimeout. Callbacks signal the loop.
  template <typename Done>
  bool wait(Done done) {
    struct Timer {
      pa_threaded_mainloop* loop;
      bool expired = false;
    } timer{loop_};
    auto usec = static_cast<pa_usec_t>(std::chrono::microseconds(live::kServerTimeout).count());
    pa_time_event* event = pa_context_rttime_new(
        context_, pa_rtclock_now() + usec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* t) {
          auto* self = static_cast<Timer*>(t);
          self->expired = true;
          signalLoop(self->loop);
        },
        &timer);
    while (!done() && !timer.expired && isGood()) pa_threaded_mainloop_wait(loop_);
    if (event) pa_threaded_mainloop_get_api(loop_)->time_free(event);
    return done();
  }

  // Runs an introspection operation to its end (lock held).
  bool complete(pa_operation* op) {
    if (!op) return false;
    bool done = wait([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
  }

  bool serverInfo(std::string& defaultSink, std::string& defaultSource) {
    struct Reply {
      pa_threaded_mainloop* loop;
      std::string sink, source;
      bool got = false;
    } reply{loop_, {}, {}};
    auto op = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* r) {
          auto* reply = static_cast<Reply*>(r);
          if (info) {
            reply->got = true;
            if (info->default_sink_name) reply->sink = info->default_sink_name;
            if (info->default_source_name) reply->source = info->default_source_name;
          }
          signalLoop(reply->loop);
        },
        &reply);
    if (!complete(op) || !reply.got) return false;
    defaultSink = reply.sink;
    defaultSource = reply.source;
    return true;
  }

 private:
  bool isGood() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool running_ = false;
};

// What a device offers: the source to record from and its format.
struct Device {
  std::string source;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

// The source that records a device: a source itself, or a sink's monitor.
const char* recordedSource(const pa_source_info* info) { return info->name; }
const char* recordedSource(const pa_sink_info* info) { return info->monitor_source_name; }

struct DeviceReply {
  pa_threaded_mainloop* loop;
  std::optional<Device> device;
};

// The first device of an information reply, for either kind of device.
template <typename Info>
void keepFirst(pa_context*, const Info* info, int, void* r) {
  auto* reply = static_cast<DeviceReply*>(r);
  if (info && !reply->device) {
    Device& d = reply->device.emplace();
    const char* source = recordedSource(info);
    d.source = source ? source : "";
    d.spec = info->sample_spec;
    d.map = info->channel_map;
  }
  signalLoop(reply->loop);
}

std::optional<Device> findDevice(Connection& c, CaptureDevice which) {
  std::string sink, source;
  if (!c.serverInfo(sink, source)) fail(Kind::unreachable, c.errorCode(PA_ERR_TIMEOUT), "no server information");
  DeviceReply reply{c.loop(), {}};
  pa_operation* op = nullptr;
  if (which == CaptureDevice::defaultSource) {
    if (source.empty()) return std::nullopt;
    op = pa_context_get_source_info_by_name(c.context(), source.c_str(), keepFirst<pa_source_info>, &reply);
  } else {
    if (sink.empty()) return std::nullopt;
    op = pa_context_get_sink_info_by_name(c.context(), sink.c_str(), keepFirst<pa_sink_info>, &reply);
  }
  c.complete(op);
  if (reply.device && reply.device->source.empty()) return std::nullopt;
  return reply.device;
}


std::unique_ptr<Connection> connect() {
  auto c = std::make_unique<Connection>();
  c->connect();
  return c;
}

// ---- Record streams ----

// What a stream's callbacks and the owner's queue share. It goes when the
// stream does, or, when that happens inside a chunk handler, when the drain
// that called the handler returns.
struct StreamCore : std::enable_shared_from_this<StreamCore> {
  StreamCore(SerialQueue& q, ChunkHandler h) : queue(q), onChunk(std::move(h)) {}

  ~StreamCore() {
    if (!connection) return;
    connection->stopLoop();
    if (stream) {
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
  }

  // Loop thread, lock held: one drain at a time is waiting on the queue.
  static void readable(pa_stream*, size_t, void* core) {
    auto* self = static_cast<StreamCore*>(core);
    if (self->drainQueued.exchange(true)) return;
    self->queue.async([weak = self->weak_from_this()] {
      if (auto core = weak.lock()) core->drain();
    });
  }

  // On the queue: hands every chunk waiting to the handler. The chunk is
  // dropped only after the handler returns, so its memory stays put.
  void drain() {
    drainQueued = false;
    while (!closed) {
      const void* data = nullptr;
      size_t bytes = 0;
      {
        Connection::Lock lock(*connection);
        if (pa_stream_get_state(stream) != PA_STREAM_READY || pa_stream_readable_size(stream) == 0) return;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      }
      // A hole (data absent) is skipped: there is nothing to hand over.
      if (data) onChunk(format, std::span<const float>(static_cast<const float*>(data), bytes / sizeof(float)));
      if (closed) return;
      Connection::Lock lock(*connection);
      pa_stream_drop(stream);
    }
  }

  std::unique_ptr<Connection> connection;
  pa_stream* stream = nullptr;
  SerialQueue& queue;
  ChunkHandler onChunk;
  AudioFormat format;
  std::atomic<bool> drainQueued = false;
  bool closed = false;  // the queue's alone
};

// Marks a core closed on its own queue: once this returns, none of its
// handlers runs again, whatever the loop thread has queued.
template <class Core>
void closeOnQueue(Core& core) {
  core.queue.sync([&core] { core.closed = true; });
}

class PulseRecordStream : public RecordStream {
 public:
  explicit PulseRecordStream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
  ~PulseRecordStream() override { closeOnQueue(*core_); }
  AudioFormat format() const override { return core_->format; }

 private:
  std::shared_ptr<StreamCore> core_;
};

pa_channel_map channelMap(const Device& device, bool mono) {
  pa_channel_map map{};
  if (mono) pa_channel_map_init_mono(&map);
  else if (pa_channel_map_valid(&device.map) && device.map.channels == device.spec.channels) map = device.map;
  else pa_channel_map_init_extend(&map, device.spec.channels, PA_CHANNEL_MAP_DEFAULT);
  return map;
}

std::unique_ptr<RecordStream> openRecord(const RecordRequest& request, SerialQueue& queue, ChunkHandler onChunk) {
  auto core = std::make_shared<StreamCore>(queue, std::move(onChunk));
  core->connection = connect();
  Connection& c = *core->connection;
  Connection::Lock lock(c);
  auto device = findDevice(c, request.device);
  if (!device) fail(Kind::noDevice, PA_ERR_NOENTITY, "no default device");
  auto format = AudioFormat::make(device->spec.rate, request.mono ? 1 : device->spec.channels);
  if (!format || device->spec.channels == 0) fail(Kind::badFormat, PA_ERR_NOTSUPPORTED, "the device has no format");
  core->format = *format;
  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, device->spec.rate, static_cast<uint8_t>(format->channelCount)};
  pa_channel_map map = channelMap(*device, request.mono);
  if (!pa_sample_spec_valid(&spec)) fail(Kind::badFormat, PA_ERR_NOTSUPPORTED, "the device has no format");

  pa_proplist* props = pa_proplist_new();
  setApplication(props);
  pa_proplist_sets(props, PA_PROP_MEDIA_NAME, request.streamName.c_str());
  core->stream = pa_stream_new_with_proplist(c.context(), request.streamName.c_str(), &spec, &map, props);
  pa_proplist_free(props);
  if (!core->stream) fail(Kind::noStream, c.errorCode(PA_ERR_INTERNAL), "no stream");
  pa_stream_set_state_callback(
      core->stream, [](pa_stream*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); }, c.loop());
  pa_stream_set_read_callback(core->stream, &StreamCore::readable, core.get());

  // Chunks of about one block keep the latency of live recognition low; the
  // server's default would gather two seconds at a time.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(live::kBlockFrames * pa_frame_size(&spec));
  // A monitor stream stays on its sink: a change of the default sink is
  // followed by a new stream, not by the server moving this one.
  auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY |
      (request.device == CaptureDevice::defaultSinkMonitor ? PA_STREAM_DONT_MOVE : PA_STREAM_NOFLAGS));
  if (pa_stream_connect_record(core->stream, device->source.c_str(), &attr, flags) < 0)
    fail(Kind::refused, c.errorCode(PA_ERR_INTERNAL), "the server refused the stream");
  auto state = [&core] { return pa_stream_get_state(core->stream); };
  c.wait([&] { return state() != PA_STREAM_CREATING && state() != PA_STREAM_UNCONNECTED; });
  if (state() != PA_STREAM_READY) fail(Kind::refused, c.errorCode(PA_ERR_TIMEOUT), "the stream did not start");
  return std::make_unique<PulseRecordStream>(std::move(core));
}

// ---- The watch of the default sink ----

struct WatchCore : std::enable_shared_from_this<WatchCore> {
  WatchCore(SerialQueue& q, std::function<void()> h) : queue(q), onChange(std::move(h)) {}
  ~WatchCore() {
    if (!connection) return;
    connection->stopLoop();
    pa_context_set_subscribe_callback(connection->context(), nullptr, nullptr);
  }

  // Loop thread: the server changed something; ask whether the default
  // sink is another one.
  static void changed(pa_context* context, pa_subscription_event_type_t type, uint32_t, void* core) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
    pa_operation* op = pa_context_get_server_info(context, &WatchCore::serverInfo, core);
    if (op) pa_operation_unref(op);
  }

  static void serverInfo(pa_context*, const pa_server_info* info, void* core) {
    auto* self = static_cast<WatchCore*>(core);
    if (!info) return;
    std::string sink = info->default_sink_name ? info->default_sink_name : "";
    if (sink == self->sink) return;
    self->sink = sink;
    self->queue.async([weak = self->weak_from_this()] {
      auto core = weak.lock();
      if (core && !core->closed) core->onChange();
    });
  }

  std::unique_ptr<Connection> connection;
  SerialQueue& queue;
  std::function<void()> onChange;
  std::string sink;     // the loop thread's alone once watching
  bool closed = false;  // the queue's alone
};

class PulseDeviceWatch : public DeviceWatch {
 public:
  explicit PulseDeviceWatch(std::shared_ptr<WatchCore> core) : core_(std::move(core)) {}
  ~PulseDeviceWatch() override { closeOnQueue(*core_); }

 private:
  std::shared_ptr<WatchCore> core_;
};

std::unique_ptr<DeviceWatch> openWatch(SerialQueue& queue, std::function<void()> onChange) {
  auto core = std::make_shared<WatchCore>(queue, std::move(onChange));
  core->connection = connect();
  Connection& c = *core->connection;
  Connection::Lock lock(c);
  std::string source;
  if (!c.serverInfo(core->sink, source)) return nullptr;
  pa_context_set_subscribe_callback(c.context(), &WatchCore::changed, core.get());
  struct Reply {
    pa_threaded_mainloop* loop;
    int success = -1;
  } reply{c.loop()};
  pa_operation* op = pa_context_subscribe(
      c.context(), PA_SUBSCRIPTION_MASK_SERVER,
      [](pa_context*, int success, void* r) {
        auto* reply = static_cast<Reply*>(r);
        reply->success = success;
        signalLoop(reply->loop);
      },
      &reply);
  if (!c.complete(op) || reply.success != 1) return nullptr;
  return std::make_unique<PulseDeviceWatch>(std::move(core));
}

class PulseSoundServer : public SoundServer {
 public:
  std::unique_ptr<RecordStream> record(const RecordRequest& request, SerialQueue& queue,
                                       ChunkHandler onChunk) override {
    return openRecord(request, queue, std::move(onChunk));
  }
  std::unique_ptr<DeviceWatch> watchDefaultSink(SerialQueue& queue, std::function<void()> onChange) override {
    try {
      return openWatch(queue, std::move(onChange));
    } catch (const SoundServerError&) {
      return nullptr;
    }
  }
};

}  // namespace

const std::error_category& soundServerCategory() {
  static const Category category;
  return category;
}

std::shared_ptr<SoundServer> pulseSoundServer() { return std::make_shared<PulseSoundServer>(); }

}  // namespace quillet
