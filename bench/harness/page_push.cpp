#include "page_push.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "figures.h"
#include "proc_stats.h"

namespace vorn::bench {

namespace {

using namespace std::chrono_literals;
using sim::DecodedFrame;
using sim::FrameKind;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One page listening on /events: a socket in the harness's loop, cut into
// events; every label found in a part event is handed on with the time
// its bytes arrived.
class PageClient {
public:
    PageClient(EventLoop& loop, int port, const std::string& from) : loop_(loop) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw BenchError("page client: bind " + from);
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw BenchError(std::string("page client: connect: ") + std::strerror(errno));
        }
        const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            throw BenchError("page client: send");
        }
        fcntl(fd_, F_SETFL, O_NONBLOCK);
        loop_.Watch(fd_, [] { return static_cast<short>(POLLIN); }, [this](short) { Read(); });
    }
    ~PageClient() {
        loop_.Unwatch(fd_);
        close(fd_);
    }

    std::function<void(const std::string& label, Clock::time_point at)> onLabel;
    size_t wholePictures = 0;  // "all" events
    bool closed = false;

private:
    void Read() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) closed = true;
            if (n <= 0) break;
            pending_.append(buffer, static_cast<size_t>(n));
        }
        for (std::size_t end; (end = pending_.find("\n\n")) != std::string::npos;) {
            const std::string event = pending_.substr(0, end);
            pending_.erase(0, end + 2);
            if (event.rfind("event: all\n", 0) == 0) ++wholePictures;
            if (event.rfind("event: part\n", 0) != 0 || !onLabel) continue;
            const std::size_t m = event.find("<span class=\"m\">");
            if (m == std::string::npos) continue;
            const std::size_t from = m + 16;
            onLabel(event.substr(from, event.find('<', from) - from), loop_.Now());
        }
    }

    EventLoop& loop_;
    int fd_ = -1;
    std::string pending_;
};

// Writes changes at the rate for the duration: labels "P<serial>", in turn
// over every button of every panel, paced in 10 ms steps. Returns the
// number written.
size_t WriteLoad(World& w, double seconds, double rate, int* serial) {
    const Clock::time_point start = Clock::now();
    const auto step = 10ms;
    const size_t total = static_cast<size_t>(seconds * rate);
    size_t written = 0;
    for (int tick = 1; written < total; ++tick) {
        const size_t due = std::min(total, static_cast<size_t>(rate * tick * 0.010));
        for (; written < due; ++written) {
            const int k = (*serial)++;
            const int panel = k % w.panelCount() + 1;
            const int button = (k / w.panelCount()) % kButtons + 1;
            char text[16];
            std::snprintf(text, sizeof text, "P%07d", k % 10000000);
            w.control().Write(SlotOf(panel, kLabelOffset + button), text);
        }
        w.loop().RunUntil([] { return false; }, start + step * tick);
        w.CheckSystems();
    }
    return written;
}

}  // namespace

PagePushFigures MeasurePagePush(World& w, ChildProcess& driver, double seconds, double rate, int pages) {
    PagePushFigures f;
    f.seconds = seconds;
    f.rate = rate;
    f.pages = pages;
    int serial = 0;

    // Without a page.
    WriteLoad(w, 1.0, rate, &serial);  // warm-up
    w.WaitQuiet(300ms, Clock::now() + 10s);
    f.rssWithoutKib = RssKib(driver.pid()).value_or(0);
    const auto cpu0 = CpuSeconds(driver.pid());
    const size_t plain = WriteLoad(w, seconds, rate, &serial);
    const auto cpu1 = CpuSeconds(driver.pid());
    w.WaitQuiet(300ms, Clock::now() + 10s);

    // With pages open: the first one measures.
    std::map<std::string, Clock::time_point> framed;  // label -> its frame at the panel
    std::vector<std::unique_ptr<PageClient>> clients;
    for (int i = 0; i < pages; ++i) {
        clients.push_back(std::make_unique<PageClient>(w.loop(), w.statusPort(), "127.0.0." + std::to_string(10 + i)));
    }
    if (!w.loop().RunUntil([&] {
            for (const auto& c : clients) {
                if (c->wholePictures == 0) return false;
            }
            return true;
        }, Clock::now() + 10s)) {
        throw BenchError("the pages got no picture from /events\n" + w.LogTails());
    }
    for (auto& c : clients) c->wholePictures = 0;
    clients.front()->onLabel = [&](const std::string& label, Clock::time_point at) {
        const auto it = framed.find(label);
        if (it == framed.end()) return;
        f.ms.push_back(Ms(at - it->second));
        framed.erase(it);
    };
    for (int n = 1; n <= w.panelCount(); ++n) {
        w.panel(n).onFrame = [&](const DecodedFrame& frame, Clock::time_point at) {
            if (frame.kind != FrameKind::Text10) return;
            std::string label = frame.text;
            while (!label.empty() && label.back() == ' ') label.pop_back();
            framed.emplace(label, at);
        };
    }
    const auto cpu2 = CpuSeconds(driver.pid());
    const size_t withPages = WriteLoad(w, seconds, rate, &serial);
    const auto cpu3 = CpuSeconds(driver.pid());
    f.rssWithKib = RssKib(driver.pid()).value_or(0);
    // What was framed and not yet pushed gets 2 s.
    w.loop().RunUntil([&] { return framed.empty(); }, Clock::now() + 2s);
    f.missed = framed.size();
    for (int n = 1; n <= w.panelCount(); ++n) w.panel(n).onFrame = nullptr;
    for (const auto& c : clients) f.wholePictures += c->wholePictures;
    if (!cpu0 || !cpu1 || !cpu2 || !cpu3) throw BenchError("cannot read the driver's CPU time");
    f.cpuPer1000Without = (*cpu1 - *cpu0) / static_cast<double>(plain) * 1000.0;
    f.cpuPer1000With = (*cpu3 - *cpu2) / static_cast<double>(withPages) * 1000.0;
    return f;
}

void PrintPagePush(const std::vector<PagePushFigures>& runs, std::FILE* out) {
    if (runs.empty()) return;
    std::vector<double> all, p50, p99, without, with, perPage;
    size_t missed = 0, whole = 0;
    for (const PagePushFigures& f : runs) {
        all.insert(all.end(), f.ms.begin(), f.ms.end());
        p50.push_back(Percentile(f.ms, 50).value_or(0));
        p99.push_back(Percentile(f.ms, 99).value_or(0));
        without.push_back(f.cpuPer1000Without * 1000.0);
        with.push_back(f.cpuPer1000With * 1000.0);
        perPage.push_back(static_cast<double>(f.rssWithKib - f.rssWithoutKib) / std::max(1, f.pages));
        missed += f.missed;
        whole += f.wholePictures;
    }
    const PagePushFigures& first = runs.front();
    std::fprintf(out, "\nStatus page, live channel (driver; %d pages on /events, %.0f label changes/s over 12 panels, "
                      "%.0f s a phase, %zu runs)\n",
                 first.pages, first.rate, first.seconds, runs.size());
    std::fprintf(out, "| %-44s | %10s | %8s |\n", "figure", "driver", "target");
    std::fprintf(out, "|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
                 std::string(10, '-').c_str());
    const auto row = [&](const char* name, double value, int decimals, const char* target) {
        std::fprintf(out, "| %-44s | %10.*f | %8s |\n", name, decimals, value, target);
    };
    row("push latency p50 (ms)", Median(p50).value_or(0), 1, "");
    row("push latency p99 (ms)", Median(p99).value_or(0), 1, "<= 100");
    row("push latency max (ms)", Percentile(all, 100).value_or(0), 1, "");
    row("labels never pushed", static_cast<double>(missed), 0, "0");
    row("whole pictures resent", static_cast<double>(whole), 0, "");
    row("CPU per 1000 changes, no page (ms)", Median(without).value_or(0), 1, "");
    row("CPU per 1000 changes, pages open (ms)", Median(with).value_or(0), 1, "");
    row("RSS per open page (KiB)", Median(perPage).value_or(0), 0, "");
}

std::string PagePushJson(const std::vector<PagePushFigures>& runs) {
    std::ostringstream o;
    o << "[";
    for (size_t i = 0; i < runs.size(); ++i) {
        const PagePushFigures& f = runs[i];
        o << (i ? "," : "") << "{\"seconds\":" << f.seconds << ",\"rate\":" << f.rate << ",\"pages\":" << f.pages
          << ",\"samples\":" << f.ms.size() << ",\"p50_ms\":" << Percentile(f.ms, 50).value_or(-1)
          << ",\"p99_ms\":" << Percentile(f.ms, 99).value_or(-1) << ",\"max_ms\":" << Percentile(f.ms, 100).value_or(-1)
          << ",\"missed\":" << f.missed << ",\"whole_pictures\":" << f.wholePictures
          << ",\"cpu_s_per_1000_without\":" << f.cpuPer1000Without << ",\"cpu_s_per_1000_with\":" << f.cpuPer1000With
          << ",\"rss_without_kib\":" << f.rssWithoutKib << ",\"rss_with_kib\":" << f.rssWithKib << "}";
    }
    o << "]";
    return o.str();
}

}  // namespace vorn::bench
