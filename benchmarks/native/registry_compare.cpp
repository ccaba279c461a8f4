// The emulated registry against an earlier build of itself, side by side in one process:
//
//   cvsreg_bench_registry_compare [BASELINE.so CURRENT.so] [ROUNDS] [BATCH_MS]
//
// Both libraries are loaded with dlopen(RTLD_LOCAL), so each keeps its own registry, and are
// called through pointers from dlsym. Each row is measured in batches of about BATCH_MS
// (default 20), the two libraries in turn and in alternating order (baseline first in even
// rounds, current first in odd ones), so that a slow spell of the machine falls on both.
// Prints a Markdown table: per row and library the median ns per operation with its
// interquartile range, and the ratio current / baseline of the medians.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "regemu.h"

#ifndef CVSREG_BASELINE_LIBRARY
#define CVSREG_BASELINE_LIBRARY ""
#endif
#ifndef CVSREG_CURRENT_LIBRARY
#define CVSREG_CURRENT_LIBRARY ""
#endif
#ifndef CVSREG_BASELINE_NAME
#define CVSREG_BASELINE_NAME "baseline"
#endif

namespace {

const HKEY kRoot = HKEY_CURRENT_USER;
const char kValues[] = "Software\\CVSWin32RegKeyBench\\Values";
const char kKeys10[] = "Software\\CVSWin32RegKeyBench\\Keys10";
const char kKeys100k[] = "Software\\CVSWin32RegKeyBench\\Keys100000";
const char kText[] = "C:\\CVS\\Repository";

[[noreturn]] void die(const std::string &message) {
    std::fprintf(stderr, "registry_compare: %s\n", message.c_str());
    std::exit(1);
}

// One emulation, reached only through its exported functions.
struct Emulation {
    std::string label;
    decltype(&RegOpenKeyExA) open = nullptr;
    decltype(&RegQueryValueExA) query = nullptr;
    decltype(&RegCloseKey) close = nullptr;
    decltype(&RegCreateKeyExA) create = nullptr;
    decltype(&RegSetValueExA) set = nullptr;

    template <class Function>
    static void bind(void *library, const char *name, Function &out) {
        out = reinterpret_cast<Function>(dlsym(library, name));
        if (!out) die(std::string("no ") + name + " in the library");
    }

    Emulation(std::string name, const char *path) : label(std::move(name)) {
        void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!library) die(std::string("cannot load ") + path + ": " + dlerror());
        bind(library, "RegOpenKeyExA", open);
        bind(library, "RegQueryValueExA", query);
        bind(library, "RegCloseKey", close);
        bind(library, "RegCreateKeyExA", create);
        bind(library, "RegSetValueExA", set);
    }

    void check(LONG status, const char *what) const {
        if (status != ERROR_SUCCESS)
            die(label + ": " + what + " failed with " + std::to_string(status));
    }

    void put(const char *path, const char *name, DWORD type, const void *data, DWORD size) {
        HKEY key = nullptr;
        check(create(kRoot, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              "RegCreateKeyExA");
        check(set(key, name, 0, type, static_cast<const BYTE *>(data), size), "RegSetValueExA");
        close(key);
    }

    // The same fixture as the Java benchmark's: a short REG_SZ, keys of 10 and 100,000
    // REG_DWORD values, and one key per thread.
    void fill() {
        put(kValues, "Text", REG_SZ, kText, sizeof kText);
        for (int t = 0; t < 2; ++t) {
            const std::string path = std::string(kValues) + "\\Thread" + std::to_string(t);
            put(path.c_str(), "Text", REG_SZ, kText, sizeof kText);
        }
        for (int i = 0; i < 100000; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "v%06d", i);
            if (i < 10) put(kKeys10, name, REG_DWORD, &i, 4);
            put(kKeys100k, name, REG_DWORD, &i, 4);
        }
    }

    // The registry calls of one getValue: open, size, data, close.
    LONG read(const char *path, const char *name) {
        HKEY key = nullptr;
        LONG status = open(kRoot, path, 0, KEY_READ, &key);
        if (status != ERROR_SUCCESS) return status;
        DWORD type = 0;
        DWORD size = 0;
        BYTE buffer[64];
        status = query(key, name, nullptr, &type, nullptr, &size);
        if (status == ERROR_SUCCESS && size <= sizeof buffer)
            status = query(key, name, nullptr, &type, buffer, &size);
        close(key);
        return status;
    }
};

std::vector<std::string> spreadNames(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "v%06d", static_cast<int>(1LL * i * count / 8));
        names.push_back(name);
    }
    return names;
}

// Runs `n` operations as thread number `thread` and returns how many failed.
using Body = std::function<long(Emulation &, long n, int thread)>;

struct Row {
    std::string name;
    Body body;
    int threads = 1;  // threads running the body at the same time
};

using Clock = std::chrono::steady_clock;

// ns per operation of one batch. In a thread row each thread times its own `n` operations
// after all have started, and the slowest counts: perfect scaling keeps it equal to the
// one-thread figure.
double timeBatch(const Row &row, Emulation &emulation, long n) {
    std::atomic<long> failures{0};
    std::atomic<int> ready{0};
    std::vector<double> elapsed(static_cast<size_t>(row.threads));
    auto run = [&](int thread) {
        ready.fetch_add(1);
        while (ready.load() < row.threads) std::this_thread::yield();
        const auto start = Clock::now();
        failures += row.body(emulation, n, thread);
        elapsed[static_cast<size_t>(thread)] =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    };
    if (row.threads == 1) {
        run(0);
    } else {
        std::vector<std::thread> threads;
        for (int t = 0; t < row.threads; ++t) threads.emplace_back(run, t);
        for (auto &thread : threads) thread.join();
    }
    if (failures.load()) die(emulation.label + ": " + row.name + ": calls failed");
    return *std::max_element(elapsed.begin(), elapsed.end()) / static_cast<double>(n);
}

struct Summary {
    double median, low, high;
};

Summary summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const double position = q * static_cast<double>(samples.size() - 1);
        const size_t below = static_cast<size_t>(position);
        const size_t above = std::min(below + 1, samples.size() - 1);
        return samples[below] + (samples[above] - samples[below]) * (position - static_cast<double>(below));
    };
    return {at(0.5), at(0.25), at(0.75)};
}

// Measures each row on both libraries and prints a table.
void measure(const std::vector<Row> &rows, Emulation &baseline, Emulation &current, int rounds,
             double batchMs) {
    std::printf("| row | %s ns/op (IQR) | current ns/op (IQR) | current / baseline |\n",
                baseline.label.c_str());
    std::printf("|---|---:|---:|---:|\n");
    for (const Row &row : rows) {
        // Sized on the baseline, then warmed up on both.
        long n = 64;
        while (timeBatch(row, baseline, n) * static_cast<double>(n) < batchMs * 1e5) n *= 2;
        n = std::max(1L, static_cast<long>(batchMs * 1e6 / timeBatch(row, baseline, n)));
        for (int warm = 0; warm < 3; ++warm) {
            timeBatch(row, baseline, n);
            timeBatch(row, current, n);
        }
        std::vector<double> old, now;
        for (int round = 0; round < rounds; ++round) {
            if (round % 2 == 0) {
                old.push_back(timeBatch(row, baseline, n));
                now.push_back(timeBatch(row, current, n));
            } else {
                now.push_back(timeBatch(row, current, n));
                old.push_back(timeBatch(row, baseline, n));
            }
        }
        const Summary a = summarize(old), b = summarize(now);
        std::printf("| %s | %.1f (%.1f - %.1f) | %.1f (%.1f - %.1f) | %.2f |\n", row.name.c_str(),
                    a.median, a.low, a.high, b.median, b.low, b.high, b.median / a.median);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *baselinePath = argc > 2 ? argv[1] : CVSREG_BASELINE_LIBRARY;
    const char *currentPath = argc > 2 ? argv[2] : CVSREG_CURRENT_LIBRARY;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 31;
    const double batchMs = argc > 4 ? std::atof(argv[4]) : 20;
    if (!*baselinePath || !*currentPath) die("usage: registry_compare BASELINE.so CURRENT.so [ROUNDS] [BATCH_MS]");

    Emulation baseline("baseline (" CVSREG_BASELINE_NAME ")", baselinePath);
    Emulation current("current", currentPath);
    baseline.fill();
    current.fill();

    const std::vector<std::string> names10 = spreadNames(10);
    const std::vector<std::string> names100k = spreadNames(100000);
    std::vector<Row> rows = {
        {"getValue's registry calls (open of a 3-part path, 2 queries, close)",
         [](Emulation &e, long n, int) {
             long failed = 0;
             for (long i = 0; i < n; ++i) failed += e.read(kValues, "Text") != ERROR_SUCCESS;
             return failed;
         }},
        {"open + close (3-part path)",
         [](Emulation &e, long n, int) {
             long failed = 0;
             for (long i = 0; i < n; ++i) {
                 HKEY key = nullptr;
                 failed += e.open(kRoot, kValues, 0, KEY_READ, &key) != ERROR_SUCCESS;
                 failed += e.close(key) != ERROR_SUCCESS;
             }
             return failed;
         }},
        {"RegQueryValueExA (data of a short REG_SZ, open handle)",
         [](Emulation &e, long n, int) {
             HKEY key = nullptr;
             long failed = e.open(kRoot, kValues, 0, KEY_READ, &key) != ERROR_SUCCESS;
             for (long i = 0; i < n; ++i) {
                 BYTE buffer[64];
                 DWORD type = 0, size = sizeof buffer;
                 failed += e.query(key, "Text", nullptr, &type, buffer, &size) != ERROR_SUCCESS;
             }
             e.close(key);
             return failed;
         }},
        {"getValue's registry calls, key of 10 values",
         [&](Emulation &e, long n, int) {
             long failed = 0;
             for (long i = 0; i < n; ++i) failed += e.read(kKeys10, names10[i & 7].c_str()) != 0;
             return failed;
         }},
        {"getValue's registry calls, key of 100,000 values",
         [&](Emulation &e, long n, int) {
             long failed = 0;
             for (long i = 0; i < n; ++i) failed += e.read(kKeys100k, names100k[i & 7].c_str()) != 0;
             return failed;
         }},
    };
    // getValue's calls again on 1 and 2 threads, each thread on its own key.
    auto ownKey = [](Emulation &e, long n, int thread) {
        const std::string path = std::string(kValues) + "\\Thread" + std::to_string(thread);
        long failed = 0;
        for (long i = 0; i < n; ++i) failed += e.read(path.c_str(), "Text") != ERROR_SUCCESS;
        return failed;
    };
    rows.push_back({"getValue's registry calls, 1 thread, own key", ownKey, 1});
    rows.push_back({"getValue's registry calls, 2 threads, own key each (ns per call of a thread)",
                   ownKey, 2});

    // First as a process of one thread, where glibc and libstdc++ skip the atomic
    // instructions of mutexes and shared_ptr reference counts; then with a second thread
    // alive, as inside a JVM, where every lock and count pays them.
    std::printf("Single-threaded process:\n\n");
    std::vector<Row> alone;
    for (const Row &row : rows) {
        if (row.threads == 1) alone.push_back(row);
    }
    measure(alone, baseline, current, rounds, batchMs);
    std::thread([] {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }).detach();
    std::printf("\nMulti-threaded process (another thread alive, as in a JVM):\n\n");
    measure(rows, baseline, current, rounds, batchMs);
    return 0;
}
