// Packing through TZip and the ZIP library beside Debian's `zip -6`, on the
// same files in the same run: 100 MB of log-like text and 100 MB of random
// bytes. Runs alternate between the two; the figures are medians.
//   zip_pack [megabytes [runs]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Application.h"
#include "zip/Zip.h"

extern char **environ;

using namespace pv;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t SizeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

double CpuSeconds(const rusage &u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall-clock and processor seconds of one run: on a busy machine the
// second is the steadier measure.
struct Timing {
    double Wall = 0;
    double Cpu = 0;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Lines like a mail server's log: time stamps, ids, addresses, counts.
void WriteLogText(const std::string &path, std::int64_t bytes) {
    static const char *const verbs[] = {
        "connect from", "message accepted from", "queued for",       "delivered to",
        "deferred for", "disconnect from",       "TLS session with", "relay denied for"};
    static const char *const hosts[] = {"mail.example.com", "relay.example.org", "mx1.example.net",
                                        "smtp.example.com"};
    static const char *const users[] = {"admin", "backup", "reports", "ops", "billing", "root"};
    std::mt19937 rng(12345);
    auto r = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    FILE *f = std::fopen(path.c_str(), "wb");
    char line[256];
    for (std::int64_t written = 0; written < bytes;) {
        unsigned month = r(12) + 1, day = r(28) + 1, hour = r(24), minute = r(60), second = r(60),
                 ms = r(1000), pid = r(30000) + 1000, id = r(0xFFFFFFFFu);
        const char *verb = verbs[r(8)], *user = users[r(6)], *host = hosts[r(4)];
        unsigned size = r(5000000);
        const char *status = r(4) ? "sent" : "deferred";
        int n = std::snprintf(line, sizeof line,
                              "2024-%02u-%02u %02u:%02u:%02u.%03u postvane[%u]: %08X: %s %s@%s "
                              "(size=%u, status=%s)\n",
                              month, day, hour, minute, second, ms, pid, id, verb, user, host, size,
                              status);
        std::fwrite(line, 1, static_cast<std::size_t>(n), f);
        written += n;
    }
    std::fclose(f);
}

void WriteRandom(const std::string &path, std::int64_t bytes) {
    std::mt19937_64 rng(777);
    FILE *f = std::fopen(path.c_str(), "wb");
    std::vector<std::uint64_t> block(8192);
    for (std::int64_t written = 0; written < bytes;) {
        for (auto &w : block)
            w = rng();
        std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(bytes - written, static_cast<std::int64_t>(block.size() * 8)));
        std::fwrite(block.data(), 1, n, f);
        written += static_cast<std::int64_t>(n);
    }
    std::fclose(f);
}

Timing RunZip(const std::string &archive, const std::string &file) {
    unlink(archive.c_str());
    std::vector<std::string> args = {"zip", "-q", "-6", archive, file};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "zip", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "zip_pack: cannot start zip\n");
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Timing t{Seconds(start), CpuSeconds(usage)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zip_pack: zip failed\n");
        std::exit(1);
    }
    return t;
}

Timing RunTZip(TZip &zip, const std::string &archive, const std::string &file) {
    unlink(archive.c_str());
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    auto start = Clock::now();
    zip.SetFileName(archive);
    zip.FileSpecs = {file};
    std::int32_t n = zip.Add(false);
    zip.SetFileName("");
    Timing t{Seconds(start), 0};
    getrusage(RUSAGE_SELF, &after);
    t.Cpu = CpuSeconds(after) - CpuSeconds(before);
    if (n != 1) {
        std::fprintf(stderr, "zip_pack: TZip packed %d files\n", n);
        std::exit(1);
    }
    return t;
}

} // namespace

int main(int argc, char **argv) {
    const std::int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    char tmpl[] = "/tmp/zip_pack.XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("zip_pack");
        return 1;
    }
    const std::string dir = std::string(tmpl) + "/";

    TZip zip;
    zip.DllDirectory = PV_ZIPDLL_DIR;
    zip.ShowProgressDialog = false;
    if (!zip.LoadDll()) {
        std::fprintf(stderr, "zip_pack: cannot load the library from %s\n", PV_ZIPDLL_DIR);
        return 1;
    }

    struct Case {
        const char *Name;
        void (*Make)(const std::string &, std::int64_t);
    };
    std::printf("%lld MB per file, median of %d alternating runs\n",
                static_cast<long long>(megabytes), runs);
    std::printf("%-7s %9s %9s %6s %9s %9s %6s %12s %12s %7s\n", "data", "TZip s", "zip s", "wall",
                "TZip cpu", "zip cpu", "cpu", "TZip bytes", "zip bytes", "size");
    bool met = true;
    for (Case c : {Case{"text", WriteLogText}, Case{"random", WriteRandom}}) {
        const std::string file = dir + c.Name + ".dat";
        c.Make(file, megabytes << 20);
        std::vector<double> wallA, wallB, cpuA, cpuB;
        for (int r = 0; r < runs; ++r) {
            Timing a, b;
            if (r % 2) {
                b = RunZip(dir + "zip.zip", file);
                a = RunTZip(zip, dir + "tzip.zip", file);
            } else {
                a = RunTZip(zip, dir + "tzip.zip", file);
                b = RunZip(dir + "zip.zip", file);
            }
            wallA.push_back(a.Wall);
            wallB.push_back(b.Wall);
            cpuA.push_back(a.Cpu);
            cpuB.push_back(b.Cpu);
        }
        const double wa = Median(wallA), wb = Median(wallB), ca = Median(cpuA), cb = Median(cpuB);
        const std::int64_t sa = SizeOf(dir + "tzip.zip"), sb = SizeOf(dir + "zip.zip");
        const double sizeRatio = static_cast<double>(sa) / static_cast<double>(sb);
        std::printf("%-7s %9.3f %9.3f %5.3fx %9.3f %9.3f %5.3fx %12lld %12lld %6.4fx\n", c.Name, wa,
                    wb, wa / wb, ca, cb, ca / cb, static_cast<long long>(sa),
                    static_cast<long long>(sb), sizeRatio);
        met = met && wa / wb <= 1.0 && ca / cb <= 1.0 && sizeRatio <= 1.01 && sizeRatio >= 0.99;
        unlink(file.c_str());
    }
    unlink((dir + "zip.zip").c_str());
    unlink((dir + "tzip.zip").c_str());
    rmdir(dir.c_str());
    std::printf("target (time <= 1.0x, size within 1%%): %s\n", met ? "met" : "NOT met");
    return 0;
}
