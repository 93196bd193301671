// The settings of kavara-server from an environment and arguments: defaults, what counts as
// unset, arguments winning, --help, and the message of every value that is not allowed.
#include "settings.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace kavara::server {
namespace {

using Variables = std::map<std::string, std::string>;

Settings settings_of(const Variables& variables, const std::vector<std::string>& args = {}) {
    return read_settings(args, [&](const char* name) -> const char* {
        auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    });
}

TEST(Settings, DefaultsWithoutAnyVariable) {
    Settings s = settings_of({});
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 8000);
    EXPECT_EQ(s.workers, kavara::server::default_workers());
    EXPECT_TRUE(s.web_root.string().ends_with("web/dist")) << s.web_root;
    EXPECT_FALSE(s.log_level);
    EXPECT_EQ(s.blocking_threads, 2u);
    EXPECT_EQ(s.database_url, "");
    EXPECT_EQ(s.db_pool_size, 10u);
    EXPECT_EQ(s.trusted_proxies, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(s.tiles.redis.redis_host, "localhost");
    EXPECT_EQ(s.tiles.redis.redis_port, 6379);
    EXPECT_EQ(s.tiles.redis.redis_db, 0);
    EXPECT_FALSE(s.show_usage);
}

TEST(Settings, EveryVariableIsReadAndArgumentsWin) {
    Settings s = settings_of({{"KAVARA_HOST", "0.0.0.0"},
                              {"KAVARA_PORT", "8080"},
                              {"KAVARA_WORKERS", "3"},
                              {"KAVARA_WEB_ROOT", "/srv/page"},
                              {"KAVARA_LOG_LEVEL", "WARNING"},
                              {"KAVARA_BLOCKING_THREADS", "4"},
                              {"KAVARA_PLAN_MEMORY_MB", "300"},
                              {"KAVARA_WATCH_CHANGES", "0"},
                              {"DATABASE_URL", "postgresql://db/kavara"},
                              {"KAVARA_DB_POOL_SIZE", "3"},
                              {"KAVARA_TRUSTED_PROXIES", "10.0.0.0/8, 192.0.2.1"},
                              {"KAVARA_MAX_CONNECTIONS_PER_CLIENT", "32"},
                              {"KAVARA_STREAMS_PER_CLIENT", "1"},
                              {"REDIS_HOST", "cache"},
                              {"REDIS_PORT", "6380"},
                              {"REDIS_DB", "-2"}});
    EXPECT_EQ(s.host, "0.0.0.0");
    EXPECT_EQ(s.port, 8080);
    EXPECT_EQ(s.workers, 3);
    EXPECT_EQ(s.web_root, "/srv/page");
    EXPECT_EQ(s.log_level, spdlog::level::warn);
    EXPECT_EQ(s.blocking_threads, 4u);
    EXPECT_EQ(s.plan_memory_mb, 300u);
    EXPECT_FALSE(s.watch_changes);
    EXPECT_EQ(s.database_url, "postgresql://db/kavara");
    EXPECT_EQ(s.db_pool_size, 3u);
    EXPECT_EQ(s.trusted_proxies, (std::vector<std::string>{"10.0.0.0/8", "192.0.2.1"}));
    EXPECT_EQ(s.max_connections_per_client, 32u);
    EXPECT_EQ(s.tiles.streams_per_client, 1u);
    EXPECT_EQ(s.tiles.redis.redis_host, "cache");
    EXPECT_EQ(s.tiles.redis.redis_port, 6380);
    EXPECT_EQ(s.tiles.redis.redis_db, -2);

    Settings a = settings_of({{"KAVARA_PORT", "8080"}, {"KAVARA_WORKERS", "3"}},
                             {"--port", "0", "--workers", "2", "--host", "::1", "--web-root", ""});
    EXPECT_EQ(a.port, 0);
    EXPECT_EQ(a.workers, 2);
    EXPECT_EQ(a.host, "::1");
    EXPECT_TRUE(a.web_root.empty());
}

TEST(Settings, EmptyVariablesAreUnsetExceptForTheProxiesAndRedisHost) {
    Settings s = settings_of({{"KAVARA_HOST", ""},
                              {"KAVARA_PORT", ""},
                              {"KAVARA_LOG_LEVEL", ""},
                              {"KAVARA_DB_POOL_SIZE", ""},
                              {"KAVARA_BLOCKING_THREADS", ""},
                              {"KAVARA_TRUSTED_PROXIES", ""},
                              {"REDIS_HOST", ""}});
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 8000);
    EXPECT_FALSE(s.log_level);
    EXPECT_EQ(s.db_pool_size, 10u);
    EXPECT_EQ(s.blocking_threads, 2u);
    EXPECT_TRUE(s.trusted_proxies.empty());
    EXPECT_EQ(s.tiles.redis.redis_host, "");
}

TEST(Settings, HelpStopsTheReading) {
    Settings s = settings_of({{"REDIS_PORT", "abc"}}, {"--port", "1", "-h", "--bogus"});
    EXPECT_TRUE(s.show_usage);
    EXPECT_EQ(s.port, 1);
}

TEST(Settings, AValueThatIsNotAllowedIsNamedInTheMessage) {
    struct Case {
        Variables variables;
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{{"KAVARA_PORT", "65536"}},
         {},
         "KAVARA_PORT must be a whole number from 0 to 65535, got '65536'"},
        {{{"KAVARA_PORT", "+80"}},
         {},
         "KAVARA_PORT must be a whole number from 0 to 65535, got '+80'"},
        {{{"KAVARA_PORT", "80 "}},
         {},
         "KAVARA_PORT must be a whole number from 0 to 65535, got '80 '"},
        {{{"KAVARA_WORKERS", "0"}},
         {},
         "KAVARA_WORKERS must be a whole number from 1 to 64, got '0'"},
        {{{"KAVARA_WORKERS", "99999999999999999999"}},
         {},
         "KAVARA_WORKERS must be a whole number from 1 to 64, got '99999999999999999999'"},
        {{}, {"--workers", "zero"}, "--workers must be a whole number from 1 to 64, got 'zero'"},
        {{}, {"--port", "-1"}, "--port must be a whole number from 0 to 65535, got '-1'"},
        {{}, {"--port"}, "--port needs a value"},
        {{}, {"--bogus"}, "unknown argument '--bogus'"},
        {{{"KAVARA_LOG_LEVEL", "loud"}}, {}, "KAVARA_LOG_LEVEL: unknown level 'loud'"},
        {{{"KAVARA_BLOCKING_THREADS", "two"}},
         {},
         "KAVARA_BLOCKING_THREADS must be a whole number from 1 to 64, got 'two'"},
        {{{"KAVARA_WATCH_CHANGES", "yes"}},
         {},
         "KAVARA_WATCH_CHANGES must be a whole number from 0 to 1, got 'yes'"},
        {{{"KAVARA_STREAMS_PER_CLIENT", "0"}},
         {},
         "KAVARA_STREAMS_PER_CLIENT must be a whole number from 1 to 1000, got '0'"},
        {{{"KAVARA_PLAN_MEMORY_MB", "8"}},
         {},
         "KAVARA_PLAN_MEMORY_MB must be a whole number from 16 to 65536, got '8'"},
        {{{"KAVARA_DB_POOL_SIZE", "3x"}},
         {},
         "KAVARA_DB_POOL_SIZE must be a positive integer, not \"3x\""},
        {{{"KAVARA_DB_POOL_SIZE", "0"}},
         {},
         "KAVARA_DB_POOL_SIZE must be a positive integer, not \"0\""},
        {{{"REDIS_PORT", "63.79"}}, {}, "REDIS_PORT must be a whole number, got '63.79'"},
        {{{"REDIS_PORT", ""}}, {}, "REDIS_PORT must be a whole number, got ''"},
        {{{"REDIS_PORT", "70000"}},
         {},
         "REDIS_PORT must be a port number from 0 to 65535, got 70000"},
        {{{"REDIS_DB", "zero"}}, {}, "REDIS_DB must be a whole number, got 'zero'"},
    };
    for (const auto& c : cases) {
        try {
            settings_of(c.variables, c.args);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

}  // namespace
}  // namespace kavara::server
