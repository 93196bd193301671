// The files of the demo page: index and media types, cache headers by name, revalidation with
// ETag, gzip copies, and every way a path could reach outside the web root. Also the router's
// fallback, which must never shadow an API route.
#include "host/static_files.hpp"
#include "host/router.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using host::http::Request;
using host::http::StaticFiles;

void write(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class StaticFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                ("kavara-static-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        root_ = base_ / "dist";
        write(root_ / "index.html", "<h1>map</h1>");
        write(root_ / "assets" / "app-0a22a9a03b08.js", "export {};");
        write(root_ / "assets" / "app-0a22a9a03b08.js.gz", "gzipped");
        write(root_ / "favicon.svg", "<svg/>");
        write(root_ / ".env", "secret");
        write(base_ / "outside.txt", "secret");
    }
    void TearDown() override { fs::remove_all(base_); }

    std::optional<host::http::Response> get(std::string path, host::http::Headers headers = {}) {
        Request request;
        request.method = "GET";
        request.path = std::move(path);
        request.headers = std::move(headers);
        return StaticFiles(root_).serve(request);
    }

    fs::path base_;
    fs::path root_;
};

TEST_F(StaticFilesTest, ServesTheIndexAndFilesWithTheirMediaTypes) {
    auto index = get("/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 200u);
    EXPECT_EQ(index->body, "<h1>map</h1>");
    EXPECT_EQ(index->media_type, "text/html; charset=utf-8");
    EXPECT_EQ(index->header("X-Content-Type-Options"), "nosniff");

    auto script = get("/assets/app-0a22a9a03b08.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->media_type, "text/javascript; charset=utf-8");
    EXPECT_EQ(script->body, "export {};");

    EXPECT_EQ(get("/favicon.svg")->media_type, "image/svg+xml");
    EXPECT_EQ(get("/%66avicon.svg")->body, "<svg/>");  // percent-encoded names are decoded
    EXPECT_EQ(host::http::media_type_for("PLAN.PDF"), "application/pdf");
    EXPECT_EQ(host::http::media_type_for("README"), "application/octet-stream");
}

TEST_F(StaticFilesTest, CachesHashedNamesForAYearAndRevalidatesTheRest) {
    EXPECT_EQ(get("/")->header("Cache-Control"), "no-cache");
    EXPECT_EQ(get("/assets/app-0a22a9a03b08.js")->header("Cache-Control"),
              "public, max-age=31536000, immutable");
    EXPECT_EQ(get("/favicon.svg")->header("Cache-Control"), "public, max-age=3600");
}

TEST_F(StaticFilesTest, AnswersNotModifiedForAMatchingTag) {
    auto first = get("/");
    const std::string tag(first->header("ETag"));
    ASSERT_FALSE(tag.empty());

    auto again = get("/", {{"if-none-match", "\"other\", W/" + tag}});
    EXPECT_EQ(again->status, 304u);
    EXPECT_TRUE(again->body.empty());
    EXPECT_EQ(again->header("ETag"), tag);

    EXPECT_EQ(get("/", {{"if-none-match", "\"other\""}})->status, 200u);

    write(root_ / "index.html", "<h1>a new map</h1>");  // a rebuilt page has a new tag
    EXPECT_EQ(get("/", {{"if-none-match", tag}})->status, 200u);
}

TEST_F(StaticFilesTest, SendsTheGzipCopyOnlyToClientsThatTakeIt) {
    const std::string path = "/assets/app-0a22a9a03b08.js";
    auto zipped = get(path, {{"accept-encoding", "br, gzip;q=0.8"}});
    EXPECT_EQ(zipped->body, "gzipped");
    EXPECT_EQ(zipped->header("Content-Encoding"), "gzip");
    EXPECT_EQ(zipped->media_type, "text/javascript; charset=utf-8");
    EXPECT_EQ(zipped->header("Vary"), "Accept-Encoding");

    for (const char* refusing : {"", "br", "gzip;q=0", "identity"}) {
        auto plain = get(path, {{"accept-encoding", refusing}});
        EXPECT_EQ(plain->body, "export {};") << refusing;
        EXPECT_EQ(plain->header("Content-Encoding"), "") << refusing;
    }
    // The two variants must not share a tag, or a cache could hand one for the other.
    EXPECT_NE(zipped->header("ETag"), get(path)->header("ETag"));
}

TEST_F(StaticFilesTest, NothingOutsideTheRootOrHiddenIsServed) {
    for (const char* path : {"/../outside.txt", "/assets/../../outside.txt", "/%2e%2e/outside.txt",
                             "/%2E%2E%2Foutside.txt", "/.env", "/assets/%2e/app-0a22a9a03b08.js",
                             "/index.html%00.js", "/assets\\..\\..\\outside.txt", "//etc/passwd",
                             "/assets", "/assets/", "/missing.js", "/%zz", "/%2", "", "index.html"})
        EXPECT_FALSE(get(path)) << path;

    fs::create_symlink(base_ / "outside.txt", root_ / "link.txt");
    EXPECT_FALSE(get("/link.txt"));
    fs::create_symlink(root_ / "favicon.svg", root_ / "icon.svg");  // inside the root: fine
    EXPECT_TRUE(get("/icon.svg"));
}

TEST_F(StaticFilesTest, AGzipCopyIsSentOnlyWhenItPassesTheChecksOfAFile) {
    const fs::path copy = root_ / "favicon.svg.gz";
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* body;
    };
    const Case cases[] = {
        {"a link out of the root", [&] { fs::create_symlink(base_ / "outside.txt", copy); },
         "<svg/>"},
        {"a link to a hidden file", [&] { fs::create_symlink(root_ / ".env", copy); }, "<svg/>"},
        {"a folder", [&] { fs::create_directory(copy); }, "<svg/>"},
        {"a link inside the root",
         [&] { fs::create_symlink(root_ / "assets" / "app-0a22a9a03b08.js.gz", copy); }, "gzipped"},
    };
    for (const auto& c : cases) {
        fs::remove_all(copy);
        c.make();
        auto answer = get("/favicon.svg", {{"accept-encoding", "gzip"}});
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(answer->body, c.body) << c.what;
        EXPECT_EQ(answer->header("Content-Encoding") == "gzip", c.body == std::string("gzipped"))
            << c.what;
    }
}

TEST_F(StaticFilesTest, OnlyGetIsServedAndTheRootMustExist) {
    Request post;
    post.method = "POST";
    post.path = "/";
    EXPECT_FALSE(StaticFiles(root_).serve(post));
    EXPECT_THROW(StaticFiles(base_ / "no-such-folder"), std::invalid_argument);
    EXPECT_THROW(StaticFiles(root_ / "index.html"), std::invalid_argument);
}

host::http::App app_with_fallback(host::http::App::Fallback fallback) {
    host::http::App app;
    app.add({.method = "POST",
             .path = "/gis/cache/invalidate",
             .name = "invalidate",
             .handler = [](host::http::Call&) -> host::awaitable<host::http::Response> {
                 co_return host::http::json_response({{"route", "invalidate"}});
             }});
    app.set_fallback(std::move(fallback));
    return app;
}

host::http::Response handle(const host::http::App& app, const char* method, const char* path) {
    Request request;
    request.method = method;
    request.path = path;
    return kavara::test::run(app.handle(request));
}

TEST(RouterFallback, AnswersOnlyPathsNoRouteClaims) {
    int asked = 0;
    auto app = app_with_fallback([&asked](const Request& request) {
        ++asked;
        if (request.path == "/")
            return std::optional(host::http::raw_response(host::Bytes(std::string("page")),
                                                          "text/html; charset=utf-8"));
        return std::optional<host::http::Response>();
    });
    EXPECT_EQ(handle(app, "GET", "/").body, "page");
    EXPECT_EQ(handle(app, "GET", "/nothing").status, 404u);
    // A route's path with another method is a 405, never a file.
    EXPECT_EQ(handle(app, "GET", "/gis/cache/invalidate").status, 405u);
    EXPECT_EQ(asked, 2);
}

TEST(RouterFallback, AFailingFallbackIsAnInternalError) {
    auto app = app_with_fallback([](const Request&) -> std::optional<host::http::Response> {
        throw std::runtime_error("disk");
    });
    EXPECT_EQ(handle(app, "GET", "/").status, 500u);
}

}  // namespace
