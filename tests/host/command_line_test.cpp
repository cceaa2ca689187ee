// The command lines of devicedetect-host and phonesim as a user meets them:
// --help and --version exit 0, a bad option or value gets one error line that
// names it and exit 2, every option is in the help with its default, and the
// man page and the bash completion know every option the program takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host_options.h"
#include "host_run.h"
#include "test_env.h"

namespace {

using ddtest::ProgramRun;
using ddtest::runProgram;

struct BadLine {
    const char* program;
    const char* args;
    const char* error;  // the one line on stderr starts with this
};

TEST(CommandLine, ABadCommandLineGetsOneLineNamingItAndExitTwo) {
    const BadLine cases[] = {
        {"devicedetect-host", "--duration abc",
         "devicedetect-host: --duration 'abc': not a number of seconds"},
        {"devicedetect-host", "--duration -1", "devicedetect-host: --duration '-1': not a number"},
        {"devicedetect-host", "--duration 1e99", "devicedetect-host: --duration '1e99': not a"},
        {"devicedetect-host", "--duration", "devicedetect-host: option --duration needs a value"},
        {"devicedetect-host", "-d", "devicedetect-host: option -d needs a value (SECONDS)"},
        {"devicedetect-host", "--bogus", "devicedetect-host: unknown option --bogus"},
        {"devicedetect-host", "--bogus=1", "devicedetect-host: unknown option --bogus"},
        {"devicedetect-host", "-jx", "devicedetect-host: unknown option -x"},
        {"devicedetect-host", "--json=yes", "devicedetect-host: option --json takes no value"},
        {"devicedetect-host", "--loader-port 65536",
         "devicedetect-host: --loader-port '65536': not a port number"},
        {"devicedetect-host", "now", "devicedetect-host: unexpected argument 'now'"},
        {"devicedetect-host", "--check --auto-sync",
         "devicedetect-host: --auto-sync has no use with --check"},
        {"devicedetect-host", "--check --duration 5",
         "devicedetect-host: --duration has no use with --check"},
        {"phonesim", "--bogus", "phonesim: unknown option --bogus"},
        {"phonesim", "", "phonesim: a command is needed"},
        {"phonesim", "bogus", "phonesim: unknown command 'bogus'"},
        {"phonesim", "companion --bogus", "phonesim companion: unknown option --bogus"},
        {"phonesim", "companion --port", "phonesim companion: option --port needs a value (P)"},
        {"phonesim", "companion --port x", "phonesim companion: --port 'x': bad value"},
        {"phonesim", "sync-tool --bogus 1", "phonesim sync-tool: unknown option --bogus"},
        {"phonesim", "adb --port 5999 --prop a=b",
         "phonesim adb: --prop 'a=b': needs a --phone before it"},
        {"phonesim", "adb --phone X", "phonesim adb: --port is required"},
        {"phonesim", "machine --sysfs /nonexistent", "phonesim machine: --sysfs and --dev are"},
        {"phonesim", "machine --sysfs a --dev b --wifi-port 0",
         "phonesim machine: --wifi-port '0': bad value"},
        {"phonesim", "usb --sysfs a --dev b frob",
         "phonesim usb: unknown command 'frob' (root, hub, plug, unplug or list)"},
        {"phonesim", "usb --sysfs a --dev b list extra",
         "phonesim usb: unexpected argument 'extra' after the command list"},
    };
    for (const BadLine& c : cases) {
        ProgramRun run = runProgram(c.program, c.args);
        std::string what = std::string(c.program) + " " + c.args;
        EXPECT_EQ(run.exitCode, 2) << what;
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << what << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
        EXPECT_EQ(run.out, "") << what;
    }
}

// The long options a help text lists; those whose entry shows neither a
// default nor that it is required go to unexplained.
std::vector<std::string> helpOptions(const std::string& help, std::set<std::string>* unexplained) {
    // "  -x, --name ..." or "      --name ...": the name up to the next blank.
    auto optionName = [](const std::string& line) -> std::string {
        bool withShort =
            line.size() > 8 && line.rfind("  -", 0) == 0 && line.compare(4, 4, ", --") == 0;
        bool longOnly = line.size() > 8 && line.rfind("      --", 0) == 0;
        size_t at = withShort || longOnly ? 8 : 0;
        return at == 0 ? std::string() : line.substr(at, line.find(' ', at) - at);
    };
    std::vector<std::string> names;
    std::string current, entry;
    auto finish = [&] {
        if (!current.empty() && current != "help" && current != "version" &&
            entry.find("(default: ") == std::string::npos &&
            entry.find("required") == std::string::npos) {
            unexplained->insert(current);
        }
        current.clear();
    };
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        if (std::string name = optionName(line); !name.empty()) {
            finish();
            current = name;
            names.push_back(current);
            entry = line;
        } else if (!current.empty() && line.rfind("        ", 0) == 0) {
            entry += line;  // the entry's help goes on
        } else {
            finish();
        }
    }
    finish();
    return names;
}

TEST(CommandLine, HelpAndVersionExitZeroAndEveryOptionHasItsDefault) {
    const char* commands[][2] = {
        {"devicedetect-host", "--help"},  {"devicedetect-host", "-h"},
        {"phonesim", "--help"},           {"phonesim", "adb --help"},
        {"phonesim", "companion --help"}, {"phonesim", "machine --help"},
        {"phonesim", "sync-tool --help"}, {"phonesim", "usb --help"},
    };
    for (const auto& [program, args] : commands) {
        ProgramRun run = runProgram(program, args);
        std::string what = std::string(program) + " " + args;
        EXPECT_EQ(run.exitCode, 0) << what;
        EXPECT_EQ(run.err, "") << what;
        EXPECT_EQ(run.out.rfind("usage: ", 0), 0u) << what;
        std::set<std::string> unexplained;
        std::vector<std::string> options = helpOptions(run.out, &unexplained);
        EXPECT_NE(std::find(options.begin(), options.end(), "help"), options.end()) << what;
        for (const std::string& option : unexplained) {
            ADD_FAILURE() << what << ": --" << option << " shows no default";
        }
    }
    for (const char* program : {"devicedetect-host", "phonesim"}) {
        ProgramRun run = runProgram(program, "--version");
        EXPECT_EQ(run.exitCode, 0) << program;
        EXPECT_EQ(run.out, std::string(program) + " " + DD_VERSION + "\n");
    }
}

TEST(CommandLine, TheManPageAndTheCompletionKnowEveryOption) {
    std::string source = std::string(DD_TEST_DATA_DIR) + "/../..";
    struct Program {
        const char* name;
        std::vector<std::string> helps;  // the arguments that print its helps
    };
    const Program programs[] = {
        {"devicedetect-host", {"--help"}},
        {"phonesim",
         {"--help", "adb --help", "adb-device --help", "companion --help", "machine --help",
          "sync-tool --help", "usb --help"}},
    };
    for (const Program& program : programs) {
        std::string page = ddtest::readFile(source + "/man/" + program.name + ".1.scd");
        std::string completion = ddtest::readFile(source + "/data/completion/" + program.name);
        size_t found = 0;
        for (const std::string& help : program.helps) {
            std::set<std::string> unexplained;
            for (const std::string& option :
                 helpOptions(runProgram(program.name, help).out, &unexplained)) {
                ++found;
                EXPECT_NE(page.find("*--" + option + "*"), std::string::npos)
                    << program.name << " " << help << ": the man page lacks --" << option;
                EXPECT_NE(completion.find("--" + option), std::string::npos)
                    << program.name << " " << help << ": the completion lacks --" << option;
            }
        }
        EXPECT_GT(found, 7u) << program.name;
    }
}

struct Parsed {
    const char* args;
    HostOptions expected;
};

TEST(CommandLine, HostOptionsTakeTheirValuesInEveryForm) {
    auto options = [](const char* dir, bool json, bool autoSync, bool check, double duration,
                      int port) {
        HostOptions o;
        o.moduleDir = dir;
        o.json = json;
        o.autoSync = autoSync;
        o.check = check;
        o.duration = duration;
        o.loaderPort = port;
        return o;
    };
    const Parsed cases[] = {
        {"", options("", false, false, false, 0, 0)},
        {"--module-dir /m --json --duration 2.5 --auto-sync --loader-port 18777",
         options("/m", true, true, false, 2.5, 18777)},
        {"-m/m -ja -d 0.25 -l 9", options("/m", true, true, false, 0.25, 9)},
        {"--module-dir=/m --duration=31536000 --loader-port=0",
         options("/m", false, false, false, 31536000, 0)},
        {"--check --json --module-dir /m", options("/m", true, false, true, 0, 0)},
        {"--dur 3 --js", options("", true, false, false, 3, 0)},
    };
    for (const Parsed& c : cases) {
        std::vector<std::string> words = {"devicedetect-host"};
        std::istringstream in(c.args);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        HostOptions got;
        ASSERT_EQ(parseHostOptions(static_cast<int>(words.size()), argv.data(), "/default", got),
                  -1)
            << c.args;
        EXPECT_EQ(got.moduleDir, c.expected.moduleDir) << c.args;
        EXPECT_EQ(got.json, c.expected.json) << c.args;
        EXPECT_EQ(got.autoSync, c.expected.autoSync) << c.args;
        EXPECT_EQ(got.check, c.expected.check) << c.args;
        EXPECT_EQ(got.duration, c.expected.duration) << c.args;
        EXPECT_EQ(got.loaderPort, c.expected.loaderPort) << c.args;
    }
}

}  // namespace
