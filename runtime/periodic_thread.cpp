#include "runtime/periodic_thread.hpp"

#include <exception>
#include <utility>

#include "log/logger.hpp"
#include "runtime/thread_name.hpp"

PeriodicThread::PeriodicThread(Config config_) : config(std::move(config_)) {
    thread = std::thread(&PeriodicThread::run, this);
}

PeriodicThread::ErrorHandler PeriodicThread::log_and_go_on(FILE* log, const char* prefix) {
    return [log, prefix](const char* what) {
        logger::print(log, logger::msg_type::err, "%s: %s\n", prefix, what);
        return AfterError::go_on;
    };
}

PeriodicThread::~PeriodicThread() {
    stop();
}

void PeriodicThread::request_stop() {
    running.store(false, std::memory_order_release);
    sleep.wake_all();
}

void PeriodicThread::stop() {
    request_stop();
    if (thread.joinable()) {
        thread.join();
    }
}

bool PeriodicThread::carry_on_after(const char* what) {
    if (config.on_error) {
        return config.on_error(what) == AfterError::go_on;
    }
    // The process log as it is now: the gateway may have moved it to its file since the start.
    logger::print(flog, logger::msg_type::err, "%s: %s\n", config.name, what);
    return true;
}

template <class F> bool PeriodicThread::guarded(F&& f) {
    try {
        std::forward<F>(f)();
        return true;
    } catch (const std::exception& e) {
        return carry_on_after(e.what());
    } catch (...) {
        return carry_on_after("unknown exception");
    }
}

void PeriodicThread::run() {
    thread_name::name_this_thread(config.name);
    if (config.prologue && !guarded([this] { config.prologue(running); })) {
        return;
    }
    if (config.first_step_after_a_period && !sleep.sleep_for(config.period, running)) {
        return;
    }
    while (running.load(std::memory_order_acquire)) {
        if (!guarded(config.step)) {
            return;
        }
        sleep.sleep_for(config.period, running);
    }
}
