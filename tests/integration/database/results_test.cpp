#include "database_fixture.hpp"

#include <cmath>
#include <string>

namespace kavara::test::database {
namespace {

class Results : public ::testing::Test {
  protected:
    std::shared_ptr<Pool> pool = make_pool(2);
};

TEST_F(Results, ByteaArrivesByteExactWithNuls) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto result = co_await db.execute(
            "SELECT decode('00ff000d0a00', 'hex') AS body, decode('', 'hex') AS empty");
        auto row = *result.first();
        EXPECT_EQ(row["body"].bytes(), std::string("\0\xff\0\r\n\0", 6));
        EXPECT_FALSE(row["empty"].is_null());
        EXPECT_TRUE(row["empty"].bytes().empty());
        // 64 KiB of every byte value in turn, the size of a real tile.
        auto big = co_await db.execute(
            "SELECT string_agg(decode(lpad(to_hex(i % 256), 2, '0'), 'hex'), ''::bytea) "
            "FROM generate_series(0, 65535) AS i");
        std::string expected;
        for (int i = 0; i < 65536; ++i)
            expected += static_cast<char>(i % 256);
        EXPECT_EQ(big.scalar_one_or_none()->bytes(), expected);
        co_await db.close();
    }());
}

// Parsed and planned afresh, prepared (past the runs that get plans of their own, so also with
// the plan kept for every run), with or without its BEGIN and COMMIT in the same round trip.
TEST_F(Results, BytesAreTheSameHoweverTheStatementIsRun) {
    PoolOptions options;
    options.conninfo = our_conninfo();
    options.prepared_statements = 0;
    auto unprepared = Pool::create(host::event_loop().get_executor(), options);
    const std::string statement =
        "SELECT string_agg(decode(lpad(to_hex(i % 256), 2, '0'), 'hex'), ''::bytea) "
        "FROM generate_series(:first::int, :last::int) AS i";
    const Params params = {{"first", std::int64_t{0}}, {"last", std::int64_t{65535}}};
    std::string expected;
    for (int i = 0; i < 65536; ++i)
        expected += static_cast<char>(i % 256);
    using Call = awaitable<Result> (Session::*)(std::string_view, const Params&);
    struct Case {
        const char* what;
        std::shared_ptr<Pool> pool;
        Call call;
    };
    const Case cases[] = {
        {"unprepared", unprepared, &Session::execute},
        {"unprepared, committed with it", unprepared, &Session::execute_and_commit},
        {"prepared", pool, &Session::execute},
        {"prepared, committed with it", pool, &Session::execute_and_commit}};
    run([&]() -> awaitable<void> {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Session db(c.pool);
            for (int run = 0; run < 7; ++run) {
                auto result = co_await (db.*c.call)(statement, params);
                EXPECT_EQ(result.scalar_one_or_none()->bytes(), expected) << "run " << run;
                co_await db.commit();
            }
            co_await db.close();
        }
    }());
}

TEST_F(Results, BytesKeepTheResultAlive) {
    host::Bytes body = run([&]() -> awaitable<host::Bytes> {
        Session db(pool);
        auto result = co_await db.execute("SELECT decode(repeat('ab', 1000), 'hex')");
        host::Bytes bytes = result.scalar_one_or_none()->bytes();
        co_await db.close();
        co_return bytes;
    }());
    // The session and the result are gone; the sanitizer would see a copy-less view dangle.
    EXPECT_EQ(body, std::string(1000, '\xab'));
}

TEST_F(Results, ScalarOneOrNoneAndFirst) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto one = co_await db.execute("SELECT 'x'::text AS letter, 2 AS number");
        EXPECT_EQ(one.scalar_one_or_none()->text(), "x");
        auto row = *one.first();
        EXPECT_EQ(row["letter"].text(), "x");
        EXPECT_EQ(row["number"].as_int(), 2);
        EXPECT_EQ(row.size(), 2);
        EXPECT_THROW(row["Letter"], std::out_of_range);  // names are exact
        auto quoted = co_await db.execute(R"(SELECT 1 AS "MixedCase")");
        EXPECT_EQ((*quoted.first())["MixedCase"].as_int(), 1);

        auto none = co_await db.execute("SELECT 1 WHERE false");
        EXPECT_FALSE(none.scalar_one_or_none().has_value());
        EXPECT_FALSE(none.first().has_value());
        EXPECT_EQ(none.rows(), 0);

        auto null = co_await db.execute("SELECT NULL::bytea AS nothing");
        EXPECT_FALSE(null.scalar_one_or_none().has_value());
        EXPECT_TRUE((*null.first())["nothing"].is_null());

        auto many = co_await db.execute("SELECT generate_series(1, 3) AS n");
        EXPECT_THROW(many.scalar_one_or_none(), DatabaseError);
        EXPECT_EQ((*many.first())["n"].as_int(), 1);
        EXPECT_EQ(many.row(2)["n"].as_int(), 3);
        co_await db.close();
    }());
}

TEST_F(Results, NumbersOfEveryType) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto result = co_await db.execute(
            "SELECT 7::int2 AS i2, (-2147483648)::int4 AS i4, 9007199254740993::int8 AS i8, "
            "1.5::float4 AS f4, 0.1::float8 AS f8, 12345.678::numeric AS n, "
            "-0.000123::numeric AS small, 'NaN'::numeric AS nan, 1e20::numeric AS big, "
            "true AS yes, false AS no, 'v'::varchar AS v, 'c'::char(3) AS c, "
            "'{\"a\": 1}'::json AS j, '{\"a\": 1}'::jsonb AS jb, 'name'::name AS nm");
        auto row = *result.first();
        EXPECT_EQ(row["i2"].as_int(), 7);
        EXPECT_EQ(row["i4"].as_int(), -2147483648LL);
        EXPECT_EQ(row["i8"].as_int(), 9007199254740993LL);
        EXPECT_EQ(row["i8"].as_double(), 9007199254740992.0);
        EXPECT_EQ(row["f4"].as_double(), 1.5);
        EXPECT_EQ(row["f8"].as_double(), 0.1);
        EXPECT_EQ(row["n"].as_double(), 12345.678);
        EXPECT_EQ(row["small"].as_double(), -0.000123);
        EXPECT_TRUE(std::isnan(row["nan"].as_double()));
        EXPECT_EQ(row["big"].as_double(), 1e20);
        EXPECT_TRUE(row["yes"].as_bool());
        EXPECT_FALSE(row["no"].as_bool());
        EXPECT_EQ(row["v"].text(), "v");
        EXPECT_EQ(row["c"].text(), "c  ");
        EXPECT_EQ(row["j"].text(), "{\"a\": 1}");
        EXPECT_EQ(row["jb"].text(), "{\"a\": 1}");
        EXPECT_EQ(row["nm"].text(), "name");
        co_await db.close();
    }());
}

TEST_F(Results, ValuesAreBoundInTheirTextForm) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        Params params = {{"i", std::int64_t{-9007199254740993}},
                         {"r", 0.1},
                         {"tiny", 5e-324},
                         {"inf", HUGE_VAL},
                         {"yes", true},
                         {"none", std::monostate{}},
                         {"s", std::string("it's :i -- not a comment")},
                         {"unused", 1.0}};
        auto result = co_await db.execute(
            "SELECT :i::int8 AS i, :r::float8 AS r, :r::numeric::text AS r_text, "
            ":tiny::float8 AS tiny, :inf::float8 AS inf, :yes::bool AS yes, "
            ":none::text IS NULL AS none_is_null, :s::text AS s, :i::int8 = :i::int8 AS same",
            params);
        auto row = *result.first();
        EXPECT_EQ(row["i"].as_int(), -9007199254740993LL);
        EXPECT_EQ(row["r"].as_double(), 0.1);
        EXPECT_EQ(row["r_text"].text(), "0.1");  // shortest round-trip text
        EXPECT_EQ(row["tiny"].as_double(), 5e-324);
        EXPECT_EQ(row["inf"].as_double(), HUGE_VAL);
        EXPECT_TRUE(row["yes"].as_bool());
        EXPECT_TRUE(row["none_is_null"].as_bool());
        EXPECT_EQ(row["s"].text(), "it's :i -- not a comment");
        EXPECT_TRUE(row["same"].as_bool());

        Params binary = {{"body", std::string("\\x00ff00")}};
        auto bytea = co_await db.execute("SELECT :body::bytea", binary);
        EXPECT_EQ(bytea.scalar_one_or_none()->bytes(), std::string("\0\xff\0", 3));
        co_await db.close();
    }());
}

TEST_F(Results, ParameterMistakesFailBeforeAnythingIsSent) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        Params nul = {{"s", std::string("a\0b", 3)}};
        EXPECT_THROW(co_await db.execute("SELECT :missing"), std::invalid_argument);
        EXPECT_THROW(co_await db.execute("SELECT :s", nul), std::invalid_argument);
        EXPECT_FALSE(db.has_connection());
        co_await db.close();
    }());
}

}  // namespace
}  // namespace kavara::test::database
