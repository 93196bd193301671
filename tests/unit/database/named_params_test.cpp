#include "host/database.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using host::database::Params;
using host::database::translate_named_params;

const Params abc_values = {{"a", std::int64_t{1}}, {"b", 2.5}, {"c", std::string("three")}};

std::string translated(std::string_view sql, const Params& params = abc_values) {
    return translate_named_params(sql, params).sql;
}

TEST(NamedParams, NumbersFollowFirstAppearanceAndRepeatsShareTheirNumber) {
    auto result = translate_named_params("SELECT :b, :a, :b, :c", abc_values);
    EXPECT_EQ(result.sql, "SELECT $1, $2, $1, $3");
    ASSERT_EQ(result.values.size(), 3u);
    // The values are the caller's own objects, in the order of the numbers.
    EXPECT_EQ(result.values[0], &abc_values[1].second);
    EXPECT_EQ(result.values[1], &abc_values[0].second);
    EXPECT_EQ(result.values[2], &abc_values[2].second);
}

TEST(NamedParams, CastsStayCasts) {
    EXPECT_EQ(translated("SELECT :a::int, x::text, :b::double precision"),
              "SELECT $1::int, x::text, $2::double precision");
    EXPECT_EQ(translated("SELECT '{}'::jsonb"), "SELECT '{}'::jsonb");
}

TEST(NamedParams, QuotedTextIsLeftAlone) {
    EXPECT_EQ(translated("SELECT ':a', 'it''s :a', :b"), "SELECT ':a', 'it''s :a', $1");
    EXPECT_EQ(translated("SELECT '''' || :a"), "SELECT '''' || $1");
    // In E'' strings a backslash escapes the quote, so the string runs on to the last quote.
    EXPECT_EQ(translated(R"(SELECT E'\' :a', :b)"), R"(SELECT E'\' :a', $1)");
    // Without the E prefix the backslash is an ordinary character.
    EXPECT_EQ(translated(R"(SELECT '\', :a)"), R"(SELECT '\', $1)");
}

TEST(NamedParams, QuotedIdentifiersAreLeftAlone) {
    EXPECT_EQ(translated(R"(SELECT "col:a", "x""y:b" FROM "GIS"."PLOT" WHERE id = :a)"),
              R"(SELECT "col:a", "x""y:b" FROM "GIS"."PLOT" WHERE id = $1)");
}

TEST(NamedParams, CommentsAreLeftAlone) {
    EXPECT_EQ(translated("SELECT 1 -- :a\n, :b"), "SELECT 1 -- :a\n, $1");
    EXPECT_EQ(translated("SELECT /* :a /* nested :b */ still :c */ :a"),
              "SELECT /* :a /* nested :b */ still :c */ $1");
    EXPECT_EQ(translated("SELECT :a -- :b at the end"), "SELECT $1 -- :b at the end");
}

TEST(NamedParams, DollarQuotedTextIsLeftAlone) {
    EXPECT_EQ(translated("SELECT $$ :a $$, :b"), "SELECT $$ :a $$, $1");
    EXPECT_EQ(translated("SELECT $fn$ :a $x$ :b $fn$, :c"), "SELECT $fn$ :a $x$ :b $fn$, $1");
    // Not dollar quotes: a positional parameter and a '$' inside an identifier.
    EXPECT_EQ(translated("SELECT $1, price$eur$, :a"), "SELECT $1, price$eur$, $1");
}

TEST(NamedParams, AColonWithoutANameIsText) {
    EXPECT_EQ(translated("SELECT a[1:2], ': x', :1, x : y"), "SELECT a[1:2], ': x', :1, x : y");
    EXPECT_EQ(translated("SELECT 1:"), "SELECT 1:");
    EXPECT_EQ(translated("SELECT :"), "SELECT :");
}

TEST(NamedParams, ANameEndsAtTheFirstNonIdentifierCharacter) {
    EXPECT_EQ(translated("SELECT :a"), "SELECT $1");
    EXPECT_EQ(translated("SELECT :a,:b)"), "SELECT $1,$2)");
    Params underscored = {{"min_x", 1.0}, {"_y2", 2.0}};
    EXPECT_EQ(translated("f(:min_x,:_y2)", underscored), "f($1,$2)");
}

TEST(NamedParams, AMissingValueNamesTheParameter) {
    try {
        translate_named_params("SELECT :a, :missing", abc_values);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(":missing"), std::string::npos) << e.what();
    }
    // A longer name is a different name.
    EXPECT_THROW(translate_named_params("SELECT :ab", abc_values), std::invalid_argument);
}

TEST(NamedParams, UnusedValuesAreFine) {
    auto result = translate_named_params("SELECT :c", abc_values);
    EXPECT_EQ(result.sql, "SELECT $1");
    EXPECT_EQ(result.values.size(), 1u);
    EXPECT_TRUE(translate_named_params("SELECT 1", abc_values).values.empty());
}

TEST(NamedParams, UnterminatedQuotesSwallowTheRest) {
    // The server reports the syntax error; nothing inside is taken for a parameter.
    EXPECT_EQ(translated("SELECT 'open :a"), "SELECT 'open :a");
    EXPECT_EQ(translated("SELECT /* open :a"), "SELECT /* open :a");
    EXPECT_EQ(translated("SELECT $q$ open :a"), "SELECT $q$ open :a");
}

}  // namespace
