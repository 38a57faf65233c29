#include "registry.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unordered_map>
#include <variant>

#include "card.hpp"
#include "config.hpp"
#include "control_command.hpp"
#include "control_server.hpp"
#include "libc_real.hpp"

namespace capvane_sim {

namespace {

constexpr char kNodePrefix[] = "/dev/capvane";
constexpr int kMaxCardFd = 1 << 16; // card descriptors must have numbers below this

struct Session {
    std::shared_ptr<Card> card;
    int open_cnt = 0;
};

// Never destroyed: interposed calls may come during static destruction and from threads that
// outlive main. A forked child starts a fresh one (the parent's threads do not exist there).
struct State {
    std::mutex life_mu; // open and close of card descriptors, one at a time
    SimConfig cfg;
    int card_fd_cnt = 0; // guarded by life_mu
    std::unique_ptr<ControlServer> control;

    std::mutex cards_mu; // sessions: read by the control thread
    std::map<int, Session> sessions;
    std::map<int, uint64_t> session_cnt; // sessions begun per card, guarded by life_mu

    std::mutex fds_mu;
    std::unordered_map<int, std::shared_ptr<OpenFile>> fds;
    std::atomic<int> fds_size{0};
    // One flag per descriptor number, so that a close() or ioctl() of any other descriptor
    // takes no lock: a signal handler that closes its PID file must never wait on the sim.
    std::array<std::atomic<bool>, kMaxCardFd> is_card{};
};

// Null until the first open of a card node sets the card up. The hooks can run before this
// library's initialisers (another library's constructor closing a descriptor, as libcap-ng's
// does): a constant-initialised null lets them pass straight to the C library then, where a
// State built by a dynamic initialiser would still be unset.
std::atomic<State*> g_state{nullptr};

// The state once a card was opened in this process, else null.
State* set_up_state() {
    return g_state.load(std::memory_order_acquire);
}

// The state, made by the first open of a card node (any thread; one wins).
State& state_for_open() {
    State* s = g_state.load(std::memory_order_acquire);
    if (s != nullptr) {
        return *s;
    }
    auto fresh = std::make_unique<State>();
    if (g_state.compare_exchange_strong(s, fresh.get(), std::memory_order_acq_rel)) {
        return *fresh.release();
    }
    return *s;
}

void on_fork_child() {
    // The old state belongs to threads that were not copied; it is left behind on purpose, and
    // the child sets up a card of its own if it opens one.
    g_state.store(nullptr);
}

void register_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, on_fork_child); });
}

std::shared_ptr<Card> control_target(State& s, const std::optional<int>& number) {
    std::lock_guard lk(s.cards_mu);
    if (number) {
        auto it = s.sessions.find(*number);
        return it == s.sessions.end() ? nullptr : it->second.card;
    }
    return s.sessions.empty() ? nullptr : s.sessions.begin()->second.card;
}

std::string handle_control_line(State& s, const std::string& line) {
    auto parsed = parse_command(line);
    if (auto* reason = std::get_if<std::string>(&parsed)) {
        return "error " + *reason;
    }
    const auto& cmd = std::get<ControlCommand>(parsed);
    auto card = control_target(s, cmd.card);
    if (!card) {
        return cmd.card ? "error card " + std::to_string(*cmd.card) + " is not open"
                        : std::string("error no card is open");
    }
    return card->control(cmd);
}

std::shared_ptr<OpenFile> find_fd(State& s, int fd) {
    if (fd < 0 || fd >= kMaxCardFd || !s.is_card[static_cast<std::size_t>(fd)].load()) {
        return nullptr;
    }
    std::lock_guard lk(s.fds_mu);
    auto it = s.fds.find(fd);
    return it == s.fds.end() ? nullptr : it->second;
}

// Called with life_mu held, after the descriptor left the table.
void release_card_fd(State& s, const std::shared_ptr<OpenFile>& file) {
    file->card->descriptor_closed(*file);
    std::shared_ptr<Card> ended;
    {
        std::lock_guard lk(s.cards_mu);
        auto it = s.sessions.find(file->card->number());
        if (it != s.sessions.end() && --it->second.open_cnt == 0) {
            ended = it->second.card;
            s.sessions.erase(it);
        }
    }
    if (ended) {
        ended->end_session();
    }
    if (--s.card_fd_cnt == 0) {
        s.control.reset();
    }
}

} // namespace

int node_number(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    const std::size_t prefix = sizeof kNodePrefix - 1;
    // strncmp stops at the end of a shorter path, where a memory compare would read past it.
    if (std::strncmp(path, kNodePrefix, prefix) != 0) {
        return -1;
    }
    const char* digits = path + prefix;
    if (digits[0] < '0' || digits[0] > '9' || (digits[0] == '0' && digits[1] != '\0')) {
        return -1;
    }
    long long value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffff) {
            return -1;
        }
    }
    return static_cast<int>(value);
}

int open_node(int number, int flags) {
    register_fork_handler();
    State& s = state_for_open();
    std::lock_guard life(s.life_mu);
    if (s.card_fd_cnt == 0) {
        // Between sessions the environment may have changed (tests reconfigure the card).
        s.cfg = read_config_from_env();
        for (const auto& problem : s.cfg.problems) {
            std::fprintf(stderr, "capvane-sim: %s; default kept\n", problem.c_str());
        }
    }
    if (!s.cfg.has_card(number)) {
        errno = ENOENT;
        return -1;
    }
    std::shared_ptr<Card> card;
    {
        std::lock_guard lk(s.cards_mu);
        auto it = s.sessions.find(number);
        if (it != s.sessions.end()) {
            card = it->second.card;
        }
    }
    if (card && card->is_unplugged()) {
        errno = ENODEV;
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDWR) {
        errno = EACCES;
        return -1;
    }
    // A real descriptor keeps numbering, close and descriptor sweeps as with the device node.
    const int fd = real_libc().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) {
        return -1;
    }
    if (fd >= kMaxCardFd) {
        real_libc().close(fd);
        errno = EMFILE;
        return -1;
    }
    try {
        if (!card) {
            card = std::make_shared<Card>(number, ++s.session_cnt[number], s.cfg);
            std::lock_guard lk(s.cards_mu);
            s.sessions[number] = Session{card, 0};
        }
        {
            std::lock_guard lk(s.cards_mu);
            ++s.sessions[number].open_cnt;
        }
        auto file = std::make_shared<OpenFile>();
        file->fd = fd;
        file->card = card;
        {
            std::lock_guard lk(s.fds_mu);
            s.fds[fd] = file;
            s.fds_size.store(static_cast<int>(s.fds.size()));
            s.is_card[static_cast<std::size_t>(fd)].store(true);
        }
        if (++s.card_fd_cnt == 1 && !s.cfg.control_path.empty()) {
            s.control =
                std::make_unique<ControlServer>(s.cfg.control_path, [&s](const std::string& line) {
                    return handle_control_line(s, line);
                });
        }
    } catch (...) {
        real_libc().close(fd);
        errno = ENOMEM;
        return -1;
    }
    return fd;
}

bool is_card_fd(int fd) {
    State* s = set_up_state();
    return s != nullptr && find_fd(*s, fd) != nullptr;
}

int close_fd(int fd) {
    State* set_up = set_up_state();
    if (set_up == nullptr || !find_fd(*set_up, fd)) {
        return real_libc().close(fd);
    }
    State& s = *set_up;
    std::lock_guard life(s.life_mu);
    std::shared_ptr<OpenFile> file;
    {
        std::lock_guard lk(s.fds_mu);
        auto it = s.fds.find(fd);
        if (it != s.fds.end()) {
            file = it->second;
            s.fds.erase(it);
            s.fds_size.store(static_cast<int>(s.fds.size()));
            s.is_card[static_cast<std::size_t>(fd)].store(false);
        }
    }
    if (file) {
        release_card_fd(s, file);
    }
    // The number stays reserved until the session is over, so no other file can take it early.
    return real_libc().close(fd);
}

void forget_range(unsigned first, unsigned last) {
    State* set_up = set_up_state();
    if (set_up == nullptr || set_up->fds_size.load() == 0) {
        return;
    }
    State& s = *set_up;
    std::lock_guard life(s.life_mu);
    std::vector<std::shared_ptr<OpenFile>> files;
    {
        std::lock_guard lk(s.fds_mu);
        for (auto it = s.fds.begin(); it != s.fds.end();) {
            const auto fd = static_cast<unsigned>(it->first);
            if (fd >= first && fd <= last) {
                files.push_back(it->second);
                s.is_card[static_cast<std::size_t>(it->first)].store(false);
                it = s.fds.erase(it);
            } else {
                ++it;
            }
        }
        s.fds_size.store(static_cast<int>(s.fds.size()));
    }
    for (const auto& file : files) {
        release_card_fd(s, file);
    }
}

int card_ioctl(int fd, unsigned long request, void* arg, bool& handled) {
    State* s = set_up_state();
    auto file = s != nullptr ? find_fd(*s, fd) : nullptr;
    handled = file != nullptr;
    if (!file) {
        return 0;
    }
    return file->card->request(*file, request, arg);
}

} // namespace capvane_sim
