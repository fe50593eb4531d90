// Peak memory of one whole retrieval of a message of the given size in MB, generated piece
// by piece so that only the control's own memory shows: `pop_rss 1`, `pop_rss 100`.

#include <cstdio>
#include <cstdlib>

#include "bench/ProcessUsage.h"
#include "bench/pop/MailboxFeed.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MEGABYTES\n", argv[0]);
        return 2;
    }
    const long megabytes = std::strtol(argv[1], nullptr, 10);
    if (megabytes < 1) {
        std::fprintf(stderr, "MEGABYTES must be at least 1\n");
        return 2;
    }
    const auto result =
        zef::bench::RetrieveOne(static_cast<size_t>(megabytes) << 20, size_t{64} * 1024, false);
    std::printf("message %ld MB: Done %ld, %zu data events, %zu data bytes, peak RSS %ld KB\n",
                megabytes, result.doneCode, result.dataEvents, result.dataBytes,
                zef::bench::PeakRssKiB());
    return result.doneCode == 0 ? 0 : 1;
}
