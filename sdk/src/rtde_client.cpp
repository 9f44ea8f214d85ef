// RtdeClient: one socket, one delivery thread. The delivery thread alone reads
// the socket: it answers waiting requests, hands status packets to their
// callbacks, assembles output packets on time and, when the controller goes
// away, reconnects and re-issues everything the user had set up.
#include "vemo_sdk/rtde_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "socket_util.h"
#include "vemo_sdk/wire.h"

namespace ryne {
namespace vemo_sdk {

using detail::Clock;
using nlohmann::json;

namespace {

struct Topic {
  bool to_controller = false;
  std::vector<std::string> names;
  double frequency = 1.0;
  int flags = 0;
  int remote = -1;  // the controller's channel on the current connection
  bool subscribed = false;
  bool published = false;
  RtdeClient::SubscribeCallback on_packet;  // guarded by callback_mu
  RtdeClient::PublishCallback on_output;    // guarded by callback_mu
  Clock::time_point next_due{};
  Clock::duration period() const {
    double f = frequency > 0.0 && frequency <= 1000.0 ? frequency : 1.0;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / f));
  }
};

struct Reply {
  bool done = false;
  int code = 0;
  json result;
};

// The answer never came: the connection is of no further use.
bool transportFailed(int code) {
  return code <= kSdkNotConnected && code >= kSdkProtocolError;
}

constexpr auto kBackoffMin = std::chrono::milliseconds(100);
constexpr auto kBackoffMax = std::chrono::milliseconds(1000);

// The client whose delivery thread this is, if it is one: tells a call made
// from inside a callback, which must neither wait for that thread nor send.
thread_local const void* t_delivering = nullptr;

}  // namespace

// Owned by the client and, while it runs, by the delivery thread too: a
// client destroyed from inside its own callback leaves the rest of the state
// to the thread, which frees it on its way out.
struct RtdeClient::Impl : std::enable_shared_from_this<RtdeClient::Impl> {
  // Lock order: callback_mu, then write_mu, then mu.
  std::recursive_mutex callback_mu;  // held while a callback runs
  std::mutex write_mu;               // one writer on the socket; fd closes under it
  std::mutex mu;
  std::condition_variable cv;

  int fd = -1;
  std::string host;
  int port = 0;
  bool have_credentials = false;
  std::string user, password;
  int timeout_ms = 5000;
  uint64_t next_id = 1;
  std::map<uint64_t, Reply> pending;
  std::vector<std::shared_ptr<Topic>> topics;  // index = channel handed out

  std::thread io;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sessions{0};  // connections made: the first and every reconnect
  int wake_fd = -1;
  wire::FrameReader reader;

  Impl() { wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~Impl() {
    // Normally the thread was joined by the client; when it held the last
    // reference it runs this itself, detached already, and ends right after.
    if (io.joinable()) {
      stop = true;
      if (io.get_id() == std::this_thread::get_id()) {
        io.detach();
      } else {
        wake();
        io.join();
      }
    }
    closeFd(kSdkNotConnected);
    if (wake_fd >= 0) ::close(wake_fd);
  }

  bool onDeliveryThread() const { return t_delivering == this; }

  void wake() {
    uint64_t one = 1;
    if (wake_fd >= 0) (void)!::write(wake_fd, &one, sizeof one);
  }

  // Ends delivery. From a user thread it returns once the thread has ended.
  // From the thread itself (a callback) it cannot wait: run() returns as soon
  // as the callback does, and whoever starts the next thread joins this one.
  void stopThread() {
    stop = true;
    wake();
    if (io.joinable() && !onDeliveryThread()) io.join();
  }

  void startThread() {
    if (io.joinable()) io.join();  // one that ended by itself
    stop = false;
    io = std::thread([self = shared_from_this()] {
      t_delivering = self.get();
      self->run();
      t_delivering = nullptr;
    });
  }

  // Called with write_mu held after a send failed, possibly part way through
  // a frame: nothing more may go out on this stream. The delivery thread,
  // which alone closes a connection it may be polling, sees the hang-up,
  // closes and reconnects.
  void breakLocked(int sock) {
    ::shutdown(sock, SHUT_RDWR);
    wake();
  }

  void closeFd(int why) {
    std::lock_guard<std::mutex> wl(write_mu);
    std::lock_guard<std::mutex> lk(mu);
    if (fd >= 0) ::close(fd);
    fd = -1;
    reader.reset();
    for (auto& p : pending) {
      if (!p.second.done) {
        p.second.done = true;
        p.second.code = why;
      }
    }
    cv.notify_all();
  }

  std::string frameFor(uint64_t id, const std::string& method, json args) {
    json req = {{"id", id}, {"m", method}, {"a", std::move(args)}};
    return wire::encodeFrame(wire::FrameType::kJson,
                             req.dump(-1, ' ', false, json::error_handler_t::replace));
  }

  // A request from a user thread; the delivery thread delivers the answer.
  // The time-out counts from the call, waiting for the socket included.
  Reply request(const std::string& method, json args) {
    if (onDeliveryThread()) return Reply{true, kSdkBusy, {}};
    uint64_t id;
    Clock::time_point deadline;
    {
      std::lock_guard<std::mutex> lk(mu);
      deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    }
    {
      std::lock_guard<std::mutex> wl(write_mu);
      int sock;
      {
        std::lock_guard<std::mutex> lk(mu);
        if (fd < 0) return Reply{true, kSdkNotConnected, {}};
        sock = fd;
        id = next_id++;
        pending[id] = Reply{};
      }
      if (!detail::sendAll(sock, frameFor(id, method, std::move(args)), deadline)) {
        breakLocked(sock);
        std::lock_guard<std::mutex> lk(mu);
        pending.erase(id);
        return Reply{true, kSdkNotConnected, {}};
      }
    }
    std::unique_lock<std::mutex> lk(mu);
    cv.wait_until(lk, deadline, [&] { return pending[id].done; });
    Reply r = std::move(pending[id]);
    pending.erase(id);
    if (!r.done) r.code = kSdkTimeout;
    return r;
  }

  // A request on a connection not yet handed to the delivery thread (during
  // the hand-shake of a new connection); frames other than the answer are
  // dropped, and however many come, the deadline holds.
  Reply directRequest(int sock, wire::FrameReader& rd, const std::string& method, json args) {
    uint64_t id;
    int tmo;
    {
      std::lock_guard<std::mutex> lk(mu);
      id = next_id++;
      tmo = timeout_ms;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(tmo);
    if (!detail::sendAll(sock, frameFor(id, method, std::move(args)), deadline))
      return Reply{true, kSdkNotConnected, {}};
    char buf[16384];
    for (;;) {
      wire::FrameType type;
      std::string body;
      auto res = rd.next(type, body);
      if (res == wire::FrameReader::Result::kError) return Reply{true, kSdkProtocolError, {}};
      if (res == wire::FrameReader::Result::kFrame) {
        if (type != wire::FrameType::kJson) continue;
        json msg = json::parse(body, nullptr, false);
        if (!validAnswer(msg)) return Reply{true, kSdkProtocolError, {}};
        if (msg["id"].get<uint64_t>() != id) continue;
        return Reply{true, codeOf(msg), msg.contains("r") ? msg["r"] : json()};
      }
      if (stop) return Reply{true, kSdkNotConnected, {}};
      int w = Clock::now() >= deadline ? 0 : detail::waitReadable(sock, deadline);
      if (w == 0) return Reply{true, kSdkTimeout, {}};
      ssize_t n = w < 0 ? -1 : ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return Reply{true, kSdkNotConnected, {}};
      rd.append(buf, static_cast<size_t>(n));
    }
  }

  static bool validAnswer(const json& msg) {
    return !msg.is_discarded() && msg.is_object() && msg.contains("id") &&
           msg["id"].is_number_unsigned() && msg.contains("c") && msg["c"].is_number_integer();
  }
  static int codeOf(const json& msg) {
    int64_t c = msg["c"].get<int64_t>();
    return (c < INT32_MIN || c > INT32_MAX) ? kSdkProtocolError : static_cast<int>(c);
  }
  static json setTopicArgs(const Topic& t) {
    return json::array({t.to_controller, t.names, t.frequency, t.flags});
  }

  // Opens a new connection and re-creates what the user set up on it: login,
  // topics, subscriptions and publications. Runs on the delivery thread after
  // a lost link, and on the caller's for an explicit connect (no delivery
  // thread runs then). Each new connection is a session.
  bool openSession() {
    std::string h;
    int p, tmo;
    bool creds;
    std::string u, pw;
    std::vector<std::shared_ptr<Topic>> snapshot;
    {
      std::lock_guard<std::mutex> lk(mu);
      h = host;
      p = port;
      tmo = timeout_ms;
      creds = have_credentials;
      u = user;
      pw = password;
      snapshot = topics;
    }
    int sock = detail::connectTcp(h, p, tmo);
    if (sock < 0) return false;
    wire::FrameReader rd;
    auto fail = [&] {
      ::close(sock);
      return false;
    };
    if (creds) {
      Reply r = directRequest(sock, rd, "login", json::array({u, pw}));
      if (transportFailed(r.code)) return fail();
    }
    for (auto& t : snapshot) {
      bool sub, pub;
      json args;
      {
        std::lock_guard<std::mutex> lk(mu);
        sub = t->subscribed;
        pub = t->published;
        args = setTopicArgs(*t);
      }
      Reply r = directRequest(sock, rd, "setTopic", args);
      if (transportFailed(r.code)) return fail();
      int remote = (r.code == 0 && r.result.is_number_integer()) ? r.result.get<int>() : -1;
      {
        std::lock_guard<std::mutex> lk(mu);
        t->remote = remote;
        t->next_due = Clock::now();
      }
      if (remote < 0) continue;
      if (sub || pub) {
        r = directRequest(sock, rd, sub ? "subscribe" : "publish", json::array({remote}));
        if (transportFailed(r.code)) return fail();
      }
    }
    std::lock_guard<std::mutex> wl(write_mu);
    std::lock_guard<std::mutex> lk(mu);
    fd = sock;
    reader = std::move(rd);
    sessions.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  void dispatch(wire::FrameType type, const std::string& body, bool& broken) {
    if (type == wire::FrameType::kJson) {
      json msg = json::parse(body, nullptr, false);
      if (!validAnswer(msg)) {
        broken = true;
        return;
      }
      std::lock_guard<std::mutex> lk(mu);
      auto it = pending.find(msg["id"].get<uint64_t>());
      if (it == pending.end()) return;  // its caller gave up waiting
      it->second.done = true;
      it->second.code = codeOf(msg);
      if (msg.contains("r")) it->second.result = std::move(msg["r"]);
      cv.notify_all();
      return;
    }
    if (type != wire::FrameType::kData) {
      broken = true;
      return;
    }
    uint32_t channel = 0;
    std::vector<wire::Value> values;
    if (!wire::decodeData(body, channel, values, nullptr)) {
      broken = true;
      return;
    }
    std::shared_ptr<Topic> topic;
    {
      std::lock_guard<std::mutex> lk(mu);
      for (auto& t : topics)
        if (!t->to_controller && t->remote == static_cast<int>(channel) && t->subscribed) topic = t;
    }
    if (!topic) return;
    std::lock_guard<std::recursive_mutex> cl(callback_mu);
    if (!topic->on_packet) return;
    InputParser parser(std::move(values));
    topic->on_packet(parser);
  }

  // Sends the output packets that are due; returns the time of the next one.
  Clock::time_point publishDue() {
    auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    std::vector<std::shared_ptr<Topic>> due;
    {
      std::lock_guard<std::mutex> lk(mu);
      for (auto& t : topics) {
        if (!t->to_controller || !t->published || t->remote < 0) continue;
        if (t->next_due <= now) {
          due.push_back(t);
          t->next_due += t->period();
          if (t->next_due <= now) t->next_due = now + t->period();
        }
        if (t->next_due < next) next = t->next_due;
      }
    }
    for (auto& t : due) {
      OutputBuilder builder;
      {
        std::lock_guard<std::recursive_mutex> cl(callback_mu);
        if (stop) break;  // a callback disconnected or destroyed the client
        if (!t->on_output) continue;
        t->on_output(builder);
        if (stop) break;
      }
      std::lock_guard<std::mutex> wl(write_mu);
      int sock, remote, tmo;
      {
        std::lock_guard<std::mutex> lk(mu);
        sock = fd;
        remote = t->remote;
        tmo = timeout_ms;
      }
      if (sock < 0 || remote < 0) continue;
      if (!detail::sendAll(sock,
                           wire::encodeFrame(wire::FrameType::kOutput,
                                             wire::encodeOutput(uint32_t(remote), builder.pairs())),
                           Clock::now() + std::chrono::milliseconds(tmo)))
        breakLocked(sock);
    }
    return next;
  }

  void waitWake(Clock::duration d) {
    pollfd p{wake_fd, POLLIN, 0};
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    ::poll(&p, 1, static_cast<int>(ms));
    uint64_t v;
    (void)!::read(wake_fd, &v, sizeof v);
  }

  void run() {
    auto backoff = std::chrono::duration_cast<Clock::duration>(kBackoffMin);
    char buf[65536];
    while (!stop) {
      int sock;
      {
        std::lock_guard<std::mutex> lk(mu);
        sock = fd;
      }
      if (sock < 0) {
        if (openSession()) {
          backoff = kBackoffMin;
        } else {
          waitWake(backoff);
          backoff = std::min<Clock::duration>(backoff * 2, kBackoffMax);
        }
        continue;
      }
      auto next = publishDue();
      if (stop) break;  // a publish callback disconnected: `sock` may be closed
      auto wait = next - Clock::now();
      if (wait < Clock::duration::zero()) wait = Clock::duration::zero();
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      pollfd pf[2] = {{sock, POLLIN, 0}, {wake_fd, POLLIN, 0}};
      int rc = ::ppoll(pf, 2, &ts, nullptr);
      if (rc < 0) continue;
      if (pf[1].revents) {
        uint64_t v;
        (void)!::read(wake_fd, &v, sizeof v);
      }
      if (!pf[0].revents) continue;
      ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        bool truncated;
        {
          std::lock_guard<std::mutex> lk(mu);
          truncated = reader.pending() > 0;
        }
        closeFd(truncated ? kSdkProtocolError : kSdkNotConnected);
        continue;
      }
      bool broken = false;
      for (;;) {
        wire::FrameType type;
        std::string body;
        wire::FrameReader::Result res;
        {
          std::lock_guard<std::mutex> lk(mu);
          if (fd != sock) break;
          if (n > 0) reader.append(buf, static_cast<size_t>(n));
          n = 0;
          res = reader.next(type, body);
        }
        if (res == wire::FrameReader::Result::kNeedMore) break;
        if (res == wire::FrameReader::Result::kError) {
          broken = true;
          break;
        }
        dispatch(type, body, broken);
        if (broken) break;
      }
      if (broken) closeFd(kSdkProtocolError);
    }
  }

  std::shared_ptr<Topic> topicAt(int channel) {
    std::lock_guard<std::mutex> lk(mu);
    if (channel < 0 || static_cast<size_t>(channel) >= topics.size()) return nullptr;
    return topics[static_cast<size_t>(channel)];
  }
};

RtdeClient::RtdeClient(int /*mode*/) : impl_(std::make_shared<Impl>()) {}

RtdeClient::~RtdeClient() {
  Impl& m = *impl_;
  m.stopThread();
  // Destroyed from a callback: the thread, which owns the state too, cannot
  // be joined from itself; it returns from the callback, sees `stop`, ends
  // and frees the state. It never touches this object again.
  if (m.onDeliveryThread()) m.io.detach();
  m.closeFd(kSdkNotConnected);
}

int RtdeClient::connect(const std::string& ip, int port) {
  Impl& m = *impl_;
  if (m.onDeliveryThread()) return kSdkBusy;  // it would wait for itself
  {
    std::lock_guard<std::mutex> lk(m.mu);
    if (m.fd >= 0 && m.io.joinable() && m.host == ip && m.port == port) return 0;
  }
  m.stopThread();
  m.closeFd(kSdkNotConnected);
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.host = ip;
    m.port = port;
  }
  m.stop = false;
  if (!m.openSession()) return -1;
  m.startThread();
  return 0;
}

int RtdeClient::disconnect() {
  impl_->stopThread();
  impl_->closeFd(kSdkNotConnected);
  return 0;
}

uint64_t RtdeClient::sessions() const {
  return impl_->sessions.load(std::memory_order_relaxed);
}

bool RtdeClient::isConnected() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->fd >= 0;
}

int RtdeClient::login(const std::string& user, const std::string& password) {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->user = user;
    impl_->password = password;
    impl_->have_credentials = true;
  }
  return impl_->request("login", json::array({user, password})).code;
}

int RtdeClient::setRequestTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->timeout_ms = milliseconds > 0 ? milliseconds : 1;
  return 0;
}

int RtdeClient::setTopic(bool to_controller, const std::vector<std::string>& names,
                         double frequency, int flags) {
  auto t = std::make_shared<Topic>();
  t->to_controller = to_controller;
  t->names = names;
  t->frequency = frequency;
  t->flags = flags;
  Reply r = impl_->request("setTopic", Impl::setTopicArgs(*t));
  if (r.code != 0 || !r.result.is_number_integer() || r.result.get<int64_t>() < 0 ||
      r.result.get<int64_t>() > INT32_MAX)
    return -1;
  t->remote = r.result.get<int>();
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->topics.push_back(t);
  return static_cast<int>(impl_->topics.size() - 1);
}

int RtdeClient::subscribe(int channel, SubscribeCallback callback) {
  auto t = impl_->topicAt(channel);
  if (!t || t->to_controller || !callback) return kSdkBadChannel;
  int remote;
  {
    std::lock_guard<std::recursive_mutex> cl(impl_->callback_mu);
    std::lock_guard<std::mutex> lk(impl_->mu);
    t->on_packet = std::move(callback);
    t->subscribed = true;  // re-issued after a reconnect even if this request fails
    remote = t->remote;
  }
  return impl_->request("subscribe", json::array({remote})).code;
}

int RtdeClient::publish(int channel, PublishCallback callback) {
  auto t = impl_->topicAt(channel);
  if (!t || !t->to_controller || !callback) return kSdkBadChannel;
  int remote;
  {
    std::lock_guard<std::recursive_mutex> cl(impl_->callback_mu);
    std::lock_guard<std::mutex> lk(impl_->mu);
    t->on_output = std::move(callback);
    remote = t->remote;
  }
  // Output packets start once the controller knows the channel is published.
  Reply r = impl_->request("publish", json::array({remote}));
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    t->published = true;
    t->next_due = Clock::now();
  }
  impl_->wake();
  return r.code;
}

int RtdeClient::unsubscribe(int channel) {
  auto t = impl_->topicAt(channel);
  if (!t || t->to_controller) return kSdkBadChannel;
  std::lock_guard<std::recursive_mutex> cl(impl_->callback_mu);
  std::lock_guard<std::mutex> lk(impl_->mu);
  t->on_packet = nullptr;
  t->subscribed = false;
  return 0;
}

int RtdeClient::unpublish(int channel) {
  auto t = impl_->topicAt(channel);
  if (!t || !t->to_controller) return kSdkBadChannel;
  std::lock_guard<std::recursive_mutex> cl(impl_->callback_mu);
  std::lock_guard<std::mutex> lk(impl_->mu);
  t->on_output = nullptr;
  t->published = false;
  return 0;
}

}  // namespace vemo_sdk
}  // namespace ryne
