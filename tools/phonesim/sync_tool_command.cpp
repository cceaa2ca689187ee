// "phonesim sync-tool": plays one phone's sync tool on two loopback ports and
// takes the phone user's actions as lines on standard input, so the module's
// sync link can be tried by hand or from a script.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "command_options.h"
#include "sync_tool.h"
#include "text_util.h"

namespace phonesim {
namespace {

cli::Spec commandLine() {
    cli::Spec spec;
    spec.program = "phonesim sync-tool";
    spec.usage = "phonesim sync-tool [OPTION]...";
    spec.description =
        "Plays the phone's sync tool: the command port (the phone's 7890) answers "
        "\"AT+CGSN\\r\\n\", the sync port (the phone's 7990) prints what the module sends. "
        "Both ports are printed first.";
    spec.options = {
        {"command-port", 0, "P", "the command port; 0 takes any free port", "0"},
        {"sync-port", 0, "P", "the sync port; 0 takes any free port", "0"},
        {"answer", 0, "TEXT",
         "the answer to \"AT+CGSN\\r\\n\" (\\r, \\n, \\\\ and \\xNN are unescaped)",
         "861234567890123\\r\\n"},
    };
    spec.footer =
        "Commands on standard input, one per line:\n"
        "  start [TEXT]     send TEXT;START        stop [TEXT]   send TEXT;STOP\n"
        "  stop-app         send STOP_APP          burst [C]     send 128 bytes of C\n"
        "  send TEXT        send TEXT (\\r, \\n, \\\\ and \\xNN are unescaped)\n"
        "  drop             close the sync link    drop-command  close the command link\n"
        "  quit             stop (also at end of input)\n";
    return spec;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        if (next == 'r') {
            out += '\r';
        } else if (next == 'n') {
            out += '\n';
        } else if (next == 'x' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
                   hexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

std::string printable(std::string_view bytes) {
    std::string out;
    char escaped[8];
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte >= 0x7f) {
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

int runSyncToolCommand(int argc, char** argv) {
    uint16_t commandPort = 0;
    uint16_t syncPort = 0;
    std::string answer;
    bool haveAnswer = false;
    int parsed =
        takeOptions(argc, argv, commandLine(), [&](const std::string& option, const char* value) {
            long port = 0;
            if (option == "--command-port" && parseNumber(value, 0, 65535, port)) {
                commandPort = static_cast<uint16_t>(port);
            } else if (option == "--sync-port" && parseNumber(value, 0, 65535, port)) {
                syncPort = static_cast<uint16_t>(port);
            } else if (option == "--answer") {
                answer = unescape(value);
                haveAnswer = true;
            } else {
                return kBadValue;
            }
            return std::string();
        });
    if (parsed >= 0) {
        return parsed;
    }

    SyncTool tool;
    if (haveAnswer) {
        tool.setProbeAnswer(answer);
    }
    if (!tool.start(commandPort, syncPort)) {
        std::fprintf(stderr, "phonesim sync-tool: cannot listen on the ports\n");
        return 1;
    }
    tool.setSyncObserver([](std::string_view bytes) {
        std::printf("7990< %s\n", printable(bytes).c_str());
        std::fflush(stdout);
    });
    std::printf("command-port %u\nsync-port %u\n", tool.commandPort(), tool.syncPort());
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        bool sent = true;
        if (word == "quit") {
            break;
        } else if (word == "start") {
            sent = tool.sendStart(rest);
        } else if (word == "stop") {
            sent = tool.sendStop(rest);
        } else if (word == "stop-app") {
            sent = tool.sendStopApp();
        } else if (word == "burst") {
            sent = tool.sendBurst(rest.empty() ? 'x' : rest[0]);
        } else if (word == "send") {
            sent = tool.sendSync(unescape(rest));
        } else if (word == "drop") {
            tool.dropSyncLinks();
        } else if (word == "drop-command") {
            tool.dropCommandLinks();
        } else if (!word.empty()) {
            std::printf("? unknown command %s\n", word.c_str());
        }
        if (!sent) {
            std::printf("! no sync link is open\n");
        }
        std::fflush(stdout);
    }
    tool.stop();
    return 0;
}

}  // namespace phonesim
