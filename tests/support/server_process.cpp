#include "server_process.hpp"

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kavara::test {
namespace {

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

std::string server_binary() {
    return (binary_dir() / "bin" / "kavara-server").string();
}

ServerProcess::ServerProcess(const std::string& environment,
                             const std::vector<std::string>& arguments)
    : port_(free_port()) {
    out_ =
        "/tmp/kavara-server-" + std::to_string(::getpid()) + "-" + std::to_string(port_) + ".out";
    // env(1) takes its "-u" options before the assignments. One worker unless an argument asks
    // for more, so the start-up lines come once.
    std::string command = "exec env " + environment + " KAVARA_WORKERS=1" +
                          " KAVARA_PORT=" + std::to_string(port_) + " " + server_binary();
    for (const auto& argument : arguments)
        command += " " + argument;
    command += " >" + out_ + " 2>" + out_ + ".err";
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::remove(out_.c_str());
    std::remove((out_ + ".err").c_str());
}

bool ServerProcess::wait_listening(std::chrono::milliseconds limit) {
    return eventually([&] { return output().find("Kavara server listening") != std::string::npos; },
                      limit);
}

bool ServerProcess::wait_healthy() {
    for (int i = 0; i < 300; ++i) {
        if (curl("/gis/health/").status == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int ServerProcess::stop() {
    // kill(-1) would reach every process of the user.
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServerProcess::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

CommandResult ServerProcess::curl(const std::string& path, const std::string& extra) const {
    return shell("curl -sf --max-time 10 " + extra + " " + url(path));
}

std::string ServerProcess::output() const {
    return file_text(out_);
}

std::string ServerProcess::errors() const {
    return file_text(out_ + ".err");
}

}  // namespace kavara::test
