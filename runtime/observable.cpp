#include "runtime/observable.hpp"

#include <vector>

void Observable::add_observer(std::shared_ptr<Observer> o) {
    std::lock_guard lock(observers_mutex);
    observers.push_front(std::move(o));
}

void Observable::notify_observers() {
    // The flag is taken before the observers pull their snapshots: a change marked by another
    // thread while they run stays marked for the next pass. Clearing it afterwards would lose a
    // lone late change (a link going inactive on a silent bus) until something else changed.
    if (!changed.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    std::vector<std::shared_ptr<Observer>> pass;
    {
        std::lock_guard lock(observers_mutex);
        pass.assign(observers.begin(), observers.end());
    }
    for (const auto& o : pass) {
        o->update(this);
    }
}
