#include "support.hpp"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kavara::test {

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::filesystem::path source_dir() {
    return KAVARA_SOURCE_DIR;
}
std::filesystem::path binary_dir() {
    return KAVARA_BINARY_DIR;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void settle() {
    auto& loop = host::event_loop();
    loop.restart();
    while (host::background_tasks() > 0) {
        if (loop.run_one() == 0)
            loop.restart();
    }
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace {

int bind_loopback(std::uint16_t port, std::uint16_t* bound) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *bound = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

std::uint16_t free_port() {
    std::uint16_t port = 0;
    int fd = bind_loopback(0, &port);
    ::close(fd);
    return port;
}

CommandResult shell(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe)
        throw std::runtime_error("popen failed: " + command);
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    int status = ::pclose(pipe.release());
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

ScratchRedis::ScratchRedis() : port_(free_port()) {
    char pattern[] = "/tmp/kavara-redis-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    start();
}

ScratchRedis::~ScratchRedis() {
    if (pid_ > 0) {
        ::kill(pid_, SIGCONT);
        stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ScratchRedis::start() {
    if (pid_ > 0)
        return;
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        std::string port = std::to_string(port_);
        std::string dir = dir_.string();
        ::freopen("/dev/null", "w", stdout);
        ::execlp("redis-server", "redis-server", "--bind", "127.0.0.1", "--port", port.c_str(),
                 "--save", "", "--appendonly", "no", "--dir", dir.c_str(),
                 static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    pid_ = pid;
    for (int i = 0; i < 200; ++i) {
        if (cli("ping") == "PONG")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("scratch redis-server did not start");
}

void ScratchRedis::stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void ScratchRedis::pause() {
    if (pid_ > 0)
        ::kill(pid_, SIGSTOP);
}

void ScratchRedis::resume() {
    if (pid_ > 0)
        ::kill(pid_, SIGCONT);
}

std::string ScratchRedis::cli(const std::string& args) const {
    return shell("redis-cli -h 127.0.0.1 -p " + std::to_string(port_) + " " + args + " 2>&1").out;
}

SilentListener::SilentListener() {
    fd_ = bind_loopback(0, &port_);
    ::listen(fd_, 64);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string database_url() {
    return env_or("DATABASE_URL", "postgresql://postgres@127.0.0.1:55432/kavara");
}

std::uint16_t redis_port() {
    return static_cast<std::uint16_t>(std::stoi(env_or("REDIS_PORT", "56379")));
}

std::vector<std::string> sql(const std::string& statement) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(database_url().c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(std::string("connect: ") + PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, void (*)(PGresult*)> res(PQexec(conn.get(), statement.c_str()),
                                                       PQclear);
    auto status = PQresultStatus(res.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(std::string("sql: ") + PQerrorMessage(conn.get()));
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(res.get()); ++i)
        rows.emplace_back(PQgetisnull(res.get(), i, 0) ? "" : PQgetvalue(res.get(), i, 0));
    return rows;
}

host::redis::Options local_redis(std::uint16_t port, double socket_timeout) {
    host::redis::Options options;
    options.host = "127.0.0.1";
    options.port = port;
    options.socket_timeout = socket_timeout;
    return options;
}

}  // namespace kavara::test
