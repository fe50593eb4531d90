#include "tools/zefmail/cli/Progress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace zef::zefmail {

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Duration(double seconds) {
    auto total = static_cast<long>(std::lround(seconds));
    std::array<char, 32> buffer{};
    if (total >= 3600) {
        std::snprintf(buffer.data(), buffer.size(), "%ld:%02ld:%02ld", total / 3600,
                      (total / 60) % 60, total % 60);
    } else {
        std::snprintf(buffer.data(), buffer.size(), "%ld:%02ld", total / 60, total % 60);
    }
    return buffer.data();
}

}  // namespace

std::string HumanBytes(double bytes) {
    static constexpr std::array<const char*, 5> kUnits{"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < kUnits.size()) {
        bytes /= 1024;
        ++unit;
    }
    std::array<char, 32> buffer{};
    if (unit == 0) {
        std::snprintf(buffer.data(), buffer.size(), "%.0f %s", bytes, kUnits.at(unit));
    } else {
        std::snprintf(buffer.data(), buffer.size(), "%.1f %s", bytes, kUnits.at(unit));
    }
    return buffer.data();
}

std::string RenderProgress(const ProgressState& state) {
    double fraction = 0;
    if (state.bytesTotal > 0) {
        fraction = std::min(
            1.0, static_cast<double>(state.bytesDone) / static_cast<double>(state.bytesTotal));
    }
    auto filled = static_cast<int>(fraction * kBarWidth);
    std::string line = "[" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), '-') + "] ";
    std::array<char, 16> percent{};
    std::snprintf(percent.data(), percent.size(), "%3d%%", static_cast<int>(fraction * 100));
    line += percent.data();
    line += "  " + HumanBytes(static_cast<double>(state.bytesDone));
    if (state.bytesTotal > 0) {
        line += " / " + HumanBytes(static_cast<double>(state.bytesTotal));
    }
    if (state.itemsTotal >= 0) {
        line += "  " + std::to_string(state.itemsDone) + "/" + std::to_string(state.itemsTotal) +
                " messages";
    }
    if (state.seconds > 0.2) {
        double rate = static_cast<double>(state.bytesDone) / state.seconds;
        line += "  " + HumanBytes(rate) + "/s";
        if (rate > 0 && state.bytesTotal > state.bytesDone) {
            line += "  " +
                    Duration(static_cast<double>(state.bytesTotal - state.bytesDone) / rate) +
                    " left";
        }
    }
    return line;
}

Progress::Progress(std::ostream& out, bool enabled)
    : out_(out), enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

void Progress::Totals(uint64_t bytesTotal, long itemsTotal) {
    state_.bytesTotal = bytesTotal;
    state_.itemsTotal = itemsTotal;
    Draw();
}

void Progress::Update(uint64_t bytesDone, long itemsDone) {
    state_.bytesDone = bytesDone;
    state_.itemsDone = itemsDone;
    if (!enabled_) {
        return;  // no clock reading per data event when nothing is drawn
    }
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    Draw();
}

void Progress::Print(const std::string& line) {
    if (drawn_) {
        out_ << "\r\x1b[K";
    }
    out_ << line << '\n';
    if (drawn_) {
        Draw();
    }
    out_.flush();
}

void Progress::Finish() {
    if (!enabled_ || !drawn_) {
        return;
    }
    Draw();
    out_ << '\n';
    out_.flush();
    drawn_ = false;
}

void Progress::Draw() {
    if (!enabled_) {
        return;
    }
    lastDraw_ = std::chrono::steady_clock::now();
    state_.seconds = std::chrono::duration<double>(lastDraw_ - start_).count();
    // \r returns to the start of the line, ESC [K clears what a longer line left behind.
    out_ << '\r' << RenderProgress(state_) << "\x1b[K";
    out_.flush();
    drawn_ = true;
}

}  // namespace zef::zefmail
