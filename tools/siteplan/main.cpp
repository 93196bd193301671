// kavara-siteplan INPUT.json -o PLAN.png [--result RESULT.json] [--pdf PLAN.pdf]
//
// INPUT.json holds the arguments of a plan, checked as the POST route checks its body (see
// plots/plan_request.hpp). Bad input gives one error line on standard error and exit code 2;
// other failures exit 1. No output file is written unless every output could be made.
#include <host/json_limits.hpp>
#include <plots/errors.hpp>
#include <plots/plan_request.hpp>
#include <plots/plot.hpp>
#include <plots/render.hpp>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using plots::Json;

constexpr int exit_bad_input = 2;
constexpr int exit_failure = 1;

// Input the user can correct; everything else is a failure of the machine.
class UsageError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

struct Arguments {
    std::string input;
    std::string png;
    std::optional<std::string> result;
    std::optional<std::string> pdf;
};

Arguments parse_arguments(int argc, char** argv) {
    Arguments args;
    std::vector<std::string> words(argv + 1, argv + argc);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool takes_value = word == "-o" || word == "--result" || word == "--pdf";
        if (takes_value && i + 1 == words.size())
            throw UsageError(word + " needs a file name");
        if (word == "-o") {
            args.png = words[++i];
        } else if (word == "--result") {
            args.result = words[++i];
        } else if (word == "--pdf") {
            args.pdf = words[++i];
        } else if (!word.empty() && word[0] == '-') {
            throw UsageError("unknown option " + word);
        } else if (args.input.empty()) {
            args.input = word;
        } else {
            throw UsageError("more than one input file: " + word);
        }
    }
    if (args.input.empty() || args.png.empty()) {
        throw UsageError(
            "usage: kavara-siteplan INPUT.json -o PLAN.png [--result RESULT.json] [--pdf "
            "PLAN.pdf]");
    }
    return args;
}

plots::PlanRequest read_request(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError("cannot read " + path);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    try {
        return plots::read_plan_request(host::parse_json<Json>(text));
    } catch (const std::invalid_argument& error) {  // plots::InputError, host::JsonTooDeep
        throw UsageError(path + ": " + error.what());
    }
}

// A file written beside its destination and renamed over it on commit; removed if never committed.
class PendingFile {
  public:
    PendingFile(std::string destination, const std::string& bytes)
        : destination_(std::move(destination)) {
        std::string pattern = destination_ + ".XXXXXX";
        int fd = mkstemp(pattern.data());
        if (fd < 0)
            throw std::runtime_error("cannot create a file beside " + destination_);
        temporary_ = pattern;
        // mkstemp makes the file private; a plan is an ordinary file, readable as the umask allows.
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        bool written =
            ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        bool closed = ::close(fd) == 0;
        if (!written || !closed)
            throw std::runtime_error("cannot write " + temporary_);
    }
    ~PendingFile() {
        if (!temporary_.empty())
            std::remove(temporary_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void commit() {
        std::filesystem::rename(temporary_, destination_);
        temporary_.clear();
    }

  private:
    std::string destination_;
    std::string temporary_;
};

void run(const Arguments& args) {
    plots::PlanRequest request = read_request(args.input);
    plots::Plan plan = plots::compose_plot(request.parcel_data, request.selected_parcel_number,
                                           request.road_data, request.options);
    std::vector<std::unique_ptr<PendingFile>> outputs;
    outputs.push_back(std::make_unique<PendingFile>(args.png, plots::encode_png(plan.figure)));
    if (args.pdf)
        outputs.push_back(std::make_unique<PendingFile>(*args.pdf, plots::render_pdf(plan.figure)));
    if (args.result) {
        Json result{
            {"paper_size", request.paper_size}, {"scale", plan.scale}, {"schedule", plan.schedule}};
        outputs.push_back(std::make_unique<PendingFile>(*args.result, result.dump(2) + "\n"));
    }
    for (auto& output : outputs)
        output->commit();
}

int fail(int code, const std::string& message) {
    std::string line = message;
    for (char& c : line) {
        if (c == '\n')
            c = ' ';
    }
    std::cerr << "kavara-siteplan: " << line << '\n';
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        run(parse_arguments(argc, argv));
        return EXIT_SUCCESS;
    } catch (const std::invalid_argument& error) {  // usage, plots::ValueError, plots::InputError
        return fail(exit_bad_input, error.what());
    } catch (const Json::exception& error) {
        return fail(exit_bad_input, std::string("bad input: ") + error.what());
    } catch (const std::exception& error) {
        return fail(exit_failure, error.what());
    }
}
