#pragma once

// What the tile service's integration tests share: loading the service once per process against
// chosen servers, requests through the application in-process, a Redis connection of the test's
// own for looking at keys, log lines of the service and the tiles of the seeded area.

#include "host/http.hpp"
#include "host/logging.hpp"
#include "host/redis.hpp"
#include "host/router.hpp"
#include "support.hpp"
#include "tileway/service.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavara::test::tileway {

struct Servers {
    std::uint16_t redis_port;
    std::string database_url;
};

// The shared servers of scripts/services (REDIS_PORT and DATABASE_URL, or their defaults).
Servers shared_servers();

// Builds the tile service against `servers` and an application with its router mounted, once
// for the process; later calls must name the same servers and return the same app.
host::http::App& load_app(const Servers& servers);
// A redis-server of this test program's own, started at first use and killed at exit.
ScratchRedis& program_redis();

// The application and the tile service built by load_app.
host::http::App& app();
const std::shared_ptr<const ::tileway::Service>& service();

// A client address that no other request of this test run uses, so that rate-limit counters
// of different tests never meet. Only a label for Redis keys: nothing is sent to it.
std::string fresh_client();

// One request answered by the application on the event loop. No client address when `client`
// is null, as for a request whose transport gives no peer.
host::http::Response request(std::string method, std::string_view target,
                             const std::optional<std::string>& client);
host::http::Response get(std::string_view target, const std::optional<std::string>& client);
host::http::Response post(std::string_view target, const std::optional<std::string>& client);
// One request with `headers` (names lower-cased), answered by an application of the test's own.
host::http::Response request(const host::http::App& app, std::string method,
                             std::string_view target, host::http::Headers headers);

// GETs of all `targets` from one client at once, answered concurrently on the event loop; the
// answers in the order of the targets, and in `seconds` (when given) how long each took.
std::vector<host::http::Response> get_concurrently(const std::vector<std::string>& targets,
                                                   const std::optional<std::string>& client,
                                                   std::vector<double>* seconds = nullptr);

// The parsed JSON body, and the "detail" of an error answer.
nlohmann::json json_body(const host::http::Response& response);
std::string detail(const host::http::Response& response);

// A connection of the test's own to a Redis server, for looking at and preparing keys.
class RedisInspector {
  public:
    explicit RedisInspector(std::uint16_t port);
    ~RedisInspector();
    RedisInspector(const RedisInspector&) = delete;
    RedisInspector& operator=(const RedisInspector&) = delete;

    host::redis::Reply command(std::vector<std::string> args);
    std::optional<std::string> get(const std::string& key);
    void set(const std::string& key, const std::string& value);
    void del(const std::string& key);
    bool exists(const std::string& key);
    // TTL and PTTL as Redis reports them: -2 for a missing key, -1 for one without expiry.
    std::int64_t ttl(const std::string& key);
    std::int64_t pttl(const std::string& key);
    // Every key matching `pattern`, collected with SCAN, sorted.
    std::vector<std::string> keys(const std::string& pattern);
    // Deletes every key matching `pattern`.
    void del_matching(const std::string& pattern);

  private:
    host::redis::Client client_;
};

// Runs the event loop until `done` holds or two seconds passed; whether it held. Tiles are
// stored after they are answered, and the requests of a test run the loop only while they last.
bool run_loop_until(const std::function<bool()>& done);

// The service's log lines at `level` collected by `capture`.
std::vector<std::string> tileway_lines(const host::logging::Capture& capture,
                                       spdlog::level::level_enum level);

struct TileAddress {
    std::int64_t z, x, y;
    // "{z}/{x}/{y}"
    std::string path() const;
};

// The tile at zoom z holding the point (lon, lat), by the Web Mercator tile scheme.
TileAddress tile_at(double lon, double lat, std::int64_t z);

// The tile at zoom z holding the centre of the plot with the lowest "ID" of the database that
// sql() reaches.
TileAddress tile_with_plots(std::int64_t z);

// Lower-case hexadecimal of bytes, as PostgreSQL's encode(..., 'hex') writes them.
std::string to_hex(std::string_view bytes);

}  // namespace kavara::test::tileway
