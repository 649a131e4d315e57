// syslog_sink: formats on the logging thread, hands records to the kernel at once when it can,
// and otherwise queues them for its sender thread.
#include "quillet/details/syslog_sink.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform.hpp"
#include "syslog_socket.hpp"

namespace quillet::details {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds k_connect_timeout{1000};
constexpr milliseconds k_first_retry{50};
constexpr milliseconds k_last_retry{2000};
constexpr milliseconds k_writable_slice{100};
constexpr milliseconds k_datagram_pause{1};
// How long the sender waits after the last datagram of a retry for a refusal of it to come back.
constexpr milliseconds k_refusal_window{100};
constexpr std::size_t k_frame_room = 21;  // "<octets> " before a TCP message

// The message of `msg` in `out`, from out.data() + the returned offset; a TCP message is framed
// "<octets> <message>" (RFC 6587 octet counting).
std::size_t format_frame(fmt::memory_buffer& out, const syslog_header& header, const spdlog::details::log_msg& msg,
                         record_fields fields, const syslog_options& options) {
    const bool framed = options.transport == syslog_transport::tcp;
    out.resize(framed ? k_frame_room : 0);
    format_syslog_message(out, header, msg, fields, options.max_message_size);
    if (!framed) return 0;
    const fmt::format_int octets(out.size() - k_frame_room);
    const std::size_t n = octets.size() + 1;
    std::copy_n(octets.data(), octets.size(), out.data() + k_frame_room - n);
    out.data()[k_frame_room - 1] = ' ';
    return k_frame_room - n;
}

}  // namespace

struct syslog_sink::state {
    // What belongs to one sender thread and its waiters: a forked child leaks its parent's copy
    // (neither the thread nor the condition variables' waiters exist there) and makes its own.
    struct worker {
        std::condition_variable wake;     // the sender sleeps here: records queued, or stop
        std::condition_variable drained;  // flush() sleeps here: the queue emptied, or the collector went
        std::thread thread;
    };

    syslog_options options;
    net::endpoint to;
    std::string hostname;
    std::atomic<std::uint64_t> pid{0};  // written before any log and in a forked child only

    // mutex guards everything below. It is never held across a wait for the network: sends are
    // non-blocking, and connects and waits for room happen with it released. The socket is used
    // by log() only while nothing is queued and the collector is reachable; otherwise by the
    // sender alone, which replaces it under the mutex.
    std::mutex mutex;
    net::syslog_socket socket;
    std::deque<std::string> queue;  // framed messages in order; the front may be half sent
    std::size_t front_sent = 0;     // octets of the front already in a TCP stream
    bool away = false;              // not connected (TCP) or refused: the sender gets it back
    bool unreachable = false;       // the sender's last try to get it back failed
    // A datagram collector reports a refusal (ICMP port unreachable) on the send after the one it
    // refused: the last datagram handed to the kernel is kept, to be sent again when that comes.
    std::string last_datagram;
    bool probing = false;               // datagrams went out since the collector was last refused
    bool stopping = false;              // the sink is going: the sender sends what it can, then ends
    clock::time_point stop_deadline{};  // until when it may try
    std::uint64_t dropped = 0;          // records lost since the sink was made
    std::uint64_t unreported = 0;       // of those, not yet said in a "dropped" message
    std::unique_ptr<worker> sender;

    explicit state(syslog_options o);
    syslog_header header() const noexcept {
        return {options.facility, hostname, options.app_name, pid.load(std::memory_order_relaxed)};
    }
    bool stream() const noexcept { return options.transport == syslog_transport::tcp; }
    // UDP learns of a refusal on the send after the refused datagram (a Unix datagram socket on
    // the refused send itself).
    bool refusal_comes_late() const noexcept { return options.transport == syslog_transport::udp; }

    void log(const char* data, std::size_t size);
    void enqueue_locked(std::string message);
    void start_sender_locked();
    void queue_notice_locked();
    void run(worker* self) noexcept;
    bool send_front_locked(std::unique_lock<std::mutex>& lock, worker* self);
    void reach_collector(std::unique_lock<std::mutex>& lock, worker* self, milliseconds& retry);
    void lost(std::string_view why);
    void sent_datagram_locked(std::string message);
    void refused_datagram_locked();

    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;
};

namespace {

// Every live sink, for the fork handlers. mutex is taken before any sink's own.
struct live_sinks {
    std::mutex mutex;
    std::vector<syslog_sink::state*> sinks;

    static live_sinks& instance() {
        static live_sinks* live = [] {
            platform::at_fork(&syslog_sink::state::before_fork, &syslog_sink::state::after_fork_in_parent,
                              &syslog_sink::state::after_fork_in_child);
            return new live_sinks;  // outlives every sink: the fork handlers cannot be removed
        }();
        return *live;
    }
};

}  // namespace

syslog_sink::state::state(syslog_options o) : options(std::move(o)) {
    if (options.queue_size == 0) throw std::invalid_argument("queue_size must be at least 1");
    if (options.max_message_size < 2048) throw std::invalid_argument("max_message_size must be at least 2048");
    if (options.facility < 0 || options.facility > 23) throw std::invalid_argument("facility must be 0 to 23");
    to.stream = stream();
    to.local = options.transport == syslog_transport::unix_datagram;
    to.host = options.host;
    to.port = options.port;
    to.path = options.path;
    if (to.local && !net::has_unix_datagram())
        throw std::invalid_argument("transport 'unix' is not available on Windows: use 'udp' or 'tcp'");
    hostname = options.hostname.empty() ? net::host_name() : options.hostname;
    pid.store(net::process_id());
    // A collector that is not there yet only delays the first records.
    if (!to.stream)
        socket = net::syslog_socket::open_datagram(to);
    else
        away = true;
}

void syslog_sink::state::log(const char* data, std::size_t size) {
    std::unique_lock lock(mutex);
    if (queue.empty() && !away && unreported == 0) {
        if (stream() && socket.peer_closed()) {
            away = true;
        } else {
            const net::send_result r = socket.send(data, size);
            if (r.status == net::send_status::sent && r.sent == size) {
                if (refusal_comes_late()) last_datagram.assign(data, size);  // its capacity is kept: no allocation
                return;
            }
            if (r.status == net::send_status::refused) return lost("a message the socket refuses");
            if (r.status == net::send_status::peer_gone) away = true;
            if (r.status == net::send_status::peer_gone) unreachable = !stream();
            if (r.status == net::send_status::peer_gone && refusal_comes_late()) refused_datagram_locked();
            if (r.status == net::send_status::sent) {
                // Part of a stream's message is in: the sender owes the rest before anything else.
                enqueue_locked(std::string(data, size));
                front_sent = r.sent;
                return;
            }
        }
    }
    enqueue_locked(std::string(data, size));
}

void syslog_sink::state::enqueue_locked(std::string message) {
    if (!sender) start_sender_locked();
    // Room for the notice of earlier losses first, so that it stands where they were lost.
    if (unreported != 0 && queue.size() + 2 <= options.queue_size) queue_notice_locked();
    if (queue.size() >= options.queue_size) {
        ++dropped;
        ++unreported;
        return;
    }
    queue.push_back(std::move(message));
    sender->wake.notify_one();
}

void syslog_sink::state::sent_datagram_locked(std::string message) { last_datagram = std::move(message); }

// The collector refused a datagram: the one sent last, as far as the sink can tell. It goes back
// to the front of the queue (beyond its bound, since it was accepted once) for the sender to try
// again, rather than being lost without a word.
void syslog_sink::state::refused_datagram_locked() {
    probing = false;
    if (last_datagram.empty()) return;
    if (!sender) start_sender_locked();
    queue.push_front(std::move(last_datagram));
    last_datagram.clear();
    sender->wake.notify_one();
}

void syslog_sink::state::start_sender_locked() {
    auto w = std::make_unique<worker>();
    w->thread = std::thread(&state::run, this, w.get());
    sender = std::move(w);
}

// One message from the sink itself: how many records were dropped since the last such message.
void syslog_sink::state::queue_notice_locked() {
    const std::uint64_t n = std::exchange(unreported, 0);
    const std::string text =
        fmt::format("{} syslog records dropped: the queue of {} records was full", n, options.queue_size);
    const spdlog::details::log_msg msg("dropped", spdlog::level::warn, text);
    field_value value;
    value.type = field_value::kind::integer;
    value.integer = static_cast<std::int64_t>(n);
    const record_field count{"dropped", value};
    fmt::memory_buffer out;
    const std::size_t start = format_frame(out, header(), msg, record_fields(&count, 1), options);
    queue.emplace_back(out.data() + start, out.size() - start);
}

void syslog_sink::state::lost(std::string_view why) {
    ++dropped;
    ++unreported;
    std::fprintf(stderr, "[*** LOG ERROR ***] syslog: dropped %.*s\n", static_cast<int>(why.size()), why.data());
}

void syslog_sink::state::run(worker* self) noexcept {
    milliseconds retry{0};  // the first connect is tried at once
    std::unique_lock lock(mutex);
    for (;;) {
        if (queue.empty() && unreported != 0) queue_notice_locked();
        if (queue.empty()) {
            self->drained.notify_all();
            if (stopping) return;
            if (probing) {
                // The last datagram of a retry may yet be refused, and nothing queued behind it
                // would tell: look for the refusal once the collector had time to send it.
                probing = false;
                self->wake.wait_for(lock, k_refusal_window);
                if (queue.empty() && socket.take_refusal()) {
                    away = true;
                    unreachable = true;
                    refused_datagram_locked();
                }
                continue;
            }
            self->wake.wait(lock);
            continue;
        }
        if (stopping && (unreachable || clock::now() >= stop_deadline)) return;
        if (away) {
            reach_collector(lock, self, retry);
            // flush() does not wait for a collector that is unreachable.
            if (unreachable) self->drained.notify_all();
            continue;
        }
        if (send_front_locked(lock, self))
            retry = milliseconds{0};  // the collector takes messages: a loss later is tried again at once
        else if (unreachable)
            self->drained.notify_all();
    }
}

// Sends the front message; false when it must wait (for room, or for the collector).
bool syslog_sink::state::send_front_locked(std::unique_lock<std::mutex>& lock, worker* self) {
    if (stream() && front_sent == 0 && socket.peer_closed()) {
        away = true;
        return false;
    }
    const std::string& front = queue.front();
    const net::send_result r = socket.send(front.data() + front_sent, front.size() - front_sent);
    switch (r.status) {
        case net::send_status::sent:
            unreachable = false;
            if (!stream()) {
                if (refusal_comes_late()) sent_datagram_locked(std::move(queue.front()));
                queue.pop_front();
                return true;
            }
            front_sent += r.sent;
            if (front_sent >= front.size()) {
                queue.pop_front();
                front_sent = 0;
            }
            return true;
        case net::send_status::refused:
            queue.pop_front();
            front_sent = 0;
            lost("a message the socket refuses");
            return true;
        case net::send_status::peer_gone:
            away = true;
            unreachable = !stream();  // a datagram's refusal says the collector is away
            if (refusal_comes_late()) refused_datagram_locked();
            return false;
        case net::send_status::would_block:
            break;
    }
    // The kernel is full: wait for room with the mutex released (log() queues meanwhile). An
    // unconnected datagram socket always polls writable, so it waits a moment instead.
    if (!stream()) {
        self->wake.wait_for(lock, k_datagram_pause);
        return false;
    }
    lock.unlock();
    socket.wait_writable(k_writable_slice);
    lock.lock();
    return false;
}

// Waits `retry` (doubling it), then connects (TCP) or tries again (datagrams).
void syslog_sink::state::reach_collector(std::unique_lock<std::mutex>& lock, worker* self, milliseconds& retry) {
    if (stream()) socket.close();
    if (!stopping) self->wake.wait_for(lock, retry, [&] { return stopping; });
    retry = std::clamp(retry * 2, k_first_retry, k_last_retry);
    if (!stream()) {
        // A datagram socket has nothing to connect: the next send tells, or the refusal of the
        // last one sent.
        away = false;
        probing = refusal_comes_late();
        return;
    }
    lock.unlock();
    net::syslog_socket fresh = net::syslog_socket::connect_stream(to, k_connect_timeout);
    lock.lock();
    unreachable = !fresh.is_open();
    if (unreachable) return;
    socket = std::move(fresh);
    // A message cut by the old connection is sent whole on the new one.
    front_sent = 0;
    away = false;
}

void syslog_sink::state::before_fork() noexcept {
    live_sinks& live = live_sinks::instance();
    live.mutex.lock();
    for (state* s : live.sinks) s->mutex.lock();
}

void syslog_sink::state::after_fork_in_parent() noexcept {
    live_sinks& live = live_sinks::instance();
    for (state* s : live.sinks) s->mutex.unlock();
    live.mutex.unlock();
}

void syslog_sink::state::after_fork_in_child() noexcept {
    live_sinks& live = live_sinks::instance();
    for (state* s : live.sinks) {
        // The parent sends what it queued; the child keeps its own stream and thread.
        static_cast<void>(s->sender.release());
        s->queue.clear();
        s->front_sent = 0;
        s->unreported = 0;
        s->last_datagram.clear();
        s->probing = false;
        if (s->stream()) {
            s->socket.close();
            s->away = true;
        }
        s->unreachable = false;
        s->pid.store(net::process_id());
        s->mutex.unlock();
    }
    live.mutex.unlock();
}

syslog_sink::syslog_sink(syslog_options options) : state_(std::make_unique<state>(std::move(options))) {
    live_sinks& live = live_sinks::instance();
    std::lock_guard lock(live.mutex);
    live.sinks.push_back(state_.get());
}

syslog_sink::~syslog_sink() {
    {
        live_sinks& live = live_sinks::instance();
        std::lock_guard lock(live.mutex);
        std::erase(live.sinks, state_.get());
    }
    std::unique_ptr<state::worker> w;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->stop_deadline = clock::now() + flush_timeout;
        w = std::move(state_->sender);
        if (w) w->wake.notify_all();
    }
    if (w) {
        if constexpr (platform::exit_ends_threads_first) {
            // At exit the thread may be gone already: do not wait for it. It ends by itself
            // otherwise, so it keeps what it uses.
            if (w->thread.joinable()) w->thread.detach();
            static_cast<void>(w.release());
            static_cast<void>(state_.release());
            return;
        } else if (w->thread.joinable()) {
            w->thread.join();
        }
    }
    if (!state_->queue.empty())
        std::fprintf(stderr, "[*** LOG ERROR ***] syslog: %zu records not sent: the collector is unreachable\n",
                     state_->queue.size());
}

void syslog_sink::log(const spdlog::details::log_msg& msg) {
    fmt::memory_buffer out;
    const std::size_t start = format_frame(out, state_->header(), msg, current_record_fields(), state_->options);
    state_->log(out.data() + start, out.size() - start);
}

void syslog_sink::flush() {
    std::unique_lock lock(state_->mutex);
    const auto deadline = clock::now() + flush_timeout;
    while (!state_->queue.empty() && !state_->unreachable && state_->sender) {
        if (state_->sender->drained.wait_until(lock, deadline) == std::cv_status::timeout) return;
    }
}

void syslog_sink::set_pattern(const std::string&) {}

void syslog_sink::set_formatter(std::unique_ptr<spdlog::formatter>) {}

const syslog_options& syslog_sink::options() const noexcept { return state_->options; }

syslog_counts syslog_sink::counts() const noexcept {
    std::lock_guard lock(state_->mutex);
    return {state_->dropped, state_->queue.size()};
}

}  // namespace quillet::details
