// quillon-bench-update: the complete update, controller and ESP32 part, as a user runs it: quillon
// --text --yes in a pseudo-terminal against quillon-devsim moving bytes at USB full-speed rates.
// Reports the wall time, the floor (every wait the sequence itself makes, the device's own time
// and the bytes at the link's rate), their ratio and the program's peak resident memory.
// With --devices N: quillon --all --yes against N emulated devices, each on its own throttled
// link, against the same with one device: the wall time of both, and for the supervisor and each
// device's program the peak resident memory and the CPU time (sampled from /proc while they run).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    int runs = 3;
    int devices = 0;
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

// quillon with args in a pseudo-terminal of 100 x 30, its library files, locks, run logs and
// history in dir, the devices at ports; *master is the terminal's other side.
pid_t StartInTerminal(const std::string& dir, const std::string& ports, const std::vector<std::string>& args,
                      int* master) {
    winsize ws{};
    ws.ws_col = 100;
    ws.ws_row = 30;
    const pid_t pid = forkpty(master, nullptr, nullptr, &ws);
    if (pid == 0) {
        setenv("VELMORA_COMMON_APPDATA", dir.c_str(), 1);
        setenv("VELMORA_LOCK_DIR", dir.c_str(), 1);
        setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
        setenv("VELMORA_COM_PORTS", ports.c_str(), 1);
        setenv("TERM", "xterm-256color", 1);
        std::vector<std::string> command = {QUILLON_PATH};
        command.insert(command.end(), args.begin(), args.end());
        Exec(command);
    }
    return pid;
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

    int master = -1;
    const auto start = std::chrono::steady_clock::now();
    const pid_t quillon = StartInTerminal(dir, "0A1F=" + link, {"--text", "--yes"}, &master);
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

// What /proc tells of one process: its parent, CPU time and peak resident memory.
struct ProcSample {
    pid_t parent = 0;
    double cpuMs = 0;
    long peakKb = 0;
    long pssKb = 0;  // proportional: the shared libraries' pages divided among the processes mapping them
    bool isDevicesProgram = false;
};

bool ReadProc(pid_t pid, ProcSample* out) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    // The command name is in parentheses and may hold spaces; the fields after it are fixed.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    std::vector<std::string> fields;
    while (rest >> field) fields.push_back(field);
    if (fields.size() < 13) return false;
    out->parent = std::atoi(fields[1].c_str());
    const double tick = 1000.0 / sysconf(_SC_CLK_TCK);
    out->cpuMs = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * tick;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) out->peakKb = std::atol(line.c_str() + 6);  // gone once a zombie
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    while (std::getline(rollup, line))
        if (line.rfind("Pss:", 0) == 0) out->pssKb = std::atol(line.c_str() + 4);
    std::ifstream cmd("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    out->isDevicesProgram = args.find(std::string("--json") + '\0') != std::string::npos;
    return true;
}

struct DevicesRun {
    double wallMs = 0;
    int exit = -1;
    ProcSample supervisor;
    std::map<pid_t, ProcSample> devices;  // each device's program, its last sample
};

// quillon --all --yes against n emulated devices; the supervisor and its programs sampled every
// 20 ms (the peak is a high-water mark, so a late sample loses nothing of it).
DevicesRun RunDevices(const Options& o, int n) {
    DevicesRun run;
    char tmpl[] = "/tmp/quillon-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::filesystem::create_directories(dir + "/Kalder");
    std::vector<pid_t> devsims;
    std::string ports;
    for (int i = 1; i <= n; ++i) {
        const std::string link = dir + "/port" + std::to_string(i);
        ports += "0A1F=" + link + ";";
        const pid_t devsim = fork();
        if (devsim == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            Exec({QUILLON_DEVSIM_PATH, "--link", link, "--serial", "N1150" + std::to_string(i), "--version", "340",
                  "--throttle", "--quiet", "--restart-delay", std::to_string(o.restartDelayMs), "--install-polls",
                  std::to_string(o.installPolls)});
        }
        devsims.push_back(devsim);
    }
    for (int i = 1; i <= n; ++i)
        for (int t = 0; t < 500 && !std::filesystem::is_symlink(dir + "/port" + std::to_string(i)); ++t)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

    int master = -1;
    const auto start = std::chrono::steady_clock::now();
    const pid_t quillon = StartInTerminal(dir, ports, {"--all", "--yes"}, &master);
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    int status = 0;
    while (true) {
        while (read(master, buf, sizeof buf) > 0) {
        }
        ProcSample s;
        if (ReadProc(quillon, &s) && s.peakKb > 0) {
            s.pssKb = std::max(s.pssKb, run.supervisor.pssKb);
            run.supervisor = s;
        }
        if (DIR* proc = opendir("/proc")) {
            while (dirent* e = readdir(proc)) {
                const pid_t pid = std::atoi(e->d_name);
                ProcSample child;
                if (pid <= 0 || !ReadProc(pid, &child) || child.parent != quillon || !child.isDevicesProgram) continue;
                ProcSample& kept = run.devices[pid];
                kept.cpuMs = std::max(kept.cpuMs, child.cpuMs);
                kept.peakKb = std::max(kept.peakKb, child.peakKb);
                kept.pssKb = std::max(kept.pssKb, child.pssKb);
            }
            closedir(proc);
        }
        if (waitpid(quillon, &status, WNOHANG) == quillon) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(master);
    for (const pid_t devsim : devsims) {
        kill(devsim, SIGTERM);
        waitpid(devsim, &status, 0);
    }
    std::filesystem::remove_all(dir);
    return run;
}

int BenchDevices(const Options& o) {
    std::vector<std::pair<int, DevicesRun>> results;
    for (const int n : {1, o.devices}) {
        DevicesRun best;
        for (int r = 0; r < o.runs; ++r) {
            DevicesRun run = RunDevices(o, n);
            std::printf("%d device(s), run %d: %.0f ms, exit status %d, %zu device programs seen\n", n, r + 1,
                        run.wallMs, run.exit, run.devices.size());
            if (run.exit != 0) {
                std::fprintf(stderr, "the update of %d device(s) did not succeed\n", n);
                return 1;
            }
            if (r == 0 || run.wallMs < best.wallMs) best = run;
        }
        results.emplace_back(n, best);
    }
    std::printf("\n");
    for (const auto& [n, run] : results) {
        double cpu = 0;
        long peak = 0, pss = 0;
        for (const auto& [pid, s] : run.devices) {
            cpu = std::max(cpu, s.cpuMs);
            peak = std::max(peak, s.peakKb);
            pss = std::max(pss, s.pssKb);
        }
        std::printf("%d device(s), wall %.0f ms (best of %d)\n", n, run.wallMs, o.runs);
        std::printf("  supervisor: peak resident %.1f MiB (proportional %.1f MiB), CPU %.0f ms\n",
                    run.supervisor.peakKb / 1024.0, run.supervisor.pssKb / 1024.0, run.supervisor.cpuMs);
        std::printf("  each device's program at most: peak resident %.1f MiB (proportional %.1f MiB), CPU %.0f ms "
                    "= %.2f %% of one core over the update\n",
                    peak / 1024.0, pss / 1024.0, cpu, 100.0 * cpu / run.wallMs);
    }
    std::printf("time of %d devices against one: %.3f\n", o.devices,
                results.back().second.wallMs / results.front().second.wallMs);
    return 0;
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
            (a == "--install-polls" && number(&o.installPolls)) || (a == "--devices" && number(&o.devices)))
            continue;
        std::fprintf(stderr,
                     "usage: quillon-bench-update [--runs N] [--restart-delay MS] [--install-polls N] [--devices N]\n");
        return 2;
    }
    if (o.devices < 0 || o.devices > 16) {
        std::fprintf(stderr, "quillon-bench-update: --devices takes 1 to 16\n");
        return 2;
    }
    if (o.devices > 0) return BenchDevices(o);

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
