// The static-file path resolver from raw request paths, over a web root made for the run: a
// page, a folder with its index and a hidden file, a link leading out of the root and a secret
// beside the root. Whatever the path, an answer is one of the root's own files, never the
// secret, a hidden file or what the link points at.
#include "host/static_files.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace {

namespace fs = std::filesystem;

void write(const fs::path& file, std::string_view text) {
    std::ofstream(file, std::ios::binary) << text;
}

const host::http::StaticFiles& files() {
    static const host::http::StaticFiles instance = [] {
        const fs::path base =
            fs::temp_directory_path() / ("kavara-fuzz-static-" + std::to_string(::getpid()));
        fs::create_directories(base / "root" / "docs");
        write(base / "secret.txt", "SECRET");
        write(base / "root" / "index.html", "page");
        write(base / "root" / "app-0123abcd.js", "script");
        write(base / "root" / "docs" / "index.html", "docs");
        write(base / "root" / ".hidden", "SECRET");
        std::error_code ec;
        fs::create_symlink(base / "secret.txt", base / "root" / "out.txt", ec);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(
                fs::temp_directory_path() / ("kavara-fuzz-static-" + std::to_string(::getpid())),
                ignored);
        });
        return host::http::StaticFiles(base / "root");
    }();
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    host::http::Request request;
    request.method = "GET";
    request.path.assign(reinterpret_cast<const char*>(data), size);
    request.target = request.path;
    if (size > 0 && data[0] % 2)
        request.headers.emplace_back("accept-encoding", "gzip");
    if (auto answer = files().serve(request)) {
        const auto body = answer->body.view();
        if (answer->status != 200 && answer->status != 304)
            std::abort();
        if (body.find("SECRET") != std::string_view::npos)
            std::abort();
    }
    return 0;
}
