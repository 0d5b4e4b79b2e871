// The access load beside a scraped endpoint: back-to-back passes over a
// hold's memory (HeldMemory::fillAll with one worker, as `torvane-run --hold
// 1G -a` writes it, counted the same way) while the product's metrics
// endpoint is scraped every 100 ms over a kept connection, against the same
// passes with no endpoint. Rounds take turns, who goes first changing each
// round. Prints BENCH metrics.scrape <case> product|without GB/s, and the
// scrapes answered a second as an extra.
//
//   bench_metrics ROUNDS SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "headless/memory/room_checked_allocator.h"
#include "headless/metrics/exposition.h"
#include "headless/metrics/live_figures.h"
#include "headless/metrics/metrics_endpoint.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/parallel_fill.h"
#include "headless/system/block_allocator.h"
#include "headless/system/memory_room.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kBytes = 1ull << 30;
const char kCase[] = "1GiB, 1 worker";

// One kept connection, a GET /metrics every 100 ms; counts whole answers
// that carry the held size.
void scrapeEvery100ms(std::uint16_t port, const std::atomic<bool>& done, std::atomic<unsigned>& answered) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return;
    }
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string held = "\ntorvane_held_bytes " + std::to_string(kBytes) + "\n";
    auto next = Clock::now();
    while (!done) {
        next += std::chrono::milliseconds(100);
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) break;
        std::string answer;
        std::size_t length = std::string::npos, headerEnd = std::string::npos;
        while (headerEnd == std::string::npos || answer.size() < headerEnd + 4 + length) {
            pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 2000) <= 0) break;
            char chunk[8192];
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            answer.append(chunk, static_cast<std::size_t>(got));
            if (headerEnd == std::string::npos && (headerEnd = answer.find("\r\n\r\n")) != std::string::npos) {
                const std::size_t at = answer.find("Content-Length: ");
                length = at == std::string::npos ? 0 : std::strtoul(answer.c_str() + at + 16, nullptr, 10);
            }
        }
        if (answer.find(held) != std::string::npos) ++answered;
        std::this_thread::sleep_until(next);
    }
    close(fd);
}

// Passes back to back for `seconds`; GB/s written.
double passesFor(HeldMemory& memory, double seconds) {
    const auto fill = fillWithWorkers(1);
    const std::uint64_t before = liveFigures().accessWritten.load();
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    unsigned char value = 1;
    while ((elapsed = std::chrono::duration<double>(Clock::now() - start).count()) < seconds) {
        memory.fillAll(fill, value);
        value = static_cast<unsigned char>(value % 64 + 1);
    }
    return static_cast<double>(liveFigures().accessWritten.load() - before) / elapsed / 1e9;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_metrics ROUNDS SECONDS\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    RoomCheckedAllocator allocator(platformAllocator(), readMemoryRoom, [](const char*, const std::string&) {}, false);
    HeldMemory memory(allocator, true, 256ull << 20);
    if (memory.grow(kBytes, [] { return true; }) != kBytes) {
        std::printf("NOTE\tmetrics.scrape\tthe 1 GiB hold was not granted\n");
        return 1;
    }
    passesFor(memory, 0.5);  // caches and pages settled before the first round
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool scraped = (turn == 0) == (round % 2 == 0);
            if (!scraped) {
                std::printf("BENCH\tmetrics.scrape\t%s\twithout\t%.9g\tGB/s\n", kCase, passesFor(memory, seconds));
                continue;
            }
            MetricsEndpoint endpoint;
            MetricsAddress address;  // 127.0.0.1, a free port
            std::string why;
            const auto body = [&allocator] {
                return expositionText(metricFamilies(readFiguresNow(liveFigures(), allocator.held(), RunMode::Hold)));
            };
            if (!endpoint.open(address, why) || !endpoint.start(body, why)) {
                std::printf("NOTE\tmetrics.scrape\tthe endpoint did not start: %s\n", why.c_str());
                return 1;
            }
            std::atomic<bool> done{false};
            std::atomic<unsigned> answered{0};
            std::thread scraper(scrapeEvery100ms, endpoint.port(), std::cref(done), std::ref(answered));
            const double rate = passesFor(memory, seconds);
            done = true;
            scraper.join();
            endpoint.stop();
            std::printf("BENCH\tmetrics.scrape\t%s\tproduct\t%.9g\tGB/s\n", kCase, rate);
            std::printf("BENCH\tmetrics.scrape\t%s\tscrapes answered\t%.9g\t/s\n", kCase, answered / seconds);
        }
        std::fflush(stdout);
    }
    return 0;
}
