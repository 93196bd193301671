// The wire format of the Redis client: command encoding and incremental reply decoding.
#include "redis_codec.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using host::redis::RedisError;
using host::redis::Reply;
using host::redis::ReplyError;
using host::redis::detail::encode_command;
using host::redis::detail::ReplyPtr;
using host::redis::detail::ReplyReader;
using host::redis::detail::to_reply;

using namespace std::string_literals;

const std::string kBinary = "a\0b\r\nc\xff"s;

std::string bulk(std::string_view value) {
    return "$" + std::to_string(value.size()) + "\r\n" + std::string(value) + "\r\n";
}

// Feeds `wire` to a fresh reader in pieces of `piece` bytes and returns the decoded replies.
std::vector<Reply> decode_all(std::string_view wire, std::size_t piece) {
    ReplyReader reader;
    std::vector<Reply> replies;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        reader.feed(wire.substr(at, piece));
        while (ReplyPtr reply = reader.next())
            replies.push_back(to_reply(reply, *reply));
    }
    return replies;
}

Reply decode_one(std::string_view wire) {
    auto replies = decode_all(wire, wire.size());
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Reply{} : replies.front();
}

TEST(RedisEncoding, WritesLengthPrefixedArgumentsSoBinaryValuesNeedNoEscaping) {
    const std::vector<std::string_view> args{"SET", "k", kBinary, ""};
    EXPECT_EQ(encode_command(args),
              "*4\r\n$3\r\nSET\r\n$1\r\nk\r\n"s + bulk(kBinary) + "$0\r\n\r\n");
}

TEST(RedisEncoding, RefusesAnEmptyCommand) {
    // The server answers nothing to "*0", which would shift every later reply by one.
    EXPECT_THROW(encode_command({}), std::invalid_argument);
}

TEST(RedisEncoding, AnEncodedCommandDecodesBackToItsArguments) {
    const std::vector<std::string_view> args{"SET", kBinary, ""};
    Reply decoded = decode_one(encode_command(args));
    ASSERT_EQ(decoded.type, Reply::Type::array);
    ASSERT_EQ(decoded.elements.size(), 3u);
    for (std::size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(decoded.elements[i].str, args[i]);
}

TEST(RedisDecoding, DecodesEveryReplyType) {
    const std::string wire =
        "+OK\r\n:-42\r\n$-1\r\n$0\r\n\r\n"s + bulk(kBinary) + "*3\r\n:1\r\n*-1\r\n*1\r\n+inner\r\n";
    auto replies = decode_all(wire, wire.size());
    ASSERT_EQ(replies.size(), 6u);

    EXPECT_EQ(replies[0].type, Reply::Type::status);
    EXPECT_EQ(replies[0].str, "OK");
    EXPECT_EQ(replies[1].type, Reply::Type::integer);
    EXPECT_EQ(replies[1].integer, -42);
    EXPECT_TRUE(replies[2].is_nil());
    // An empty string is a value, not a nil.
    EXPECT_EQ(replies[3].type, Reply::Type::string);
    EXPECT_TRUE(replies[3].str.empty());
    EXPECT_EQ(replies[4].str, kBinary);

    const Reply& array = replies[5];
    ASSERT_EQ(array.type, Reply::Type::array);
    ASSERT_EQ(array.elements.size(), 3u);
    EXPECT_EQ(array.elements[0].integer, 1);
    EXPECT_TRUE(array.elements[1].is_nil());
    ASSERT_EQ(array.elements[2].elements.size(), 1u);
    EXPECT_EQ(array.elements[2].elements[0].str, "inner");
}

TEST(RedisDecoding, ReassemblesRepliesFedOneByteAtATime) {
    const std::string wire = bulk(kBinary) + "*2\r\n:7\r\n$3\r\nxyz\r\n+PONG\r\n";
    auto bytewise = decode_all(wire, 1);
    ASSERT_EQ(bytewise.size(), 3u);
    EXPECT_EQ(bytewise[0].str, kBinary);
    EXPECT_EQ(bytewise[1].elements[1].str, "xyz");
    EXPECT_EQ(bytewise[2].str, "PONG");
}

TEST(RedisDecoding, HandsOutNothingUntilAReplyIsComplete) {
    ReplyReader reader;
    reader.feed("$5\r\nabc");
    EXPECT_EQ(reader.next(), nullptr);
    reader.feed("de\r");
    EXPECT_EQ(reader.next(), nullptr);
    reader.feed("\n");
    ReplyPtr reply = reader.next();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(to_reply(reply, *reply).str, "abcde");
    EXPECT_EQ(reader.next(), nullptr);
}

TEST(RedisDecoding, StringsPointIntoTheDecodedReplyAndKeepItAlive) {
    ReplyReader reader;
    reader.feed("*2\r\n$5\r\nfirst\r\n$6\r\nsecond\r\n");
    ReplyPtr reply = reader.next();
    ASSERT_NE(reply, nullptr);
    const char* stored = reply->element[1]->str;

    Reply decoded = to_reply(reply, *reply);
    reply.reset();  // the Bytes are now the only owners of the tree

    EXPECT_EQ(decoded.elements[1].str.data(), stored);
    EXPECT_EQ(decoded.elements[1].str, "second");
    EXPECT_EQ(decoded.elements[0].str, "first");
}

TEST(RedisDecoding, ErrorRepliesBecomeReplyErrorsWithTheServersMessage) {
    // Section: at the top level.
    try {
        decode_one("-WRONGTYPE Operation against a key holding the wrong kind of value\r\n");
        FAIL() << "no ReplyError";
    } catch (const ReplyError& e) {
        EXPECT_STREQ(e.what(), "WRONGTYPE Operation against a key holding the wrong kind of value");
    }
    // Section: inside an array, as EXEC reports a failed command.
    try {
        decode_one("*2\r\n:1\r\n-ERR value is not an integer\r\n");
        FAIL() << "no ReplyError";
    } catch (const ReplyError& e) {
        EXPECT_STREQ(e.what(), "ERR value is not an integer");
    }
}

// A malformed reply, and one that claims more elements than any reply holds (it would take
// gigabytes before its first element came), fail the reader without a server error reply.
TEST(RedisDecoding, MalformedOrOversizedInputIsAProtocolError) {
    struct Case {
        const char* bytes;
        const char* message;
    };
    for (const Case c :
         {Case{"?what\r\n", "Protocol error"}, Case{"*0\r\n*555555552\r\n", "Reply too large"},
          Case{"*1\r\n*2000000000\r\n", "Reply too large"}}) {
        ReplyReader reader;
        reader.feed(c.bytes);
        try {
            while (reader.next()) {
            }
            FAIL() << "no RedisError for " << c.bytes;
        } catch (const ReplyError&) {
            FAIL() << "a protocol error is not a server error reply";
        } catch (const RedisError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    std::string thousand = "*1000\r\n";  // a large array within the bound is read as usual
    for (int i = 0; i < 1000; ++i)
        thousand += ":1\r\n";
    ReplyReader reader;
    reader.feed(thousand);
    auto reply = reader.next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->elements, 1000u);
}

}  // namespace
