// The peer of pop_parse_files: GMime 3 parses the same message files and decodes every leaf
// part's transfer encoding into a stream that discards the data.
//
//   gmime_parse [--text] [--repeat N] FILE...
//
// Each file is read through GMime's own file stream (from the page cache), as pop_parse_files
// reads its files. With --text the parts whose type is text/* also go through GMime's charset
// filter to UTF-8, from the charset they declare. Prints the same key=value line as
// pop_parse_files.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>
#include "bench/ProcessUsage.h"

namespace {

struct Totals {
    size_t fileBytes = 0;
    size_t dataBytes = 0;
    size_t parts = 0;
    bool textParts = false;
};

void DecodePart(GMimeObject* /*parent*/, GMimeObject* object, gpointer data) {
    auto& totals = *static_cast<Totals*>(data);
    if (!GMIME_IS_PART(object)) {
        return;  // multiparts and attached messages: their leaves come on their own
    }
    GMimePart* part = GMIME_PART(object);
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) {
        return;
    }
    GMimeStream* sink = g_mime_stream_null_new();
    GMimeStream* target = sink;
    GMimeContentType* type = g_mime_object_get_content_type(object);
    const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
    if (totals.textParts && g_mime_content_type_is_type(type, "text", "*") && charset != nullptr) {
        GMimeFilter* filter = g_mime_filter_charset_new(charset, "UTF-8");
        if (filter != nullptr) {
            target = g_mime_stream_filter_new(sink);
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(target), filter);
            g_object_unref(filter);
        }
    }
    g_mime_data_wrapper_write_to_stream(content, target);
    g_mime_stream_flush(target);
    totals.dataBytes += GMIME_STREAM_NULL(sink)->written;
    ++totals.parts;
    if (target != sink) {
        g_object_unref(target);
    }
    g_object_unref(sink);
}

bool ParseFile(const char* path, Totals& totals) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "gmime_parse: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    GMimeStream* stream = g_mime_stream_fs_new(fd);  // owns fd
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    const gint64 length = g_mime_stream_length(stream);
    totals.fileBytes += length > 0 ? static_cast<size_t>(length) : 0;
    if (message != nullptr) {
        g_mime_message_foreach(message, DecodePart, &totals);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    if (message == nullptr) {
        std::fprintf(stderr, "gmime_parse: no message in %s\n", path);
    }
    return message != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    Totals totals;
    long repeat = 1;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--text") {
            totals.textParts = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::strtol(argv[++i], nullptr, 10);
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty() || repeat < 1) {
        std::fprintf(stderr, "usage: gmime_parse [--text] [--repeat N] FILE...\n");
        return 2;
    }
    g_mime_init();

    const double cpuStart = zef::bench::CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (long round = 0; round < repeat; ++round) {
        for (const char* path : files) {
            ok = ParseFile(path, totals) && ok;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = zef::bench::CpuSeconds() - cpuStart;
    std::printf("bytes=%zu data=%zu events=%zu wall=%.6f cpu=%.6f rss_kib=%ld\n", totals.fileBytes,
                totals.dataBytes, totals.parts, wall, cpu, zef::bench::PeakRssKiB());
    g_mime_shutdown();
    return ok ? 0 : 1;
}
