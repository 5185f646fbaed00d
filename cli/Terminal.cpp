#include "cli/Terminal.hpp"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace vellary::cli {
namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void onInterrupt(int) {
    gInterrupted.store(true);
}

} // namespace

void installInterruptFlag() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return gInterrupted.load();
}

ProgressLine::ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}

void ProgressLine::show(std::optional<double> fraction, const std::string& text) {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    std::string bar;
    if (fraction) {
        const int filled = static_cast<int>(*fraction * kWidth + 0.5);
        bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] ";
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(*fraction * 100));
        bar += percent;
    }
    std::fprintf(stderr, "\r\033[K%s%s", bar.c_str(), text.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::finish() {
    if (enabled_ && drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vellary-cli: %s\n", message.c_str());
    return 1;
}

} // namespace vellary::cli
