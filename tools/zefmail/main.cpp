// zefmail: the command-line face of the zef mail library.
#include <malloc.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/zefmail/cli/Commands.h"

int main(int argc, char** argv) {
#ifdef __GLIBC__
    // Each turn of a send allocates and frees pieces of some 100 KiB. By default glibc hands
    // the top of the heap back to the kernel after each of them and faults the pages in again
    // for the next: hundreds of brk calls and page faults per 20 MiB sent. Keeping up to
    // 4 MiB of freed memory ends that; the peak stays what the pieces need.
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
#endif
    const zef::zefmail::EnvLookup env = [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    };
    return zef::zefmail::RunZefmail(argc > 0 ? argv[0] : "zefmail",
                                    std::vector<std::string>(argv + 1, argv + argc),
                                    {std::cin, std::cout, std::cerr, env});
}
