#include "database_fixture.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kavara::test::database {
namespace {

// A PostgreSQL cluster of the test's own, which it may stop and start again.
class ScratchPostgres {
  public:
    ScratchPostgres() : port_(free_port()) {
        char pattern[] = "/tmp/kavara-pg-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        // The server runs as a system user of its own, which must reach the cluster below.
        std::filesystem::permissions(dir_, std::filesystem::perms(0755));
        start();
    }
    ~ScratchPostgres() {
        services("pg-stop");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchPostgres(const ScratchPostgres&) = delete;
    ScratchPostgres& operator=(const ScratchPostgres&) = delete;

    void start() {
        auto result = services("pg-start");
        if (result.status != 0)
            throw std::runtime_error("scratch PostgreSQL: " + result.out);
    }
    void stop() { services("pg-stop"); }
    std::string conninfo() const { return conninfo_with_port(port_); }

  private:
    CommandResult services(const std::string& command) const {
        return shell("KAVARA_STATE_DIR=" + dir_.string() +
                     " KAVARA_PG_PORT=" + std::to_string(port_) + " " +
                     (source_dir() / "scripts/services").string() + " " + command + " 2>&1");
    }

    std::uint16_t port_;
    std::filesystem::path dir_;
};

TEST(Restart, SessionsWorkAgainOnceTheServerIsBack) {
    ScratchPostgres server;
    auto pool = make_pool(2, server.conninfo());
    run([&]() -> awaitable<void> {
        Session idle_one(pool), in_transaction(pool);
        co_await idle_one.execute("SELECT 1");
        co_await in_transaction.execute("SELECT 1");
        co_await idle_one.close();
        EXPECT_EQ(pool->open(), 2u);
        EXPECT_EQ(pool->idle(), 1u);

        server.stop();
        EXPECT_THROW(co_await in_transaction.execute("SELECT 1"), DatabaseError);
        co_await in_transaction.rollback();
        co_await in_transaction.close();
        EXPECT_EQ(pool->open(), 1u);

        // The idle connection is found dead at its lease; the new one is refused.
        Session while_down(pool);
        try {
            co_await while_down.execute("SELECT 1");
            ADD_FAILURE() << "a statement ran while the server was down";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.sqlstate(), "08001") << e.what();
        }
        EXPECT_EQ(pool->open(), 0u);

        server.start();
        Session after(pool);
        auto result = co_await after.execute("SELECT 41 + 1");
        EXPECT_EQ(result.scalar_one_or_none()->as_int(), 42);
        co_await after.commit();
        co_await after.close();
        EXPECT_EQ(pool->open(), 1u);
        EXPECT_EQ(pool->idle(), 1u);
    }());
}

}  // namespace
}  // namespace kavara::test::database
