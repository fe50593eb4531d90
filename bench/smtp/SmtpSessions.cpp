// Messages per second through smtpZef: one connection per message, one kept session per control,
// and a kept session with a pipelined envelope; with 1 and with 8 controls sending at the same
// time on one event loop. The server is an in-process sink on a thread of its own that offers
// PIPELINING, answers every command at once and keeps nothing.
//
//   smtp_sessions [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"

namespace {

using asio::ip::tcp;

// One client connection of the sink: reads lines, writes the replies of each read in one write
// (so that pipelined commands get their replies together) and drops the message data.
class SinkConnection : public std::enable_shared_from_this<SinkConnection> {
  public:
    explicit SinkConnection(tcp::socket socket) : socket_(std::move(socket)) {}

    void Start() {
        Reply("220 sink ready\r\n");
        Read();
    }

  private:
    void Read() {
        socket_.async_read_some(asio::buffer(buffer_),
                                [self = shared_from_this()](std::error_code error, size_t n) {
                                    if (!error) {
                                        self->Take(std::string_view(self->buffer_.data(), n));
                                    }
                                });
    }

    void Take(std::string_view bytes) {
        pending_ += bytes;
        std::string replies;
        size_t start = 0;
        bool quit = false;
        for (size_t end = pending_.find("\r\n"); end != std::string::npos;
             end = pending_.find("\r\n", start)) {
            const std::string_view line(pending_.data() + start, end - start);
            start = end + 2;
            quit = Answer(line, replies) || quit;
        }
        pending_.erase(0, start);
        Reply(replies);
        if (!quit) {
            Read();
        }
    }

    // Appends the reply to one line; true for QUIT.
    bool Answer(std::string_view line, std::string& replies) {
        if (inData_) {
            if (line == ".") {
                inData_ = false;
                replies += "250 queued\r\n";
            }
            return false;
        }
        const std::string_view verb = line.substr(0, 4);
        if (verb == "EHLO") {
            replies += "250-sink\r\n250 PIPELINING\r\n";
        } else if (verb == "DATA") {
            inData_ = true;
            replies += "354 go ahead\r\n";
        } else if (verb == "QUIT") {
            replies += "221 bye\r\n";
            return true;
        } else {
            replies += "250 ok\r\n";
        }
        return false;
    }

    void Reply(const std::string& replies) {
        std::error_code error;
        if (!replies.empty()) {
            asio::write(socket_, asio::buffer(replies), error);
        }
    }

    tcp::socket socket_;
    std::array<char, 65536> buffer_{};
    std::string pending_;
    bool inData_ = false;
};

class Sink {
  public:
    Sink() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        Accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Sink() {
        io_.stop();
        thread_.join();
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    long Accepted() const { return accepted_; }
    std::u16string Port() const {
        return zef::AsciiToText(std::to_string(acceptor_.local_endpoint().port()));
    }

  private:
    void Accept() {
        acceptor_.async_accept([this](std::error_code error, tcp::socket socket) {
            if (!error) {
                ++accepted_;
                std::make_shared<SinkConnection>(std::move(socket))->Start();
            }
            Accept();
        });
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
    std::atomic<long> accepted_{0};
};

const zef::Bytes& Body() {
    static const zef::Bytes body =
        zef::TextToUtf16Le(u"お知らせです。\r\nA line of ASCII text as well.\r\n");
    return body;
}

// Arg 0: 0 a connection per message, 1 KeepSession, 2 KeepSession and Pipelining.
// Arg 1: controls sending at the same time on the one loop.
void BM_Messages(benchmark::State& state) {
    static Sink sink;
    const long mode = state.range(0);
    const auto controls = static_cast<size_t>(state.range(1));
    constexpr long kPerControl = 200;  // messages per control and iteration

    asio::io_context io;
    std::vector<std::unique_ptr<zef::smtpZef>> senders;
    long done = 0;
    long failed = 0;
    std::vector<long> left(controls);
    for (size_t i = 0; i < controls; ++i) {
        auto& control = *senders.emplace_back(std::make_unique<zef::smtpZef>(io));
        control.Port(sink.Port());
        control.FromAddr(u"bench@example.jp");
        control.ToAddr(u"sink@example.jp");
        control.KeepSession(mode >= 1);
        control.Pipelining(mode == 2);
        control.SessionIdleTime(0);  // no idle timer: the loop ends when the sessions close
        control.MoreData = [](long id, zef::Bytes& data) {
            if (id == 1) {
                data = Body();
            }
        };
        control.Done = [&, i, c = &control](long code, const zef::Text&) {
            ++done;
            failed += code != 0 ? 1 : 0;
            if (--left[i] > 0) {
                c->Smtp(u"127.0.0.1", u"Subject: notice\r\nTo: sink@example.jp\r\n");
            }
        };
    }

    const long acceptedBefore = sink.Accepted();
    for (auto _ : state) {
        io.restart();  // a connection per message leaves the loop without work between rounds
        done = 0;
        for (size_t i = 0; i < controls; ++i) {
            left[i] = kPerControl;
            senders[i]->Smtp(u"127.0.0.1", u"Subject: notice\r\nTo: sink@example.jp\r\n");
        }
        const long target = kPerControl * static_cast<long>(controls);
        while (done < target && io.run_one() > 0) {
        }
    }
    for (auto& control : senders) {
        control->CloseSession();
    }
    io.run();
    const long messages =
        static_cast<long>(state.iterations()) * kPerControl * static_cast<long>(controls);
    state.SetItemsProcessed(messages);
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["connections/msg"] =
        static_cast<double>(sink.Accepted() - acceptedBefore) / static_cast<double>(messages);
}
BENCHMARK(BM_Messages)
    ->ArgNames({"mode", "controls"})
    ->ArgsProduct({{0, 1, 2}, {1, 4, 16}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
