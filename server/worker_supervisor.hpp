#pragma once

#include <functional>

namespace kavara::server {

// The exit status of a worker that could not start (its modules or its port): the first
// workers exiting with it stop the server, since their replacements would fail alike.
inline constexpr int kWorkerCouldNotStart = 3;

// Runs `count` workers, each `run(index)` in a forked child whose exit status is what it returns
// (1 when it throws), and keeps them running until SIGINT or SIGTERM. A worker that ends before
// then is started again under its index, after a pause that doubles from 0.1 s to 10 s while
// its replacements keep dying young; the others go on serving meanwhile, and each restart is
// logged. The stop signal is forwarded to every worker and ends the restarts. Returns 0 when
// every worker ended cleanly after the stop, else 1.
int supervise_workers(int count, const std::function<int(int index)>& run);

}  // namespace kavara::server
