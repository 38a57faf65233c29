// The gateway: the body of the process in both foreground and daemon mode.
//
// Design notes
// - Each build cycle reads the configuration file, checks the card, and builds one generation of
//   components in a fixed order: event buffer, host metrics, UDP sender, capture object, monitor.
//   At a reload the previous generation is released before the next is built, so two senders,
//   samplers or monitors never run side by side and the new event buffer's file is never
//   removed by its predecessor.
// - A component that cannot be built (socket, buffer file or its directory, a buffer without a
//   segment, a buffer file another gateway holds) is reported in the log and in syslog; what was
//   built is released and the process ends with status 1 rather than running half-built.
// - A bad destination or datagram size value in the configuration file ends the first cycle
//   (status 1); at a reload the value in force is kept (app/destination_choice.hpp).
// - The log stream is line-buffered: log lines are rare, and an operator following the log file
//   or the journal must see them when they happen, not a block later or never after a crash.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "queue/syncmappedqueue.hpp"

struct app_cfg;
class Capvane;

// Installs the signal handler, selects the log stream and runs build cycles until a terminating
// signal, a broken device or a failure; a SIGHUP starts another cycle, which reopens the log
// file. Returns the exit status: 0 for a normal end, 1 when the configuration file held a bad value
// (a UdpPort out of range, a bad destination or cap) at start, the device was not found, a
// component could not be built, the capture could not be started or stopped, or the device
// connection broke (a lost card or an acquisition thread that stopped on an error). Tells the
// service manager (ServiceNotifier) and, in daemon mode, the starting process (start_report) when
// the first generation runs or why it cannot. Main thread.
int app(app_cfg* c);

// Logs "app is running...", then waits in 100 ms steps while `running` is 1 and the device stays
// open; warns at most once a second when the event buffer dropped events, reports the rest when
// the wait ends, and calls `each_pass` (when given) at every step. Returns 0 when a signal ended
// the wait, -1 when the device connection broke or `capture` is empty. Main thread.
int gateway_task(std::shared_ptr<Capvane>& capture,
                 const std::shared_ptr<SyncMappedQueue<std::vector<char>>>& queue,
                 const std::function<void()>& each_pass = {});
