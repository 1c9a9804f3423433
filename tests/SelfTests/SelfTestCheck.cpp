// Runs one of the application's headless self-tests the way CI does and judges its figures, not only its
// exit status. Each run gets an audio-server home of its own (the built driver bundle in its PlugIns
// folder, the given hardware profile), fresh XDG folders and no display; the JSON report is read back and
// checked against the conditions on the command line.
//
//   SelfTestCheck --program <executable> [--driver <bundle>] [--profile <json>] [--exit <status>]
//                 [--expect <pointer>=<json>] [--within <pointer>=<low>:<high>]
//                 [--above <pointer>=<number>] [--below <pointer>=<number>] [--size <pointer>=<count>]
//                 [--has <pointer>] [--lacks <pointer>] -- <self-test arguments>
//
// Pointers are JSON pointers into the report ("/probe/1000"). The bounds of --within are sums of terms,
// each a number, a pointer to a number of the same report, or a number times such a pointer
// ("0.5*/routeTargetMs" to "/routeTargetMs+0.0416667*/bufferFramesActual+1"), so one figure can be judged
// against others. --size counts the members of an object or the elements of a list. Every failed
// condition prints a line "FAILED <pointer> ..."; the exit status is 0 only when the program ended with
// the expected status and every condition held.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Condition {
    enum class Kind { expect, within, above, below, size, has, lacks };
    Kind kind;
    std::string pointer;
    std::string operand;
};

struct Options {
    std::string program;
    std::optional<fs::path> driver;
    std::optional<fs::path> profile;
    int exitStatus = 0;
    std::vector<Condition> conditions;
    std::vector<std::string> arguments;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "SelfTestCheck: " << problem << "\n";
    std::exit(2);
}

Condition condition(Condition::Kind kind, const std::string& text, bool withOperand) {
    if (!withOperand) {
        return {kind, text, {}};
    }
    const auto equals = text.find('=');
    if (equals == std::string::npos) {
        usage("a condition needs <pointer>=<value>: " + text);
    }
    return {kind, text.substr(0, equals), text.substr(equals + 1)};
}

const std::map<std::string, Condition::Kind> conditionKinds{
    {"--expect", Condition::Kind::expect}, {"--within", Condition::Kind::within},
    {"--above", Condition::Kind::above},   {"--below", Condition::Kind::below},
    {"--size", Condition::Kind::size},     {"--has", Condition::Kind::has},
    {"--lacks", Condition::Kind::lacks},
};

Options parse(int argc, char** argv) {
    Options options;
    int i = 1;
    auto next = [&](const char* what) -> std::string {
        if (i + 1 >= argc) {
            usage(std::string(what) + " needs a value");
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            options.arguments.assign(argv + i + 1, argv + argc);
            break;
        } else if (arg == "--program") {
            options.program = next("--program");
        } else if (arg == "--driver") {
            options.driver = next("--driver");
        } else if (arg == "--profile") {
            options.profile = next("--profile");
        } else if (arg == "--exit") {
            options.exitStatus = std::stoi(next("--exit"));
        } else if (auto kind = conditionKinds.find(arg); kind != conditionKinds.end()) {
            const bool withOperand =
                kind->second != Condition::Kind::has && kind->second != Condition::Kind::lacks;
            options.conditions.push_back(condition(kind->second, next(arg.c_str()), withOperand));
        } else {
            usage("unknown option " + arg);
        }
    }
    if (options.program.empty() || options.arguments.empty()) {
        usage("--program and the self-test arguments after -- are required");
    }
    return options;
}

// The home of one run: the audio server's state, the driver, the profile and the XDG folders.
fs::path prepareHome(const Options& options) {
    std::string pattern = (fs::temp_directory_path() / "tandrel-selftest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        usage("cannot make a temporary home");
    }
    const fs::path home = pattern;
    if (options.driver) {
        fs::create_directories(home / "PlugIns");
        fs::copy(*options.driver, home / "PlugIns" / options.driver->filename(), fs::copy_options::recursive);
    }
    if (options.profile) {
        fs::copy_file(*options.profile, home / "profile.json");
    }
    for (const char* folder : {"data", "config", "state", "cache", "music"}) {
        fs::create_directories(home / folder);
    }
    return home;
}

// The program's status: its exit code, or 128 + the signal that ended it.
int runProgram(const Options& options, const fs::path& home, const fs::path& report) {
    std::vector<std::string> args{options.program};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    args.insert(args.end(), {"--report", report.string()});

    const std::vector<std::string> replaced{"TANDREL_AUDIO_SERVER_HOME",
                                            "XDG_DATA_HOME",
                                            "XDG_CONFIG_HOME",
                                            "XDG_STATE_HOME",
                                            "XDG_CACHE_HOME",
                                            "XDG_MUSIC_DIR",
                                            "DISPLAY",
                                            "WAYLAND_DISPLAY",
                                            "QT_QPA_PLATFORM"};
    std::vector<std::string> env{
        "TANDREL_AUDIO_SERVER_HOME=" + home.string(),    "XDG_DATA_HOME=" + (home / "data").string(),
        "XDG_CONFIG_HOME=" + (home / "config").string(), "XDG_STATE_HOME=" + (home / "state").string(),
        "XDG_CACHE_HOME=" + (home / "cache").string(),   "XDG_MUSIC_DIR=" + (home / "music").string()};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(replaced.begin(), replaced.end(), name) == replaced.end()) {
            env.push_back(entry);
        }
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, options.program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        std::cerr << "SelfTestCheck: cannot start " << options.program << ": " << std::strerror(errno)
                  << "\n";
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string shown(const json& value) {
    return value.dump();
}

// A bound of --within: the sum of its terms, or nothing when a pointer names no number.
std::optional<double> bound(const std::string& text, const json& report) {
    double total = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t plus = text.find('+', start);
        const std::string term =
            text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        const size_t star = term.find('*');
        const std::string factorText =
            star == std::string::npos ? (term.starts_with('/') ? "" : term) : term.substr(0, star);
        const std::string pointer =
            star == std::string::npos ? (term.starts_with('/') ? term : "") : term.substr(star + 1);
        double value = factorText.empty() ? 1.0 : std::stod(factorText);
        if (!pointer.empty()) {
            const json::json_pointer at(pointer);
            if (!report.contains(at) || !report.at(at).is_number()) {
                return std::nullopt;
            }
            value *= report.at(at).get<double>();
        }
        total += value;
        if (plus == std::string::npos) {
            break;
        }
        start = plus + 1;
    }
    return total;
}

// Whether the condition holds; prints a line either way.
bool holds(const Condition& condition, const json& report) {
    const json::json_pointer pointer(condition.pointer);
    const bool present = report.contains(pointer);
    const json value = present ? report.at(pointer) : json();
    auto number = [](const std::string& text) {
        return std::stod(text);
    };
    bool ok = false;
    std::string wanted;
    switch (condition.kind) {
    case Condition::Kind::expect:
        ok = present && value == json::parse(condition.operand);
        wanted = "== " + condition.operand;
        break;
    case Condition::Kind::within: {
        const auto colon = condition.operand.find(':');
        const auto low = bound(condition.operand.substr(0, colon), report);
        const auto high = bound(condition.operand.substr(colon + 1), report);
        ok = low && high && value.is_number() && value.get<double>() >= *low && value.get<double>() <= *high;
        auto text = [](const std::optional<double>& b) {
            return b ? json(*b).dump() : std::string("(absent)");
        };
        wanted = "within [" + condition.operand.substr(0, colon) + ", " +
                 condition.operand.substr(colon + 1) + "] = [" + text(low) + ", " + text(high) + "]";
        break;
    }
    case Condition::Kind::above:
        ok = value.is_number() && value.get<double>() > number(condition.operand);
        wanted = "> " + condition.operand;
        break;
    case Condition::Kind::below:
        ok = value.is_number() && value.get<double>() < number(condition.operand);
        wanted = "< " + condition.operand;
        break;
    case Condition::Kind::size:
        ok = (value.is_object() || value.is_array()) && value.size() == std::stoul(condition.operand);
        wanted = condition.operand + " members";
        break;
    case Condition::Kind::has:
        ok = present;
        wanted = "present";
        break;
    case Condition::Kind::lacks:
        ok = !present;
        wanted = "absent";
        break;
    }
    std::cout << (ok ? "ok     " : "FAILED ") << condition.pointer << " = "
              << (present ? shown(value) : "(absent)") << ", wanted " << wanted << "\n";
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const fs::path home = prepareHome(options);
    const fs::path reportPath = home / "report.json";

    const auto started = std::chrono::steady_clock::now();
    const int status = runProgram(options, home, reportPath);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::string flags;
    for (const auto& a : options.arguments) {
        flags += " " + a;
    }
    std::printf("SelfTestCheck:%s: exit status %d after %.1f s (wall time)\n", flags.c_str(), status,
                seconds);

    bool passed = status == options.exitStatus;
    if (!passed) {
        std::cout << "FAILED exit status " << status << ", wanted " << options.exitStatus << "\n";
    }
    json report;
    std::ifstream file(reportPath);
    if (!file) {
        std::cout << "FAILED no report was written\n";
        passed = false;
    } else {
        try {
            report = json::parse(file);
            std::cout << report.dump(2) << "\n";
        } catch (const json::exception& e) {
            std::cout << "FAILED the report is not JSON: " << e.what() << "\n";
            passed = false;
        }
    }
    for (const auto& condition : options.conditions) {
        passed = holds(condition, report) && passed;
    }
    std::error_code ignored;
    fs::remove_all(home, ignored);
    std::cout << (passed ? "PASSED" : "FAILED") << "\n";
    return passed ? 0 : 1;
}
