// The server's own pace: `pop_drain PORT USER` (password in ZEFMAIL_PASSWORD) runs the dialogue
// of `zefmail fetch --keep` (USER, PASS, STAT, then LIST n and RETR n one command at a time,
// QUIT) on a bare blocking socket on 127.0.0.1 and drops every response unread. Nothing is
// parsed, so its time is the floor for any client that waits for each reply before the next
// command.
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

class RawPop {
  public:
    explicit RawPop(unsigned short port) : socket_(io_), buffer_(1 << 20) {
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
        Status();
    }

    void Command(const std::string& line) { asio::write(socket_, asio::buffer(line + "\r\n")); }

    // A one-line reply. The server answers each command with one write, and nothing follows
    // until the next command, so a read that ends in CR LF holds the whole line.
    std::string Status() {
        std::string line;
        while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            line.append(buffer_.data(), socket_.read_some(asio::buffer(buffer_)));
        }
        received_ += line.size();
        if (line.rfind("+OK", 0) != 0) {
            throw std::runtime_error("refused: " + line);
        }
        return line;
    }

    // A multi-line reply up to its final ".": only the last five bytes are looked at.
    void Multi() {
        std::string tail;
        while (tail.size() < 5 || tail.compare(tail.size() - 5, 5, "\r\n.\r\n") != 0) {
            const size_t count = socket_.read_some(asio::buffer(buffer_));
            received_ += count;
            tail.append(buffer_.data() + (count > 5 ? count - 5 : 0), count > 5 ? 5 : count);
            if (tail.size() > 5) {
                tail.erase(0, tail.size() - 5);
            }
        }
    }

    size_t Received() const { return received_; }

  private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::vector<char> buffer_;
    size_t received_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const char* password = std::getenv("ZEFMAIL_PASSWORD");
    if (argc != 3 || password == nullptr) {
        std::fputs("usage: ZEFMAIL_PASSWORD=... pop_drain PORT USER\n", stderr);
        return 2;
    }
    try {
        RawPop pop(static_cast<unsigned short>(std::stoul(argv[1])));
        pop.Command(std::string("USER ") + argv[2]);
        pop.Status();
        pop.Command(std::string("PASS ") + password);
        pop.Status();
        pop.Command("STAT");
        const long count = std::stol(pop.Status().substr(4));
        for (long number = 1; number <= count; ++number) {
            pop.Command("LIST " + std::to_string(number));
            pop.Status();
            pop.Command("RETR " + std::to_string(number));
            pop.Multi();
        }
        pop.Command("QUIT");
        pop.Status();
        std::printf("messages=%ld received=%zu\n", count, pop.Received());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pop_drain: %s\n", e.what());
        return 1;
    }
    return 0;
}
