#pragma once

#include "settings.hpp"

#include "host/router.hpp"

#include <memory>

namespace kavara::server {

// Hands the process-wide settings to the host before anything runs: the log level and the
// threads of the blocking pool.
void configure_process(const Settings& settings);

// The application of kavara-server: the database pool configured from `settings`, the modules
// loaded and their routes mounted, the API document and, when `settings.web_root` names a
// folder, the demo page's files (GET / and every path no route claims). Throws when a module
// fails to load.
std::unique_ptr<host::http::App> build_app(const Settings& settings);

// The application as the in-process tests run it: the settings of the environment, no page.
std::unique_ptr<host::http::App> build_app();

}  // namespace kavara::server
