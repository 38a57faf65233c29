// Life of the capture object, the driver requests and the card listing.
#include "capture/capvane.hpp"

#include <cerrno>
#include <ctime>
#include <string>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "log/logger.hpp"
#include "runtime/thread_name.hpp"

namespace {

constexpr int kMaxBars = 6; // entries of the two BAR arrays of cv_dev_infos
constexpr std::uint32_t kAuxCodeMask = 0xFFU;
// stop() repeats the cancel request at this interval until the acquisition thread has left: a
// cancel that reaches the driver just before the thread enters its wait must not leave it
// blocked forever.
constexpr std::chrono::milliseconds kCancelRetry{100};

using logger::msg_type::err;

} // namespace

Capvane::Capvane(std::shared_ptr<event_queue> queue_, FILE* log_)
    : log(log_), queue(std::move(queue_)) {
    // The fresh record is in place before the constructor returns: a per-second thread that got
    // the processor late would otherwise reset it after start() had filled it.
    reset_stats();
    // The queue's figures are in the record from the start: a monitor registered right after
    // must not report an event buffer of size 0.
    refresh_stats();
    per_sec_thread.emplace(PeriodicThread::Config{
        .name = thread_name::kCaptureStats,
        .period = kPerSecPeriod,
        .step = [this] { _bkgd_per_sec_func(); },
        .on_error = PeriodicThread::log_and_go_on(log, "fip: statistics"),
    });
    wtdog_thread.emplace(PeriodicThread::Config{
        .name = thread_name::kCaptureWatchdog,
        .period = kWtdogTick,
        .step = [this] { _bkgd_wtdog_func(); },
        .on_error = PeriodicThread::log_and_go_on(log, "fip watchdog"),
    });
}

Capvane::~Capvane() {
    wtdog_thread.reset();
    per_sec_thread.reset();
    stop();
}

std::string Capvane::node_name(int index) {
    return "/dev/capvane" + std::to_string(index);
}

bool Capvane::is_available(int* index) {
    if (index == nullptr) {
        return false;
    }
    if (*index >= 0) {
        const int fd = ::open(node_name(*index).c_str(), O_RDWR);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        return true;
    }
    for (int i = 0; i < kMaxScannedCards; ++i) {
        const int fd = ::open(node_name(i).c_str(), O_RDWR);
        if (fd >= 0) {
            ::close(fd);
            *index = i;
            return true;
        }
    }
    return false;
}

void Capvane::list() {
    int found = 0;
    for (int i = 0; i < kMaxScannedCards; ++i) {
        const int fd = ::open(node_name(i).c_str(), O_RDWR);
        if (fd < 0) {
            continue;
        }
        cv_dev_infos infos{};
        // A card that opens but cannot describe itself is still listed, with a zeroed record.
        (void)get_dev_infos(fd, &infos);
        ++found;
        std::printf("*** Capvane [%d]\n", found);
        print_dev_info(&infos);
        ::close(fd);
    }
    if (found == 0) {
        std::printf("no device found\n");
    }
    std::fflush(stdout);
}

int Capvane::get_dev_infos(int fd, cv_dev_infos* infos) {
    if (infos == nullptr) {
        errno = EINVAL;
        return -1;
    }
    cv_dev_infos local{};
    if (::ioctl(fd, CV_IOC_GET_DEV_INFOS, &local) != 0) {
        errno = EFAULT;
        return -1;
    }
    *infos = local;
    return 0;
}

void Capvane::print_dev_info(const cv_dev_infos* infos) {
    if (infos == nullptr) {
        return;
    }
    const cv_dev_infos d = *infos; // aligned copy: the record is packed
    std::printf("  index       = %d\n", d.index);
    std::printf("  sn          = 0x%08x\n", d.sn);
    std::printf("  vid         = 0x%04x\n", d.vid);
    std::printf("  did         = 0x%04x\n", d.did);
    std::printf("  ssvid       = 0x%04x\n", d.ssvid);
    std::printf("  ssdid       = 0x%04x\n", d.ssdid);
    std::printf("  bar_cnt     = %d\n", d.bar_cnt);
    for (int i = 0; i < d.bar_cnt && i < kMaxBars; ++i) {
        std::printf("  bar_bsz[%d]  = %lu\n", i, static_cast<unsigned long>(d.bar_bsz[i]));
        std::printf("  bar_base[%d] = 0x0%lx\n", i, static_cast<unsigned long>(d.bar_base[i]));
    }
    std::printf("  irq_number  = %d\n", d.irq_number);
    std::printf("  drv_version = 0x%08x\n", d.drv_version);
}

int Capvane::enable_sniffer(bool on) {
    if (!is_open()) {
        return -1;
    }
    std::uint32_t value = on ? 1U : 0U;
    if (::ioctl(fd, CV_IOC_ENABLE_SNIFFER, &value) != 0) {
        errno = EFAULT;
        return -1;
    }
    return 0;
}

int Capvane::set_epoch(std::uint64_t epoch_us) {
    if (!is_open()) {
        return -1;
    }
    std::uint64_t value = epoch_us;
    if (::ioctl(fd, CV_IOC_SET_EPOCH, &value) != 0) {
        errno = EFAULT;
        return -1;
    }
    return 0;
}

// Kept as a no-op for compatibility: callers clear after every wait, the driver needs nothing.
int Capvane::clear_interrupt() {
    return is_open() ? 0 : -1;
}

int Capvane::start(int index) {
    const std::string node = node_name(index);
    if (is_open()) {
        logger::print(log, err, "fip: already started.\n");
        return -1;
    }
    // What a broken connection left behind: its thread and its descriptor.
    shutdown_capture();

    fd = ::open(node.c_str(), O_RDWR);
    if (fd < 0) {
        const int open_errno = errno;
        logger::print(log, err, "fip: cannot open the device %s: %s.\n", node.c_str(),
                      errno_text(open_errno).c_str());
        errno = open_errno;
        return open_errno;
    }
    is_open_flag.store(true, std::memory_order_release);
    (void)::ioctl(fd, CV_IOC_INIT, 0);

    if (get_dev_infos(fd, &dev_infos) != 0) {
        logger::print(log, err, "fip: impossible to get device info.\n");
        shutdown_capture();
        return -1;
    }

    reset_stats();
    {
        std::lock_guard lock(stats_mutex);
        stats.sn = dev_infos.sn;
        stats.aux_code = static_cast<std::uint8_t>(dev_infos.aux_word1 & kAuxCodeMask);
    }
    // A fresh countdown: what the watchdog left at the previous stop says nothing about this run.
    wtdog_cnt.store(kWtdogFill, std::memory_order_release);

    irq_run.store(true, std::memory_order_release);
    irq_alive.store(true, std::memory_order_release);
    try {
        irq_thread = std::thread(&Capvane::_bkgd_irq_func, this);
    } catch (const std::system_error& e) {
        logger::print(log, err, "fip: cannot launch the acquisition thread: %s\n", e.what());
        irq_alive.store(false, std::memory_order_release);
        shutdown_capture();
        return -1;
    }

    // The acquisition thread must not fall behind the card; without the privilege it simply
    // runs with normal scheduling.
    sched_param param{};
    int policy = 0;
    if (pthread_getschedparam(irq_thread.native_handle(), &policy, &param) == 0) {
        param.sched_priority = sched_get_priority_max(SCHED_FIFO);
        (void)pthread_setschedparam(irq_thread.native_handle(), SCHED_FIFO, &param);
    }

    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t epoch_us = static_cast<std::uint64_t>(ts.tv_sec) * 1000000ULL +
                                   static_cast<std::uint64_t>(ts.tv_nsec) / 1000ULL;
    if (set_epoch(epoch_us) != 0) {
        logger::print(log, err, "cannot configure the epoch time.\n");
        shutdown_capture();
        return -1;
    }
    if (clear_interrupt() != 0) {
        logger::print(log, err, "cannot set mem_rdy flag.\n");
        shutdown_capture();
        return -1;
    }
    if (enable_sniffer(true) != 0) {
        logger::print(log, err, "cannot start the sniffer.\n");
        shutdown_capture();
        return -1;
    }
    return 0;
}

int Capvane::stop() {
    const bool leftovers = irq_thread.joinable() || fd >= 0;
    if (!is_open() && !leftovers) {
        return -1;
    }
    // After a broken connection there is no card left to switch off.
    if (is_open() && enable_sniffer(false) != 0) {
        logger::print(log, err, "cannot stop the sniffer correctly.\n");
    }
    shutdown_capture();
    return 0;
}

void Capvane::shutdown_capture() {
    irq_run.store(false, std::memory_order_release);
    irq_sleep.wake_all();
    if (irq_thread.joinable()) {
        while (irq_alive.load(std::memory_order_acquire)) {
            (void)::ioctl(fd, CV_IOC_CANCEL_WAIT, 0);
            irq_exit_wait.sleep_for(kCancelRetry, irq_alive);
        }
        irq_thread.join();
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    is_open_flag.store(false, std::memory_order_release);
}
