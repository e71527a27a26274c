// The controller image, walked into download blocks as the update does it, against converting
// the same text with `objcopy -I ihex -O binary` (binutils). Prints both times, the ratio
// (goal: at least 3 times faster than objcopy) and the resident memory after the walk: the
// images are used where the program carries them, never copied.
//
//   quillon-bench-hex [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace firmware;

std::span<const char> g_text;
fs::path g_hexFile, g_binFile;

// One download's worth of reading: reset, blocks until the short one, the address range.
// Appends the blocks to image (when given) at their offsets from the first address.
bool WalkImage(std::vector<uint8_t>& block, std::vector<uint8_t>* image, uint32_t* first, uint32_t* end) {
    HexState().readPosition = 0;
    ResetHexBlockAddresses();
    uint32_t imageStart = 0;
    bool firstBlock = true;
    for (;;) {
        uint32_t start = 0;
        const int n = ReadHexBlock(g_text, &start, block);
        if (n < 0) return false;
        if (image && n > 0) {
            if (firstBlock) imageStart = start;
            firstBlock = false;
            const size_t at = start - imageStart;
            if (image->size() < at + static_cast<size_t>(n)) image->resize(at + static_cast<size_t>(n), 0xFF);
            std::copy(block.begin(), block.begin() + n, image->begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (n < kHexBlockSize) break;
    }
    return GetHexAddressRange(g_text, first, end) == 1;
}

int RunObjcopy() {
    return hexbench::RunProgram({"objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", g_hexFile.string(),
                                 g_binFile.string()});
}

void BM_HexWalk(benchmark::State& state) {
    std::vector<uint8_t> block(kHexBlockBufferSize);
    uint32_t first = 0, end = 0;
    for (auto _ : state) {
        if (!WalkImage(block, nullptr, &first, &end)) state.SkipWithError("record error");
        benchmark::DoNotOptimize(end);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_text.size()));
}

void BM_Objcopy(benchmark::State& state) {
    for (auto _ : state)
        if (RunObjcopy() != 0) state.SkipWithError("objcopy failed");
}

// Keeps each benchmark's real time per iteration, in microseconds.
class Collect : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.iterations > 0)
                microseconds[r.benchmark_name()] = r.real_accumulated_time * 1e6 / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> microseconds;
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    const auto text = FindFwFile(kControllerImageId);
    if (!text) {
        std::fprintf(stderr, "no controller image in this build\n");
        return 1;
    }
    g_text = *text;
    const size_t length = static_cast<size_t>(GetFwFileLength(kControllerImageId));

    // The first walk, and what it left resident.
    std::vector<uint8_t> block(kHexBlockBufferSize);
    uint32_t first = 0, end = 0;
    if (!WalkImage(block, nullptr, &first, &end)) {
        std::fprintf(stderr, "the controller image does not read\n");
        return 1;
    }
    const hexbench::Resident rss = hexbench::ResidentMemory();
    size_t carried = 0;
    for (const FwFile& f : kFwFiles) carried += f.resourceSize;

    // The same text for objcopy, and a check that both give the same bytes.
    const fs::path dir = hexbench::MakeTempFolder();
    if (dir.empty()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    g_hexFile = dir / "controller.hex";
    g_binFile = dir / "controller.bin";
    {
        std::ofstream f(g_hexFile, std::ios::binary);
        f.write(g_text.data(), static_cast<std::streamsize>(length));
    }
    const bool haveObjcopy = RunObjcopy() == 0;
    bool same = false;
    if (haveObjcopy) {
        std::vector<uint8_t> image;
        uint32_t f = 0, e = 0;
        same = WalkImage(block, &image, &f, &e) && image == ReadFile(g_binFile);
    } else {
        std::fprintf(stderr, "objcopy (binutils) did not run; only the walk is measured\n");
    }

    benchmark::RegisterBenchmark("HexWalk", BM_HexWalk)->Unit(benchmark::kMicrosecond)->UseRealTime();
    if (haveObjcopy) benchmark::RegisterBenchmark("Objcopy", BM_Objcopy)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    Collect reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fs::remove_all(dir);

    std::printf("\ncontroller image: %zu characters, 0x%X-0x%X (%u bytes)\n", length, first, end, end - first);
    if (haveObjcopy) std::printf("blocks equal objcopy's output: %s\n", same ? "yes" : "NO");
    const double walk = reporter.microseconds["HexWalk/real_time"];
    const double objcopy = reporter.microseconds["Objcopy/real_time"];
    std::printf("walk into blocks + address range: %.1f us\n", walk);
    if (haveObjcopy && walk > 0) {
        std::printf("objcopy -I ihex -O binary:        %.1f us\n", objcopy);
        std::printf("ratio: %.1fx faster than objcopy (goal: at least 3x)\n", objcopy / walk);
    }
    std::printf("resident after the walk: %ld kB (file-backed %ld kB, anonymous %ld kB); "
                "the program carries %zu bytes of images, used in place\n",
                rss.totalKb, rss.fileKb, rss.anonKb, carried);
    return haveObjcopy && !same ? 1 : 0;
}
