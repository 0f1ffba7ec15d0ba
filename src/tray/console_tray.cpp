// The console tray's loop: poll on the terminal and the exit signal, one line per choice.
#include "tray/console_tray.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include <spdlog/spdlog.h>

#include "settings/value_text.hpp"

namespace kinetra::tray {
namespace {

void describe(const Entries& entries, int depth, std::vector<TrayEntry*>& choices,
              std::string& text) {
    const std::string indent(2 + 3 * static_cast<std::size_t>(depth), ' ');
    for (const auto& entry : entries) {
        switch (entry->kind()) {
            case EntryKind::separator:
                text += indent + "----\n";
                continue;
            case EntryKind::label:
                text += indent + entry->text() + "\n";
                continue;
            case EntryKind::submenu:
                text += indent + entry->text() + "\n";
                describe(static_cast<const Submenu&>(*entry).entries(), depth + 1, choices, text);
                continue;
            default:
                break;
        }
        choices.push_back(entry.get());
        text += indent + std::to_string(choices.size()) + ". ";
        if (entry->kind() == EntryKind::toggle || entry->kind() == EntryKind::syncedToggle) {
            text += static_cast<const Toggle&>(*entry).isOn() ? "[x] " : "[ ] ";
        }
        text += entry->text() + "\n";
    }
}

}  // namespace

ConsoleTray::ConsoleTray(std::string identifier, std::string iconPath, int inputFd,
                         std::shared_ptr<ConsoleQuestions> questions)
    : BaseTray(std::move(identifier), std::move(iconPath)),
      inputFd_(inputFd),
      interactive_(::isatty(inputFd) == 1),
      questions_(std::move(questions)) {}

void ConsoleTray::update() {
    choices_.clear();
    std::string text = "\n" + identifier() + ":\n";
    describe(entries(), 0, choices_, text);
    text += interactive_ ? "Type a number and Enter: \n" : "";
    questions_->print(text);
}

void ConsoleTray::run() {
    if (interactive_) {
        update();
    }
    bool reading = interactive_;
    while (!stop_.isSet()) {
        pollfd items[2] = {{stop_.fd(), POLLIN, 0}, {inputFd_, POLLIN, 0}};
        // Woken by exit(); nothing else to wait for, so no timeout.
        if (::poll(items, reading ? 2 : 1, -1) < 0 && errno != EINTR) {
            spdlog::error("Tray: waiting for input failed ({0}).", errno);
            return;
        }
        if (reading && (items[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            reading = readInput();
        }
    }
}

bool ConsoleTray::readInput() {
    char buffer[256];
    const auto count = ::read(inputFd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (count <= 0) {
        // End of input (or a hung-up terminal): the menu stays reachable through signals.
        questions_->print("Console input closed; the tray waits for exit.\n");
        return false;
    }
    pendingInput_.append(buffer, static_cast<std::size_t>(count));
    for (auto end = pendingInput_.find('\n'); end != std::string::npos && !stop_.isSet();
         end = pendingInput_.find('\n')) {
        std::string line = pendingInput_.substr(0, end);
        pendingInput_.erase(0, end + 1);
        handleLine(std::string(config::trim(line, " \t\r\n")));
    }
    if (pendingInput_.size() > 4096) {
        pendingInput_.clear();  // no choice is that long
    }
    return true;
}

void ConsoleTray::handleLine(std::string line) {
    if (line.empty() || questions_->answer(line)) {
        return;
    }
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), number);
    if (error != std::errc() || end != line.data() + line.size() || number == 0 ||
        number > choices_.size()) {
        questions_->print("No menu entry \"" + line + "\".\n");
        return;
    }
    spdlog::info("Tray: {0}", choices_[number - 1]->text());
    choices_[number - 1]->click();
}

}  // namespace kinetra::tray
