// Bytes per second through a TWSocket pair on loopback (1 GB in 64 KB sends)
// beside a plain blocking send/recv loop over loopback, in the same run.
//   socket_throughput [megabytes [plain|pair|single]]  (one variant only, for profiling)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

using namespace pv;

namespace {

constexpr int kChunk = 64 * 1024;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Dispatches the calling thread's messages until done holds; whoever makes
// it hold from another thread posts a message to wake the loop.
template <class F> void PumpUntil(F &&done) {
    MSG msg;
    while (!done() && GetMessage(msg))
        DispatchMessage(msg);
}

// --- plain blocking loop ---------------------------------------------------

double PlainLoop(std::uint64_t total) {
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    ::listen(lfd, 1);
    socklen_t len = sizeof sin;
    ::getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &len);
    int cfd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(cfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    int sfd = ::accept(lfd, nullptr, nullptr);
    ::close(lfd);

    auto start = Clock::now();
    std::thread reader([&] {
        std::vector<char> buf(kChunk);
        std::uint64_t got = 0;
        while (got < total) {
            ssize_t n = ::recv(sfd, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            got += static_cast<std::uint64_t>(n);
        }
    });
    std::vector<char> chunk(kChunk, 'x');
    for (std::uint64_t sent = 0; sent < total;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - sent));
        ssize_t r = ::send(cfd, chunk.data(), n, MSG_NOSIGNAL);
        if (r <= 0)
            break;
        sent += static_cast<std::uint64_t>(r);
    }
    reader.join();
    double s = Seconds(start);
    ::close(cfd);
    ::close(sfd);
    return static_cast<double>(total) / s;
}

// --- TWSocket pair -----------------------------------------------------------

// Sends its share in 64 KB pieces, the next whenever the queue has emptied.
struct Sender {
    TWSocket sock;
    std::uint64_t total = 0, queued = 0;
    std::vector<char> chunk = std::vector<char>(kChunk, 'x');

    void SendMore() {
        if (queued >= total)
            return;
        int n = static_cast<int>(std::min<std::uint64_t>(kChunk, total - queued));
        queued += static_cast<std::uint64_t>(sock.Send(chunk.data(), n));
    }
};

// The receiving side: a listening TWSocket and the connection it accepts.
struct Receiver {
    TWSocket server;
    std::unique_ptr<TWSocket> conn;
    std::uint64_t total = 0, got = 0;
    std::vector<char> buf = std::vector<char>(kChunk);
    std::atomic<bool> done{false};
    HWND notify = 0; // woken when done

    std::string Listen() {
        server.MultiThreaded = true;
        server.SetAddr("127.0.0.1");
        server.SetPort("0");
        server.OnSessionAvailable = [this](TObject *, std::uint16_t) {
            SOCKET h = server.Accept();
            conn = std::make_unique<TWSocket>();
            conn->MultiThreaded = true;
            conn->OnDataAvailable = [this](TObject *, std::uint16_t) {
                int n = conn->Receive(buf.data(), static_cast<int>(buf.size()));
                if (n > 0)
                    got += static_cast<std::uint64_t>(n);
                if (got >= total && !done) {
                    done = true;
                    PostMessage(notify, WM_NULL, 0, 0);
                }
            };
            conn->Dup(h);
        };
        server.Listen();
        return server.GetXPort();
    }
};

// Receiver on a thread of its own with its own loop (as with the plain
// loop's two threads), or on the sender's thread when sameThread.
double SocketPair(std::uint64_t total, bool sameThread) {
    Sender sender;
    sender.total = total;
    sender.sock.MultiThreaded = true;

    std::unique_ptr<Receiver> local;
    std::promise<std::string> portPromise;
    std::atomic<bool> stop{false};
    std::atomic<Receiver *> remote{nullptr};
    std::atomic<HWND> remoteWindow{0};
    std::thread thread;
    std::string port;
    if (sameThread) {
        local = std::make_unique<Receiver>();
        local->total = total;
        local->notify = sender.sock.Handle();
        port = local->Listen();
    } else {
        thread = std::thread([&] {
            Receiver r;
            r.total = total;
            r.notify = sender.sock.Handle();
            remote = &r;
            remoteWindow = r.server.Handle();
            portPromise.set_value(r.Listen());
            PumpUntil([&] { return stop.load(); });
            r.conn.reset();
            remote = nullptr;
        });
        port = portPromise.get_future().get();
    }
    Receiver &rx = sameThread ? *local : *remote.load();

    bool connected = false;
    sender.sock.OnSessionConnected = [&](TObject *, std::uint16_t) { connected = true; };
    sender.sock.SetAddr("127.0.0.1");
    sender.sock.SetPort(port);
    sender.sock.Connect();
    PumpUntil([&] { return connected; });

    auto start = Clock::now();
    sender.sock.OnDataSent = [&](TObject *, std::uint16_t) { sender.SendMore(); };
    sender.SendMore();
    PumpUntil([&] { return rx.done.load(); });
    double s = Seconds(start);

    sender.sock.Close();
    if (!sameThread) {
        stop = true;
        PostMessage(remoteWindow, WM_NULL, 0, 0);
        thread.join();
    }
    return static_cast<double>(total) / s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    std::uint64_t mb = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t total = mb << 20;
    constexpr int kRuns = 7; // a shared machine is noisy: medians of interleaved runs
    std::vector<double> plain, pair, single;
    const std::string only = argc > 2 ? argv[2] : "";
    if (!only.empty()) {
        double r = only == "plain"  ? PlainLoop(total)
                   : only == "pair" ? SocketPair(total, false)
                                    : SocketPair(total, true);
        std::printf("%s: %.1f MB/s\n", only.c_str(), r / 1e6);
        return 0;
    }
    for (int i = 0; i < kRuns; ++i) {
        plain.push_back(PlainLoop(total));
        pair.push_back(SocketPair(total, false));
        single.push_back(SocketPair(total, true));
    }
    auto runs = [](const char *name, const std::vector<double> &v) {
        std::printf("  %-8s", name);
        for (double x : v)
            std::printf(" %7.0f", x / 1e6);
        std::printf("  MB/s per run\n");
    };
    runs("plain", plain);
    runs("pair", pair);
    runs("single", single);
    const double p = Median(plain), t = Median(pair), o = Median(single);
    std::printf("socket_throughput: %llu MB in 64 KB sends over 127.0.0.1, median of %d runs\n",
                static_cast<unsigned long long>(mb), kRuns);
    std::printf("  plain blocking send/recv (2 threads):   %8.1f MB/s\n", p / 1e6);
    std::printf("  TWSocket pair (a loop on each thread):  %8.1f MB/s   ratio %.2f (target >= "
                "0.70)\n",
                t / 1e6, t / p);
    std::printf("  TWSocket pair (both on one thread):     %8.1f MB/s   ratio %.2f\n", o / 1e6,
                o / p);
    return 0;
}
