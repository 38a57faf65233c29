// Statistics publication: publishers mark their snapshot changed from any of their threads and
// notify once per second on their per-second thread; observers pull the snapshot in update().
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>

class Observable;

class Observer {
public:
    virtual ~Observer() = default;
    // Called on the notifying publisher's per-second thread, once per pass in which it changed.
    virtual void update(Observable* o) = 0;
};

class Observable {
public:
    Observable() = default;
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    virtual ~Observable() = default;

    // Inserts at the front: observers are notified in the reverse order of registration. No
    // duplicate check. Safe while a notification pass runs on another thread: the pass walks a
    // copy of the list, so the new observer is neither lost nor disturbs it.
    void add_observer(std::shared_ptr<Observer> o);

    // Any thread.
    void set_changed() { changed.store(true, std::memory_order_release); }
    bool has_changed() const { return changed.load(std::memory_order_acquire); }

    // If changed, clears the flag and calls update(this) on every observer, front to back; a
    // change marked during the pass is reported by the next one. Without a change it calls
    // nothing and the flag stays clear. Call from one thread (the publisher's per-second thread).
    void notify_observers();

private:
    std::mutex observers_mutex; // held for list edits and copies only, never around update()
    std::list<std::shared_ptr<Observer>> observers;
    std::atomic<bool> changed{false};
};
