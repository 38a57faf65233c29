// One simulated card for the length of a session (first open of its node to last close): the
// lock, the run state and the traffic thread around its parts. card.cpp holds its life and
// statistics, card_traffic.cpp the traffic thread, card_requests.cpp the driver requests and
// card_control.cpp the control commands.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "buffer_packer.hpp"
#include "card_stats.hpp"
#include "config.hpp"
#include "control_command.hpp"
#include "fault_control.hpp"
#include "record_format.hpp"
#include "time_base.hpp"
#include "traffic_source.hpp"

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
    using Clock = TimeBase::Clock;

    static Mode mode_for(const SimConfig& cfg, const TrafficSource& source);

    void _bkgd_traffic_func();

    // All below run with mu_ held.
    int wait_data(std::unique_lock<std::mutex>& lk, OpenFile& file, uint8_t* req);
    bool build_on_demand();
    void catch_up(Clock::time_point now);
    bool source_has_next() const { return !paused_ && source_.has_next(); }
    void drain_injected();
    void push_extra(std::unique_ptr<TransferBuffer> buffer);
    void queue_frames(IndexRule rule, uint64_t arg, uint8_t status,
                      const std::vector<uint8_t>& frame, uint64_t count);
    uint64_t sim_now_ns(Clock::time_point now) const;
    // The statistics with the bus's scan and pending faults, as `stats` and the report give them.
    CardStats snapshot() const;
    std::string change_scan(const ControlCommand& cmd); // `schedule` and `unschedule`
    uint64_t stamp_now() const { return time_.stamp(sim_now_ns(Clock::now())); }

    const int number_;
    const uint32_t serial_;
    const uint32_t bitrate_;
    const std::chrono::milliseconds flush_;
    const std::string report_path_;

    std::mutex mu_;
    std::condition_variable reader_cv_;   // buffers, cancels, closes, unplug, stop
    std::condition_variable producer_cv_; // sniffer, pause, injections, stop

    CardStats stats_;
    TrafficSource source_;
    const Mode mode_;
    TimeBase time_;
    BufferPacker packer_;
    FaultControl faults_;

    bool sniffer_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    std::atomic<bool> unplugged_{false};
    bool ended_ = false;

    uint64_t cancel_gen_ = 0;
    bool cancel_sticky_ = false;
    uint64_t waiters_ = 0;

    std::thread traffic_thread_;
};

} // namespace capvane_sim
