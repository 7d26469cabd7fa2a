#include "app/CommandLine.hpp"

#include "app/Startup.hpp"

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            line.action = CommandLine::Action::Help;
            return line;
        }
        if (argument == "--version") {
            line.action = CommandLine::Action::Version;
            return line;
        }
        if (!argument.empty() && argument[0] == '-') {
            line.action = CommandLine::Action::Refuse;
            line.refused = argument;
            return line;
        }
        line.positional.push_back(argument);
    }
    return line;
}

std::string clientUsage() {
    return std::string(
               "usage: quorvanta-client [BASE_URL [SESSION_ID]]\n"
               "\n"
               "Connects to your Quorvanta game session and streams it into a window.\n"
               "E-mail and password are asked for on the console.\n"
               "\n"
               "  BASE_URL     the service's API (default ") +
           defaultBaseUrl +
           ", the local stand-in service)\n"
           "  SESSION_ID   the game session to join (default: your first active one)\n"
           "  --help       this text\n"
           "  --version    the client's version\n"
           "\n"
           "In the window:\n"
           "  F11                  full screen on and off\n"
           "  Ctrl+Alt+Shift+Q     free the mouse the game has captured\n"
           "  Ctrl+Alt+Shift+S     statistics panel on and off\n"
           "  menu button (top right, mouse free): codec, bitrate, audio devices,\n"
           "                       network test, information\n"
           "\n"
           "Log and settings: the folder Quorvanta in %LOCALAPPDATA% when that variable is set;\n"
           "otherwise in $XDG_DATA_HOME (on Linux; default ~/.local/share, from $HOME), or in\n"
           "the current folder on Windows. native-client.log there is the log of the last run.\n"
           "\n"
           "Environment: LOCALAPPDATA, XDG_DATA_HOME, HOME (where the log and settings live);\n"
           "DISPLAY and SDL's own variables (which display and audio devices are used).\n";
}

std::string clientVersion() {
    return std::string("quorvanta-client ") + QV_VERSION + "\n";
}
