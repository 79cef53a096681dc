#include "QuilletKit/HTTP.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <mutex>

#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/Localization.hpp"

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;

// The process-wide session. libcurl's share interface holds the DNS and TLS
// session caches. Its connection cache is documented as unsafe between
// threads, so idle connections live instead in the caches of pooled multi
// handles, each used by one transfer at a time.
class Session {
 public:
  static Session& shared() {
    // Never destroyed: a transfer may still run while the process exits.
    static Session* session = new Session;
    return *session;
  }

  CURLSH* share() const { return share_; }

  CURLM* checkOut() {
    {
      std::lock_guard lock(poolMutex_);
      if (!idle_.empty()) {
        CURLM* multi = idle_.back();
        idle_.pop_back();
        return multi;
      }
    }
    return curl_multi_init();
  }

  void checkIn(CURLM* multi) {
    {
      std::lock_guard lock(poolMutex_);
      if (idle_.size() < kMaxIdle) {
        idle_.push_back(multi);
        return;
      }
    }
    curl_multi_cleanup(multi);
  }

 private:
  static constexpr size_t kMaxIdle = 8;

  Session() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Session*>(self)->locks_[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Session*>(self)->locks_[data].unlock();
  }

  CURLSH* share_ = nullptr;
  std::mutex locks_[CURL_LOCK_DATA_LAST];
  std::mutex poolMutex_;
  std::vector<CURLM*> idle_;
};

std::string describe(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return tr("Não foi possível encontrar um servidor com o nome especificado.");
    case CURLE_COULDNT_CONNECT:
      return tr("Não foi possível conectar ao servidor.");
    case CURLE_OPERATION_TIMEDOUT:
      return tr("A solicitação expirou.");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      return tr("Ocorreu um erro de SSL e não é possível estabelecer uma conexão segura com o servidor.");
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return tr("A conexão de rede foi perdida.");
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return tr("URL não suportada.");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return tr("O servidor deu uma resposta inválida.");
    default:
      return tr("Ocorreu um erro de rede desconhecido.");
  }
}

// Only "scheme://host..." can be sent: libcurl would read "https:/v1" as the
// host "v1", and a key must not go to a server the user never named.
bool hasHost(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos || url.compare(colon, 3, "://") != 0) return false;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  char* host = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) return false;
  bool present = host && *host;
  curl_free(host);
  return present;
}

bool breaksHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

// What the callbacks of one transfer share with `perform`.
struct Transfer {
  CURL* easy = nullptr;
  const HTTP::BodyHandler* onBody = nullptr;
  std::stop_token stop;
  long status = -1;
  bool stoppedByReader = false;
  std::exception_ptr error;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t seen = 0;

  static size_t onWrite(char* data, size_t size, size_t count, void* self) {
    auto& t = *static_cast<Transfer*>(self);
    size_t length = size * count;
    t.lastActivity = Clock::now();
    if (t.status < 0) {
      long code = 0;
      curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
      t.status = code;
    }
    try {
      if (!(*t.onBody)(t.status, std::string_view(data, length))) {
        t.stoppedByReader = true;
        return 0;
      }
    } catch (...) {
      // Exceptions may not cross libcurl's C frames; rethrown after the transfer.
      t.error = std::current_exception();
      return 0;
    }
    return length;
  }

  static int onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& t = *static_cast<Transfer*>(self);
    if (downloaded + uploaded != t.seen) {
      t.seen = downloaded + uploaded;
      t.lastActivity = Clock::now();
    }
    return t.stop.stop_requested() ? 1 : 0;
  }
};

void configure(CURL* easy, const HTTPRequest& request, const HeaderList& headers, Transfer& transfer) {
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_SHARE, Session::shared().share());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.limits.idle.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.limits.whole.count()));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "Quillet");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 64L << 10);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
  if (request.method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
  }
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Transfer::onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, Transfer::onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
}

enum class Ending { done, stopped, timedOut };

// Drives one transfer on its own multi handle until it ends, the stop token
// fires (which also wakes the poll at once) or the line has been idle too long.
Ending drive(CURLM* multi, Transfer& transfer, std::chrono::milliseconds idle, CURLcode& result) {
  std::stop_callback wake(transfer.stop, [multi] { curl_multi_wakeup(multi); });
  for (;;) {
    int running = 0;
    curl_multi_perform(multi, &running);
    if (!running) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE) result = message->data.result;
      return Ending::done;
    }
    if (transfer.stop.stop_requested()) return Ending::stopped;
    auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - transfer.lastActivity);
    if (silent >= idle) return Ending::timedOut;
    auto wait = std::clamp<long long>((idle - silent).count(), 1, 1000);
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
  }
}

// curl says "unsupported protocol" both for a scheme it may not use and for a
// server whose answer does not look like HTTP at all (HTTP/0.9).
bool hasHTTPScheme(const std::string& url) {
  std::string scheme = url.substr(0, url.find(':'));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme == "http" || scheme == "https";
}

void describeReply(CURL* easy, long status, HTTPReply& reply) {
  reply.status = status;
  char* value = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &value) == CURLE_OK && value) reply.contentType = value;
  value = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &value) == CURLE_OK && value) reply.redirectURL = value;
}

}  // namespace

std::string HTTPRequest::header(std::string_view name) const {
  auto same = [](std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(x) == std::tolower(y); });
  };
  for (const auto& [key, value] : headers)
    if (same(key, name)) return value;
  return {};
}

long HTTP::perform(const HTTPRequest& request, const BodyHandler& onBody, std::stop_token stop, HTTPReply* reply) {
  if (!hasHost(request.url)) throw LLMError::unavailable(tr("URL não suportada."));
  HeaderList headers;
  for (const auto& [name, value] : request.headers) {
    if (breaksHeader(name) || breaksHeader(value))
      throw LLMError::unavailable(tr("Um cabeçalho da requisição contém uma quebra de linha."));
    headers.add(name + ": " + value);
  }
  // Large prompts would otherwise wait for a "100 Continue" first.
  headers.add("Expect:");

  Session& session = Session::shared();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) throw LLMError::unavailable(describe(CURLE_OUT_OF_MEMORY));
  Transfer transfer;
  transfer.easy = easy.get();
  transfer.onBody = &onBody;
  transfer.stop = stop;
  configure(easy.get(), request, headers, transfer);

  CURLM* multi = session.checkOut();
  curl_multi_add_handle(multi, easy.get());
  CURLcode result = CURLE_OK;
  Ending ending = drive(multi, transfer, request.limits.idle, result);
  curl_multi_remove_handle(multi, easy.get());
  session.checkIn(multi);

  if (transfer.error) std::rethrow_exception(transfer.error);
  if (ending == Ending::timedOut) throw LLMError::unavailable(describe(CURLE_OPERATION_TIMEDOUT));
  if (ending == Ending::stopped || transfer.stoppedByReader || stop.stop_requested()) {
    if (reply) describeReply(easy.get(), transfer.status, *reply);
    return transfer.status;
  }
  if (result == CURLE_UNSUPPORTED_PROTOCOL && hasHTTPScheme(request.url))
    throw LLMError::unavailable(tr("A resposta do servidor não foi entendida: não é HTTP."));
  if (result != CURLE_OK) throw LLMError::unavailable(describe(result));
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (reply) describeReply(easy.get(), status, *reply);
  return status;
}

}  // namespace quillet
