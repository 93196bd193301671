#include "database_fixture.hpp"
#include "scratch_postgres.hpp"

namespace kavara::test::database {
namespace {

TEST(Restart, SessionsWorkAgainOnceTheServerIsBack) {
    ScratchPostgres server;
    auto pool = make_pool(2, conninfo_with_port(server.port()));
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
