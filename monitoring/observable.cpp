#include "monitoring/observable.hpp"

#include <vector>

void Observable::add_observer(std::shared_ptr<Observer> o) {
    std::lock_guard lock(observers_mutex);
    observers.push_front(std::move(o));
}

void Observable::notify_observers() {
    if (changed.load(std::memory_order_acquire)) {
        std::vector<std::shared_ptr<Observer>> pass;
        {
            std::lock_guard lock(observers_mutex);
            pass.assign(observers.begin(), observers.end());
        }
        for (const auto& o : pass) {
            o->update(this);
        }
    }
    changed.store(false, std::memory_order_release);
}
