// One simulated card for the length of a session (first open of its node to last close):
// the traffic thread that fills transfer buffers into a bounded ring, the driver requests, and
// the faults the control socket injects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus_model.hpp"
#include "card_stats.hpp"
#include "config.hpp"
#include "control_command.hpp"
#include "record_format.hpp"
#include "replay.hpp"

namespace capvane_sim {

class Card;

// One open descriptor of a card node.
struct OpenFile {
    int fd = -1;
    std::shared_ptr<Card> card;
    std::atomic<bool> closed{false}; // set by close(); releases the descriptor's waits
};

class Card {
public:
    // Builds the traffic source and, unless buffers are built on demand, starts the traffic
    // thread. Called by the first open of the node (the opener's thread).
    Card(int number, uint64_t session, const SimConfig& cfg);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    int number() const { return number_; }

    // One driver request on a descriptor of this card, on the caller's thread (WAIT_DATA
    // blocks). Returns 0, or -1 with errno set, like the kernel driver.
    int request(OpenFile& file, unsigned long code, void* arg);

    // The descriptor was closed: its pending waits return at once. Any thread.
    void descriptor_closed(OpenFile& file);

    bool is_unplugged() const { return unplugged_.load(); }

    // Runs one control command; returns the answer line without newline. Control thread.
    std::string control(const ControlCommand& cmd);

    // Current statistics as one JSON line. Any thread.
    std::string stats_json();

    // Stops the traffic thread, releases every wait and writes the report file. Called when
    // the last descriptor of the card closes; later calls do nothing.
    void end_session();

private:
    enum class Mode { realtime, paced, on_demand };
    enum class IndexRule { next, gap, back, zero, verbatim };
    struct Injected {
        IndexRule rule = IndexRule::next;
        uint64_t arg = 0;
        uint8_t status = 0;
        std::vector<uint8_t> bytes; // the frame, or the whole record for `verbatim`
    };
    using Clock = std::chrono::steady_clock;

    void _bkgd_traffic_func();

    // All below run with mu_ held.
    int wait_data(std::unique_lock<std::mutex>& lk, OpenFile& file, uint8_t* req);
    void deliver(TransferBuffer& buffer, uint8_t* req, std::size_t len);
    bool build_on_demand();
    void drain_injected();
    bool source_has_next();
    uint64_t source_next_sim_ns();
    void pack_source_record();
    void pack_frame(const uint8_t* frame, std::size_t len, uint64_t index, uint8_t status,
                    uint64_t sim_ns, uint32_t duration_ns, uint32_t silence_ns);
    void push_partial();
    void push_extra(std::unique_ptr<TransferBuffer> buffer);
    std::unique_ptr<TransferBuffer> take_buffer();
    void recycle(std::unique_ptr<TransferBuffer> buffer);
    uint32_t ready_word() const;
    uint64_t sim_now_ns(Clock::time_point now) const;
    Clock::time_point wall_of(uint64_t sim_ns) const;
    void catch_up(Clock::time_point now);
    uint64_t time_stamp(uint64_t sim_ns) const;
    void queue_frames(IndexRule rule, uint64_t arg, uint8_t status,
                      const std::vector<uint8_t>& frame, uint64_t count);
    std::unique_ptr<TransferBuffer> decoy_buffer();
    std::unique_ptr<TransferBuffer> malformed_buffer(Malformation what);
    std::vector<uint8_t> good_frame() const;
    uint64_t next_index() { return ++last_index_; }

    const int number_;
    const uint32_t serial_;
    const int fcs_type_;
    const uint32_t bitrate_;
    const std::size_t ring_capacity_;
    const std::chrono::milliseconds flush_;
    const std::optional<uint64_t> record_limit_;
    const std::string report_path_;
    Mode mode_ = Mode::realtime;
    double wall_per_sim_ = 1.0; // wall ns per bus ns when paced
    uint64_t replay_interval_ns_ = 0;

    std::mutex mu_;
    std::condition_variable reader_cv_;   // buffers, cancels, closes, unplug, stop
    std::condition_variable producer_cv_; // sniffer, pause, injections, stop

    std::optional<BusModel> bus_;
    std::optional<ReplaySource> replay_;
    std::optional<BusFrame> pending_frame_;
    uint64_t source_records_ = 0;
    std::deque<Injected> injected_;
    std::deque<std::unique_ptr<TransferBuffer>> ring_;
    std::vector<std::unique_ptr<TransferBuffer>> free_;
    std::unique_ptr<TransferBuffer> partial_;
    uint64_t last_index_ = 0;
    uint32_t buffer_seq_ = 0;
    uint32_t ready_bits_ = kReadyBit31;

    bool sniffer_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    std::atomic<bool> unplugged_{false};
    bool ended_ = false;

    uint64_t epoch_ns_ = 0;
    uint64_t sim_at_epoch_ns_ = 0;
    Clock::time_point anchor_wall_;
    uint64_t anchor_sim_ns_ = 0;

    std::optional<int> fail_infos_, fail_epoch_, fail_sniffer_on_, fail_sniffer_off_;
    uint64_t failwait_ = 0;
    uint64_t shortwait_ = 0;
    uint64_t cancel_gen_ = 0;
    bool cancel_sticky_ = false;
    uint64_t waiters_ = 0;

    CardStats stats_;
    std::thread traffic_thread_;
};

} // namespace capvane_sim
