#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace cli {
namespace {

constexpr int kHelpValue = 'h';
constexpr int kVersionValue = 'V';
constexpr int kLongOnlyBase = 0x100;  // getopt_long values of options without a short name
constexpr size_t kHelpWidth = 80;
constexpr size_t kMaxNameColumn = 28;

// What the user typed, safe to print on one line: control characters would
// end the line or drive the terminal.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        out += (byte < 0x20 || byte == 0x7f) ? '?' : c;
    }
    return out;
}

int optionValue(const Option& option, size_t index) {
    return option.shortName != 0 ? option.shortName : kLongOnlyBase + static_cast<int>(index);
}

std::string nameColumn(const Option& option) {
    std::string column =
        option.shortName != 0 ? std::string("-") + option.shortName + ", " : "    ";
    column += "--" + option.name;
    if (!option.value.empty()) {
        column += " " + option.value;
    }
    return column;
}

// Appends text word by word, lines no wider than kHelpWidth, every line after
// the first indented to indent.
void appendWrapped(std::string& out, const std::string& text, size_t indent, size_t column) {
    size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        size_t end = text.find(' ', pos);
        std::string word = text.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (word.empty()) {
            continue;
        }
        if (!first && column + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
}

}  // namespace

Parser::Parser(Spec spec) : m_spec(std::move(spec)) {}

Outcome Parser::parse(int argc, char** argv, const TakeOption& takeOption,
                      const TakeArgument& takeArgument) {
    m_error.clear();
    std::vector<option> longOptions;
    std::string shortOptions = ":";  // a missing value is told apart from an unknown option
    for (size_t i = 0; i < m_spec.options.size(); ++i) {
        const Option& o = m_spec.options[i];
        longOptions.push_back({o.name.c_str(), o.value.empty() ? no_argument : required_argument,
                               nullptr, optionValue(o, i)});
        if (o.shortName != 0) {
            shortOptions += o.shortName;
            shortOptions += o.value.empty() ? "" : ":";
        }
    }
    longOptions.push_back({"help", no_argument, nullptr, kHelpValue});
    shortOptions += "h";
    if (!m_spec.version.empty()) {
        longOptions.push_back({"version", no_argument, nullptr, kVersionValue});
        shortOptions += "V";
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    auto find = [&](int value) -> const Option* {
        for (size_t i = 0; i < m_spec.options.size(); ++i) {
            if (optionValue(m_spec.options[i], i) == value) {
                return &m_spec.options[i];
            }
        }
        return nullptr;
    };
    auto fail = [&](const std::string& text) {
        m_error = m_spec.program + ": " + text;
        return Outcome::Error;
    };

    optind = 0;  // glibc: start over, also after an earlier parse in this process
    opterr = 0;  // every message is ours, on one line
    for (;;) {
        int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
        if (c == -1) {
            break;
        }
        // The element just read: the option itself for a long option, and
        // for a missing value (which can only happen at the end of argv).
        std::string typed = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
        if (c == '?') {
            // optopt holds an option's own value when a long option was given a
            // value it does not take, an unknown short option's letter, or 0 for
            // an unknown (or ambiguous) long option.
            const Option* known = find(optopt);
            if (known != nullptr || optopt == kHelpValue ||
                (optopt == kVersionValue && !m_spec.version.empty())) {
                std::string name = known != nullptr       ? known->name
                                   : optopt == kHelpValue ? "help"
                                                          : "version";
                return fail("option --" + name + " takes no value");
            }
            if (optopt != 0) {
                return fail(std::string("unknown option -") + printable(std::string(1, optopt)));
            }
            return fail("unknown option " + printable(typed.substr(0, typed.find('='))));
        }
        const Option* option = find(optopt != 0 && c == ':' ? optopt : c);
        if (c == ':') {
            bool typedLong = typed.compare(0, 2, "--") == 0;
            std::string name = option == nullptr ? "?"
                               : typedLong       ? "--" + option->name
                                                 : std::string("-") + option->shortName;
            return fail("option " + name + " needs a value" +
                        (option != nullptr ? " (" + option->value + ")" : std::string()));
        }
        if (c == kHelpValue) {
            return Outcome::Help;
        }
        if (c == kVersionValue && !m_spec.version.empty()) {
            return Outcome::Version;
        }
        if (option == nullptr) {
            return fail("unknown option " + printable(typed));
        }
        std::string why = takeOption(*option, optarg);
        if (!why.empty()) {
            std::string shown = "--" + option->name;
            if (optarg != nullptr) {
                shown += " '" + printable(optarg) + "'";
            }
            return fail(shown + ": " + why);
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!takeArgument) {
            return fail("unexpected argument '" + printable(argv[i]) + "'");
        }
        std::string why = takeArgument(argv[i]);
        if (!why.empty()) {
            return fail(why);
        }
    }
    return Outcome::Run;
}

std::string Parser::helpText() const {
    std::vector<Option> shown = m_spec.options;
    shown.push_back({"help", 'h', "", "show this help and exit", ""});
    if (!m_spec.version.empty()) {
        shown.push_back({"version", 'V', "", "show the version and exit", ""});
    }
    size_t width = 0;
    for (const Option& option : shown) {
        width = std::max(width, std::min(nameColumn(option).size(), kMaxNameColumn));
    }
    size_t indent = 2 + width + 2;

    std::string out = "usage: " + m_spec.usage + "\n";
    if (!m_spec.description.empty()) {
        out += "\n";
        appendWrapped(out, m_spec.description, 0, 0);
        out += "\n";
    }
    out += "\nOptions:\n";
    for (const Option& option : shown) {
        std::string column = "  " + nameColumn(option);
        std::string help = option.help;
        if (!option.defaultValue.empty()) {
            help += " (default: " + option.defaultValue + ")";
        }
        if (column.size() + 2 > indent) {
            out += column + "\n" + std::string(indent, ' ');
        } else {
            out += column + std::string(indent - column.size(), ' ');
        }
        appendWrapped(out, help, indent, indent);
        out += "\n";
    }
    if (!m_spec.footer.empty()) {
        out += "\n" + m_spec.footer;
        if (out.back() != '\n') {
            out += "\n";
        }
    }
    return out;
}

int Parser::run(int argc, char** argv, const TakeOption& takeOption,
                const TakeArgument& takeArgument) {
    switch (parse(argc, argv, takeOption, takeArgument)) {
        case Outcome::Run:
            return -1;
        case Outcome::Help:
            std::fputs(helpText().c_str(), stdout);
            return 0;
        case Outcome::Version:
            std::printf("%s %s\n", m_spec.program.c_str(), m_spec.version.c_str());
            return 0;
        case Outcome::Error:
            break;
    }
    std::fprintf(stderr, "%s (see %s --help)\n", m_error.c_str(), m_spec.program.c_str());
    return 2;
}

bool parseInteger(const char* text, long low, long high, long& out) {
    if (text == nullptr || *text == 0 || std::isspace(static_cast<unsigned char>(*text))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*end != 0 || errno != 0 || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

bool parseDecimal(const char* text, double low, double high, double& out) {
    if (text == nullptr || *text == 0 || std::isspace(static_cast<unsigned char>(*text))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (*end != 0 || errno != 0 || !std::isfinite(value) || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace cli
