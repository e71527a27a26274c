// quillon-bench-update: the complete update, controller and ESP32 part, as a user runs it: quillon
// --text --yes in a pseudo-terminal against quillon-devsim moving bytes at USB full-speed rates.
// Reports the wall time, the floor (every wait the sequence itself makes, the device's own time
// and the bytes at the link's rate), their ratio and the program's peak resident memory.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    int runs = 3;
    int restartDelayMs = 1000;
    int installPolls = 3;
};

[[noreturn]] void Exec(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

struct Run {
    double wallMs = 0;
    long peakKb = 0;
    int exit = -1;
    std::map<std::string, unsigned long long> link;
};

Run RunOnce(const Options& o) {
    Run run;
    char tmpl[] = "/tmp/quillon-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::filesystem::create_directories(dir + "/Kalder");
    const std::string link = dir + "/port0", stats = dir + "/stats";

    const pid_t devsim = fork();
    if (devsim == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        Exec({QUILLON_DEVSIM_PATH, "--link", link, "--serial", "N11501", "--version", "340", "--throttle", "--quiet",
              "--restart-delay", std::to_string(o.restartDelayMs), "--install-polls", std::to_string(o.installPolls),
              "--stats", stats});
    }
    for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    winsize ws{};
    ws.ws_col = 100;
    ws.ws_row = 30;
    int master = -1;
    const auto start = std::chrono::steady_clock::now();
    const pid_t quillon = forkpty(&master, nullptr, nullptr, &ws);
    if (quillon == 0) {
        setenv("VELMORA_COMMON_APPDATA", dir.c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.c_str(), 1);
        setenv("VELMORA_COM_PORTS", ("0A1F=" + link).c_str(), 1);
        setenv("TERM", "xterm-256color", 1);
        Exec({QUILLON_PATH, "--text", "--yes"});
    }
    char buf[4096];
    while (true) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        break;
    }
    int status = 0;
    rusage usage{};
    wait4(quillon, &status, 0, &usage);
    run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.peakKb = usage.ru_maxrss;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(master);

    kill(devsim, SIGTERM);
    waitpid(devsim, &status, 0);
    std::ifstream in(stats);
    std::string key;
    unsigned long long value = 0;
    while (in >> key >> value) run.link[key] = value;
    std::filesystem::remove_all(dir);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int* out) {
            if (i + 1 >= argc) return false;
            *out = std::atoi(argv[++i]);
            return true;
        };
        if ((a == "--runs" && number(&o.runs)) || (a == "--restart-delay" && number(&o.restartDelayMs)) ||
            (a == "--install-polls" && number(&o.installPolls)))
            continue;
        std::fprintf(stderr, "usage: quillon-bench-update [--runs N] [--restart-delay MS] [--install-polls N]\n");
        return 2;
    }

    std::vector<Run> runs;
    for (int i = 0; i < o.runs; ++i) {
        runs.push_back(RunOnce(o));
        std::printf("run %d: %.0f ms, exit status %d, peak resident %ld KiB\n", i + 1, runs.back().wallMs,
                    runs.back().exit, runs.back().peakKb);
        if (runs.back().exit != 0) {
            std::fprintf(stderr, "the update did not succeed\n");
            return 1;
        }
    }

    // The floor, step by step along the update's one path.
    const Run& first = runs.front();
    const double linkMs = (first.link.at("frames") * 1000.0 + first.link.at("bytes-in") + first.link.at("bytes-out")) / 1000.0;
    const double restart = o.restartDelayMs;
    const std::vector<std::pair<std::string, double>> floor = {
        {"open and prepare at start: two pauses of 100 ms", 200},
        {"device restarts into Bootware", restart},
        {"reopen in Bootware: pause of 100 ms", 100},
        {"pause before the commit", 100},
        {"device restarts with the new firmware (the first reopen waits 1,000 ms)", std::max(restart, 1000.0)},
        {"reopen after the commit: two pauses of 100 ms", 200},
        {"wait after the reopen", 1000},
        {"pauses after the four ESP32 files: 4 x 50 ms", 200},
        {"install: status read every 1,000 ms until done (" + std::to_string(o.installPolls + 1) + " reads)",
         1000.0 * (o.installPolls + 1)},
        {"link: " + std::to_string(first.link.at("frames")) + " frames, " +
             std::to_string(first.link.at("bytes-in") + first.link.at("bytes-out")) + " bytes at 1 ms a frame and 1 MB/s",
         linkMs},
    };
    double floorMs = 0;
    std::printf("\nfloor:\n");
    for (const auto& [what, ms] : floor) {
        std::printf("  %8.0f ms  %s\n", ms, what.c_str());
        floorMs += ms;
    }
    std::vector<double> walls;
    long peak = 0;
    for (const Run& r : runs) {
        walls.push_back(r.wallMs);
        peak = std::max(peak, r.peakKb);
    }
    std::sort(walls.begin(), walls.end());
    const double median = walls[walls.size() / 2];
    std::printf("  %8.0f ms  total\n\n", floorMs);
    std::printf("wall time: median %.0f ms, best %.0f ms of %zu runs\n", median, walls.front(), walls.size());
    std::printf("ratio to the floor: %.3f (median), %.3f (best)\n", median / floorMs, walls.front() / floorMs);
    std::printf("peak resident memory: %.1f MiB\n", peak / 1024.0);
    return 0;
}
