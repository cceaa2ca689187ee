// The command lines of devicedetect-host and phonesim: GNU long options
// (with short ones where given) parsed by getopt_long, and the help built
// from the same table, so that an option cannot be accepted without being
// listed with its default. A bad command line gets one line on stderr that
// names what was wrong, and the exit status 2.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace cli {

struct Option {
    std::string name;          // long name without the dashes: "module-dir"
    char shortName = 0;        // 'm', or 0 for none
    std::string value;         // placeholder of its value ("DIR"); empty for a flag
    std::string help;          // what it does
    std::string defaultValue;  // shown as "(default: ...)"; empty: no default to show
};

struct Spec {
    std::string program;      // "devicedetect-host", "phonesim adb": starts every error line
    std::string usage;        // what follows "usage: " (more lines indented by the caller)
    std::string description;  // a paragraph after the usage
    std::vector<Option> options;
    std::string footer;   // after the options (commands read on stdin, ...)
    std::string version;  // non-empty: --version (-V) prints "<program> <version>"
};

// Called for each option in command-line order with its value (nullptr for a
// flag). Returns "" to accept it, else why the value is refused: the error
// line then reads "<program>: <option> <value>: <why>".
using TakeOption = std::function<std::string(const Option& option, const char* value)>;
// Called for each argument that is not an option, in order. Returns "" to
// accept it, else the error line's text after "<program>: ".
using TakeArgument = std::function<std::string(const std::string& argument)>;

enum class Outcome {
    Run,      // every option and argument was taken: the program goes on
    Help,     // --help was given
    Version,  // --version was given
    Error     // error() says what was wrong
};

class Parser {
  public:
    explicit Parser(Spec spec);

    // Walks argv[1..argc) (argv[0] is the program or command name). Options
    // may come after arguments and take their value as "--name=V", "--name V",
    // "-xV" or "-x V"; "--" ends the options. Without takeArgument any
    // argument is an error.
    Outcome parse(int argc, char** argv, const TakeOption& takeOption,
                  const TakeArgument& takeArgument = nullptr);
    // The one line for Outcome::Error, without the newline.
    const std::string& error() const { return m_error; }

    // usage, description, every option with its default, footer.
    std::string helpText() const;
    const Spec& spec() const { return m_spec; }

    // parse() and what the outcome calls for: the help or the version on
    // stdout (gives 0), the error line on stderr (gives 2), or -1 to go on.
    int run(int argc, char** argv, const TakeOption& takeOption,
            const TakeArgument& takeArgument = nullptr);

  private:
    Spec m_spec;
    std::string m_error;
};

// Value checks for TakeOption. Each takes the whole text or nothing.
bool parseInteger(const char* text, long low, long high, long& out);
bool parseDecimal(const char* text, double low, double high, double& out);

}  // namespace cli
