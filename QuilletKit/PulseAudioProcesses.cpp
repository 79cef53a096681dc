// The sound server's audio processes: PulseAudio clients, with their
// source outputs telling which of them record. A mirror of both lists is
// kept from the server's change subscription, so reading is immediate and
// nothing is polled. Observers are called from a deferred call on the main
// context, never from inside libpulse's callbacks, and once per burst.
#include <pulse/glib-mainloop.h>
#include <pulse/pulseaudio.h>

#include <map>

#include "QuilletKit/AudioProcesses.hpp"

namespace quillet {

using namespace std::chrono_literals;

namespace {

// A server that went away (restarted, or not up yet) is tried again after
// this long, while someone still watches.
constexpr auto kReconnectDelay = 10s;

constexpr const char* kFlatpakIDProperty = "pipewire.access.portal.app_id";

const char* property(const pa_proplist* list, const char* key) { return list ? pa_proplist_gets(list, key) : nullptr; }

class PulseAudioProcesses : public AudioProcessList, public std::enable_shared_from_this<PulseAudioProcesses> {
 public:
  explicit PulseAudioProcesses(std::shared_ptr<MainContext> context) : context_(std::move(context)) {}
  ~PulseAudioProcesses() override { disconnect(); }

  std::vector<AudioProcess> processes() override {
    std::vector<AudioProcess> out;
    for (const auto& [index, client] : clients_) out.push_back({index, client.bundleID, recording(index)});
    return out;
  }

  std::unique_ptr<Registration> observeList(std::function<void()> changed) override {
    auto registration = add(listObservers_, std::move(changed), 0);
    if (!context_pa_) connect();
    return registration;
  }

  std::unique_ptr<Registration> observeInput(uint32_t process, std::function<void()> changed) override {
    return add(inputObservers_, std::move(changed), process);
  }

 private:
  struct Client {
    std::optional<std::string> bundleID;
  };
  struct SourceOutput {
    uint32_t client = PA_INVALID_INDEX;
    bool running = false;  // uncorked and not one of our own streams
  };
  struct Observer {
    uint32_t process;
    std::function<void()> changed;
  };
  using Observers = std::map<uint64_t, Observer>;

  class Token : public Registration {
   public:
    Token(std::weak_ptr<PulseAudioProcesses> owner, Observers* from, uint64_t id)
        : owner_(std::move(owner)), from_(from), id_(id) {}
    ~Token() override {
      if (auto owner = owner_.lock()) owner->remove(*from_, id_);
    }

   private:
    std::weak_ptr<PulseAudioProcesses> owner_;
    Observers* from_;
    uint64_t id_;
  };

  std::unique_ptr<Registration> add(Observers& to, std::function<void()> changed, uint32_t process) {
    uint64_t id = nextObserver_++;
    to.emplace(id, Observer{process, std::move(changed)});
    return std::make_unique<Token>(weak_from_this(), &to, id);
  }

  void remove(Observers& from, uint64_t id) {
    from.erase(id);
    if (listObservers_.empty()) disconnect();
  }

  bool recording(uint32_t client) const {
    for (const auto& [index, output] : outputs_)
      if (output.client == client && output.running) return true;
    return false;
  }

  // ---- Connection ----

  void connect() {
    reconnect_.reset();
    loop_ = pa_glib_mainloop_new(g_main_context_default());
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Quillet");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "app.quillet.mac");
    context_pa_ = pa_context_new_with_proplist(pa_glib_mainloop_get_api(loop_), "Quillet", properties);
    pa_proplist_free(properties);
    if (!context_pa_) return disconnect();
    pa_context_set_state_callback(context_pa_, &PulseAudioProcesses::stateChanged, this);
    // Without a reachable server this fails at once or shortly after.
    if (pa_context_connect(context_pa_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) lost();
  }

  void disconnect() {
    reconnect_.reset();
    if (context_pa_) {
      pa_context_set_state_callback(context_pa_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_pa_, nullptr, nullptr);
      pa_context_disconnect(context_pa_);
      pa_context_unref(context_pa_);
      context_pa_ = nullptr;
    }
    if (loop_) {
      pa_glib_mainloop_free(loop_);
      loop_ = nullptr;
    }
    clients_.clear();
    outputs_.clear();
  }

  // Forgets what the server said and tries again later; libpulse is left
  // alone until its callback has returned.
  void lost() {
    clients_.clear();
    outputs_.clear();
    changed();
    std::weak_ptr<PulseAudioProcesses> weak = weak_from_this();
    reconnect_ = context_->defer([weak] {
      auto self = weak.lock();
      if (!self) return;
      self->disconnect();
      self->reconnect_ = self->context_->after(kReconnectDelay, [weak] {
        if (auto self = weak.lock(); self && !self->listObservers_.empty()) self->connect();
      });
    });
  }

  static void stateChanged(pa_context* c, void* data) {
    auto* self = static_cast<PulseAudioProcesses*>(data);
    switch (pa_context_get_state(c)) {
      case PA_CONTEXT_READY:
        pa_context_set_subscribe_callback(c, &PulseAudioProcesses::event, self);
        release(pa_context_subscribe(
            c, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
            nullptr, nullptr));
        release(pa_context_get_client_info_list(c, &PulseAudioProcesses::clientInfo, self));
        release(pa_context_get_source_output_info_list(c, &PulseAudioProcesses::outputInfo, self));
        break;
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        self->lost();
        break;
      default:
        break;
    }
  }

  static void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
  }

  // ---- The mirror ----

  static void event(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* data) {
    auto* self = static_cast<PulseAudioProcesses*>(data);
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
      if (removed) {
        self->clients_.erase(index);
        self->changed();
      } else {
        release(pa_context_get_client_info(c, index, &PulseAudioProcesses::clientInfo, self));
      }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
      if (removed) {
        self->outputs_.erase(index);
        self->changed();
      } else {
        release(pa_context_get_source_output_info(c, index, &PulseAudioProcesses::outputInfo, self));
      }
    }
  }

  static void clientInfo(pa_context*, const pa_client_info* info, int eol, void* data) {
    if (eol || !info) return;
    auto* self = static_cast<PulseAudioProcesses*>(data);
    self->clients_[info->index] = Client{clientBundleID(property(info->proplist, PA_PROP_APPLICATION_ID),
                                                        property(info->proplist, kFlatpakIDProperty),
                                                        property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY))};
    self->changed();
  }

  static void outputInfo(pa_context*, const pa_source_output_info* info, int eol, void* data) {
    if (eol || !info) return;
    auto* self = static_cast<PulseAudioProcesses*>(data);
    const char* id = property(info->proplist, PA_PROP_APPLICATION_ID);
    bool own = id && std::string_view(id) == "app.quillet.mac";
    self->outputs_[info->index] = SourceOutput{info->client, !info->corked && !own};
    self->changed();
  }

  // ---- Notification ----

  void changed() {
    if (flush_) return;
    std::weak_ptr<PulseAudioProcesses> weak = weak_from_this();
    flush_ = context_->defer([weak] {
      if (auto self = weak.lock()) self->flush();
    });
  }

  // Tells list observers when the clients changed, and input observers of
  // each client whose recording changed, since the last flush.
  void flush() {
    auto keepAlive = shared_from_this();
    auto pending = std::move(flush_);  // ends after this call; a new burst schedules anew
    std::map<uint32_t, std::optional<std::string>> clients;
    std::map<uint32_t, bool> inputs;
    for (const auto& process : processes()) {
      clients.emplace(process.id, process.bundleID);
      inputs.emplace(process.id, process.runningInput);
    }
    std::vector<uint32_t> inputChanged;
    for (const auto& [id, running] : inputs)
      if (auto before = reportedInputs_.find(id); before == reportedInputs_.end() ? running : before->second != running)
        inputChanged.push_back(id);
    bool listChanged = clients != reportedClients_;
    reportedClients_ = std::move(clients);
    reportedInputs_ = std::move(inputs);
    if (listChanged) call(listObservers_, std::nullopt);
    for (uint32_t id : inputChanged) call(inputObservers_, id);
  }

  // An observer may end any registration, so each is looked up afresh.
  void call(Observers& observers, std::optional<uint32_t> process) {
    std::vector<uint64_t> ids;
    for (const auto& [id, observer] : observers)
      if (!process || observer.process == *process) ids.push_back(id);
    for (uint64_t id : ids) {
      auto found = observers.find(id);
      if (found == observers.end()) continue;
      auto changed = found->second.changed;
      changed();
    }
  }

  std::shared_ptr<MainContext> context_;
  pa_glib_mainloop* loop_ = nullptr;
  pa_context* context_pa_ = nullptr;
  std::map<uint32_t, Client> clients_;
  std::map<uint32_t, SourceOutput> outputs_;
  std::map<uint32_t, std::optional<std::string>> reportedClients_;
  std::map<uint32_t, bool> reportedInputs_;
  Observers listObservers_;
  Observers inputObservers_;
  uint64_t nextObserver_ = 1;
  std::unique_ptr<Registration> flush_;
  std::unique_ptr<Registration> reconnect_;
};

}  // namespace

std::shared_ptr<AudioProcessList> pulseAudioProcesses(std::shared_ptr<MainContext> context) {
  return std::make_shared<PulseAudioProcesses>(std::move(context));
}

}  // namespace quillet
