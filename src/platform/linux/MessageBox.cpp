#include "platform/MessageBox.hpp"

#include <SDL.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "base/SafeText.hpp"

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const Uint32 flags =
        icon == MessageIcon::Error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
    // Texts may carry what a server sent; bounded and cleaned they cannot break the box.
    const std::string safeTitle = messageBoxText(title);
    const std::string safeText = messageBoxText(text);
    if (SDL_ShowSimpleMessageBox(flags, safeTitle.c_str(), safeText.c_str(), nullptr) != 0) {
        // Without a display the box cannot appear; keep its text where the user can find it
        // (standard error, and through it the log).
        std::cerr << (safeTitle + ": " + safeText + "\n") << std::flush;
    }
}

void closeMessageBoxes() {
    // SDL shows each box from a child process forked by the thread that asked for it (here
    // always the main thread, whose id is the process id) and waits for that child. The box
    // children are the ones still running this program; SIGKILL because a fork keeps the
    // client's own handler for the polite signals.
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return;
    }
    std::ifstream children("/proc/self/task/" + std::to_string(::getpid()) + "/children");
    for (pid_t child = 0; children >> child;) {
        const auto image =
            std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe", error);
        if (!error && image == self) {
            ::kill(child, SIGKILL);
        }
    }
}
