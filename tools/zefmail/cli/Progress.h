// A one-line progress bar on standard error: bytes (and messages) done of the total, the rate
// and the time left. Shown only on a terminal and without --quiet; the caller decides.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace zef::zefmail {

struct ProgressState {
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;  // 0: unknown
    long itemsDone = 0;
    long itemsTotal = -1;  // -1: no item count (a send)
    double seconds = 0;    // since the start
};

// The bar's text, without line control characters.
std::string RenderProgress(const ProgressState& state);

// "1.5 MiB", "512 B".
std::string HumanBytes(double bytes);

class Progress {
  public:
    Progress(std::ostream& out, bool enabled);

    void Totals(uint64_t bytesTotal, long itemsTotal);
    // Redraws at most ten times a second.
    void Update(uint64_t bytesDone, long itemsDone);
    // Writes one line of its own (a trace text) without tearing the bar.
    void Print(const std::string& line);
    // Draws the final state and ends the line.
    void Finish();

  private:
    void Draw();

    std::ostream& out_;
    bool enabled_;
    bool drawn_ = false;
    ProgressState state_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace zef::zefmail
