// Jobs killed with SIGKILL at random moments, with Delete and Backup on,
// against a server that stores every mail: afterwards every file ever put
// into the poll directory is still there unchanged or arrived whole in a
// mail, and every backup is complete. Each job adds files of its own to what
// earlier killed jobs left, so later jobs also meet the remains of earlier
// ones. A last job, not killed, must then send everything left.
//
// PV_KILL_SEED repeats a run (the seed is printed).
#include "tests/e2e/E2eSupport.h"

#include <random>

namespace pv::e2e {
namespace {

class Kill : public Job {
  protected:
    void SetUp() override {
        Job::SetUp();
        const char *fixed = std::getenv("PV_KILL_SEED");
        seed_ = fixed && *fixed ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10))
                                : std::random_device{}();
        random_.seed(seed_);
        std::printf("kill test seed: PV_KILL_SEED=%u\n", seed_);
        Set("Delete", "1");
        Set("Backup", "1");
        Set("VerboseLogging", "1");
        Set("FileSelection", "*.txt");
    }

    // A few files of random sizes (empty ones and some of megabytes among
    // them), each kept in orig/ as well.
    void AddFiles(int job) {
        const int count = 3 + static_cast<int>(random_() % 6);
        for (int i = 0; i < count; ++i) {
            const std::size_t sizes[] = {0, 1, 1000, 54 * 1000, 200000, 600000};
            const std::size_t size = sizes[random_() % std::size(sizes)] + random_() % 3000;
            Put("job" + std::to_string(job) + "_" + std::to_string(i) + ".txt",
                RandomBytes(size, static_cast<unsigned>(random_())));
        }
    }

    // Starts the program; its exit status once it ended by itself, -1 when
    // it was killed first, after ms milliseconds.
    int RunAndKill(int ms) {
        WriteIni();
        std::string prog = Prog() + "/postvane";
        char *argv[] = {prog.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return -2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

    // The log from the last "Timer On" on.
    std::string LastJobLog() const {
        const std::string log = ReadFileText(Prog() + "/Postvane.log");
        const std::size_t at = log.rfind("Timer On");
        return at == std::string::npos ? log : log.substr(log.rfind('\n', at) + 1);
    }

    // The bytes of the files waiting in the poll directory.
    std::uint64_t Pending() const {
        std::uint64_t bytes = 0;
        struct stat st;
        for (const std::string &name : Files(Poll()))
            if (stat((Poll() + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                bytes += static_cast<std::uint64_t>(st.st_size);
        return bytes;
    }

    // Milliseconds from the start to the end of a job run to its end.
    int TimedRun() {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunAndKill(60000), 0) << "a job ended badly before any kill";
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
    }

    // Most kills fall into the job itself, which starts after the wait of
    // one interval (1 s) and lasts as long as its files take to mail, copy
    // and delete; the others anywhere from the program's start.
    int KillMoment() {
        const int end = idle_ + static_cast<int>(msPerByte_ * static_cast<double>(Pending()));
        const int from = random_() % 5 == 0 ? 0 : 980;
        return from + static_cast<int>(random_() % static_cast<unsigned>(std::max(end - from, 20)));
    }

    // jobs killed jobs, then one that runs to its end.
    void KillJobs(int jobs) {
        // The server stores every mail, whatever its size: what killed jobs
        // leave adds up to one mail of the next.
        ASSERT_EQ(mkdir(Spool().c_str(), 0755), 0);
        ASSERT_TRUE(server_.Start({kPython, SupportPath("smtp_server.py"), "--spool", Spool()}))
            << server_.ErrorLog();
        Set("HostPort", std::to_string(server_.Port()));
        // Jobs with nothing to do and with files, timed, so that the kills
        // spread over a job's life: start-up, the wait of one interval, the
        // scan, the mails, the backup copies and the deletions.
        idle_ = TimedRun();
        AddFiles(0);
        const std::uint64_t bytes = Pending();
        const int whole = TimedRun();
        msPerByte_ =
            std::max(whole - idle_, 30) / static_cast<double>(std::max<std::uint64_t>(bytes, 1));
        int killed = 0;
        for (int job = 1; job <= jobs; ++job) {
            AddFiles(job);
            const int at = KillMoment();
            const int status = RunAndKill(at);
            if (status == -1)
                ++killed;
            else
                EXPECT_EQ(status, 0) << "job " << job << " ended by itself, badly";
        }
        ASSERT_EQ(RunAndKill(60000), 0) << "the last job, not killed:\n" << LastJobLog();
        EXPECT_EQ(Files(Poll()), std::vector<std::string>{"Backup"})
            << "the last job left files unsent";
        std::printf("%d of %d jobs killed; a whole job took %d ms\n", killed, jobs, whole);

        // Every file was sent by now, or some job had reason to keep it.
        const std::string out = dir_ / "kill_check.out";
        const int rc =
            Shell(std::string(kPython) + " " + Quoted(SupportPath("kill_check.py")) + " " +
                  Quoted(dir_ / "orig") + " " + Quoted(Poll()) + " " + Quoted(Spool()) + " " +
                  Quoted(Prog()) + " > " + Quoted(out) + " 2>&1");
        const std::string report = ReadFileText(out);
        EXPECT_EQ(rc, 0) << report << "(seed " << seed_ << ")";
        std::printf("%s", report.c_str());
    }

    unsigned seed_ = 0;
    int idle_ = 1000;
    double msPerByte_ = 0;
    std::mt19937 random_;
};

// Half of the 50 jobs with one mail for all files, half with one per file.
TEST_F(Kill, AllFilesInOneMail) {
    KillJobs(25);
}

TEST_F(Kill, OneMailPerFile) {
    Set("SingleFilePerMail", "1");
    KillJobs(25);
}

} // namespace
} // namespace pv::e2e
