#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/observable.hpp"

namespace {

// Appends its name to a shared journal at each update.
class Recorder : public Observer {
public:
    Recorder(std::string name, std::vector<std::string>& journal)
        : name(std::move(name)), journal(journal) {}
    void update(Observable*) override { journal.push_back(name); }

private:
    std::string name;
    std::vector<std::string>& journal;
};

class Counter : public Observer {
public:
    void update(Observable*) override { calls.fetch_add(1); }
    std::atomic<int> calls{0};
};

class Publisher : public Observable {};

TEST(ObservableTest, NotifyWithoutChangeOrWithoutObservers) {
    Publisher p;
    auto c = std::make_shared<Counter>();
    p.add_observer(c);
    p.notify_observers();
    EXPECT_EQ(c->calls, 0);
    EXPECT_FALSE(p.has_changed());

    Publisher lonely;
    lonely.set_changed();
    lonely.notify_observers();
    EXPECT_FALSE(lonely.has_changed());
}

TEST(ObservableTest, ReverseRegistrationOrderAndDuplicates) {
    std::vector<std::string> journal;
    Publisher p;
    auto a = std::make_shared<Recorder>("A", journal);
    auto b = std::make_shared<Recorder>("B", journal);
    p.add_observer(a);
    p.add_observer(b);
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(journal, (std::vector<std::string>{"B", "A"}));
    EXPECT_FALSE(p.has_changed());

    journal.clear();
    p.add_observer(a);
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(journal, (std::vector<std::string>{"A", "B", "A"}));
}

// An observer that, like another publisher thread, marks a change after it took its snapshot.
class ChangesDuringUpdate : public Observer {
public:
    void update(Observable* o) override {
        ++calls;
        if (calls == 1) {
            static_cast<Publisher*>(o)->set_changed();
        }
    }
    int calls = 0;
};

TEST(ObservableTest, ChangeMarkedDuringAPassIsReportedByTheNext) {
    Publisher p;
    auto o = std::make_shared<ChangesDuringUpdate>();
    p.add_observer(o);
    p.set_changed();
    p.notify_observers();
    EXPECT_TRUE(p.has_changed());
    p.notify_observers();
    EXPECT_EQ(o->calls, 2);
    EXPECT_FALSE(p.has_changed());
}

// Registers a fresh observer from inside update(): must not deadlock, and the newcomer joins the
// following pass, not the one under way.
class RegistersAnother : public Observer {
public:
    explicit RegistersAnother(std::shared_ptr<Counter> next) : next(std::move(next)) {}
    void update(Observable* o) override {
        if (next) {
            static_cast<Publisher*>(o)->add_observer(std::move(next));
            next.reset();
        }
    }
    std::shared_ptr<Counter> next;
};

TEST(ObservableTest, RegistrationDuringAPassJoinsTheNextPass) {
    Publisher p;
    auto late = std::make_shared<Counter>();
    p.add_observer(std::make_shared<RegistersAnother>(late));
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(late->calls, 0);
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(late->calls, 1);
}

TEST(ObservableTest, RegistrationsRacingNotificationsAreNeitherLostNorDisturbing) {
    Publisher p;
    auto steady = std::make_shared<Counter>();
    p.add_observer(steady);
    constexpr int kPasses = 2000;
    constexpr int kNewcomers = 200;
    std::atomic<bool> go{false};
    std::thread notifier([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (int i = 0; i < kPasses; ++i) {
            p.set_changed();
            p.notify_observers();
        }
    });
    std::vector<std::shared_ptr<Counter>> newcomers;
    for (int i = 0; i < kNewcomers; ++i) {
        newcomers.push_back(std::make_shared<Counter>());
    }
    std::thread registrar([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (auto& c : newcomers) {
            p.add_observer(c);
        }
    });
    go = true;
    notifier.join();
    registrar.join();
    // Every pass reached the observer that was there from the start, once.
    EXPECT_EQ(steady->calls, kPasses);
    // Every registration took: one more pass reaches all of them.
    std::vector<int> before;
    for (auto& c : newcomers) {
        before.push_back(c->calls);
    }
    p.set_changed();
    p.notify_observers();
    for (std::size_t i = 0; i < newcomers.size(); ++i) {
        EXPECT_EQ(newcomers[i]->calls, before[i] + 1) << i;
    }
}

} // namespace
