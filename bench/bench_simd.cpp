// Our frame decoder on each vector path against libjpeg-turbo decoding the
// same photograph, in one run.
//
//   Ours/<path>/<rgb24|iyuv>/<W>x<H>      camera frame (quality level 2) on that path
//   LibjpegTurbo/<default|fastest>/<W>x<H> baseline 4:2:0 JPEG, quality 75, from
//                                          memory, RGB output, single thread;
//                                          fastest = JDCT_IFAST, no fancy upsampling
//   LibjpegTurboPlainC/<...>/<W>x<H>      the same with libjpeg-turbo's SIMD off
//
// libjpeg-turbo reads JSIMD_FORCENONE once, when its first codec object
// starts; a process that has already decoded cannot switch. The plain C
// rows therefore run in a child process: this program executes itself with
// JSIMD_FORCENONE=1 and "--plain-c-child W H MODE", the child decodes the
// picture kPlainCDecodes times and prints the median processor time per
// decode, which becomes the row's time (manual time, one iteration).
//
// After the run a summary prints, from the processor time per frame of the
// decoding thread (the median over --benchmark_repetitions), frames per
// second of every row and, for our rows, the ratio of our frame rate to
// libjpeg-turbo-fastest's at the same size, with its SIMD and in plain C
// (above 1: we are faster).
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_decode.h"

namespace {

using torvex::sim::RgbPicture;

constexpr const char* kPhoto = "astronaut.png";
constexpr int kLevel = 2;
constexpr int kJpegQuality = 75;
constexpr int kPlainCDecodes = 300;
const std::pair<int, int> kSizes[] = {{640, 480}, {320, 240}};

const RgbPicture& Photo(int width, int height) { return torvex::bench::Photo(kPhoto, width, height); }

// ---- our decoder ----

void BM_Ours(benchmark::State& state, int32_t path, bool iyuv, int width, int height)
{
    torvex::bench::DecodeLoop(state, torvex::sim::EncodeFrame(Photo(width, height), kLevel), width, height, iyuv,
                              path);
}

// ---- libjpeg-turbo ----

// Baseline 4:2:0 JPEG of the photograph at quality 75.
std::vector<unsigned char> EncodeJpeg(const RgbPicture& picture) { return torvex::tools::EncodeJpeg(picture, kJpegQuality); }

// One decompressor reused for every decode, as a video player would.
class JpegDecoder {
public:
    JpegDecoder(const std::vector<unsigned char>& jpeg, bool fastest) : jpeg_(jpeg), fastest_(fastest)
    {
        cinfo_.err = jpeg_std_error(&jerr_);
        jpeg_create_decompress(&cinfo_);
    }
    ~JpegDecoder() { jpeg_destroy_decompress(&cinfo_); }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    void Decode(std::vector<unsigned char>& out)
    {
        jpeg_mem_src(&cinfo_, jpeg_.data(), static_cast<unsigned long>(jpeg_.size()));
        jpeg_read_header(&cinfo_, TRUE);
        if (fastest_) {
            cinfo_.dct_method = JDCT_IFAST;
            cinfo_.do_fancy_upsampling = FALSE;
        }
        jpeg_start_decompress(&cinfo_);
        const std::size_t stride = static_cast<std::size_t>(cinfo_.output_width) * cinfo_.output_components;
        out.resize(stride * cinfo_.output_height);
        while (cinfo_.output_scanline < cinfo_.output_height) {
            JSAMPROW rows[16];
            const JDIMENSION first = cinfo_.output_scanline;
            const JDIMENSION count = std::min<JDIMENSION>(16, cinfo_.output_height - first);
            for (JDIMENSION i = 0; i < count; i++)
                rows[i] = out.data() + (first + i) * stride;
            jpeg_read_scanlines(&cinfo_, rows, count);
        }
        jpeg_finish_decompress(&cinfo_);
    }

private:
    std::vector<unsigned char> jpeg_;
    bool fastest_;
    jpeg_decompress_struct cinfo_{};
    jpeg_error_mgr jerr_{};
};

void BM_LibjpegTurbo(benchmark::State& state, bool fastest, int width, int height)
{
    const std::vector<unsigned char> jpeg = EncodeJpeg(Photo(width, height));
    JpegDecoder decoder(jpeg, fastest);
    std::vector<unsigned char> out;
    for (auto _ : state) {
        decoder.Decode(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}

// Child side: median processor time per decode in nanoseconds, printed on stdout.
int RunPlainCChild(int width, int height, bool fastest)
{
    const std::vector<unsigned char> jpeg = EncodeJpeg(Photo(width, height));
    JpegDecoder decoder(jpeg, fastest);
    std::vector<unsigned char> out;
    std::vector<double> times;
    auto threadNanoseconds = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
    };
    for (int i = 0; i < kPlainCDecodes + 10; i++) {
        const double start = threadNanoseconds();
        decoder.Decode(out);
        const double stop = threadNanoseconds();
        if (i >= 10)  // warm-up
            times.push_back(stop - start);
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    std::printf("%.0f\n", times[times.size() / 2]);
    return 0;
}

// Parent side: runs the child and returns its median in seconds, or a negative value.
double PlainCMedianSeconds(int width, int height, bool fastest)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv("JSIMD_FORCENONE", "1", 1);
        const std::string w = std::to_string(width), h = std::to_string(height);
        execl("/proc/self/exe", "bench_simd", "--plain-c-child", w.c_str(), h.c_str(), fastest ? "fastest" : "default",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return -1;
    }
    char text[64] = {};
    std::size_t got = 0;
    ssize_t n;
    while (got < sizeof(text) - 1 && (n = read(pipeFds[0], text + got, sizeof(text) - 1 - got)) > 0)
        got += static_cast<std::size_t>(n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got == 0)
        return -1;
    return std::atof(text) * 1e-9;
}

void BM_LibjpegTurboPlainC(benchmark::State& state, bool fastest, int width, int height)
{
    for (auto _ : state) {
        const double seconds = PlainCMedianSeconds(width, height, fastest);
        if (seconds <= 0) {
            state.SkipWithError("child process failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

// ---- summary ----

// Keeps the time per iteration of every row for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            // Processor time of the decoding thread (the child's, for manual-time
            // rows): on an idle machine it equals the wall time, and on a shared
            // one it does not count the time other processes took. Unit: ms.
            const std::string& name = run.run_name.function_name;
            const bool manual = name.rfind("LibjpegTurboPlainC/", 0) == 0;
            seconds_[name].push_back((manual ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) * 1e-3);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const
    {
        std::printf("\n%-42s %10s %10s %14s %14s\n", "row", "ms/frame", "fps", "vs ljt-fastest", "vs plain C");
        for (const auto& row : seconds_) {
            const std::string& name = row.first;
            const std::string size = name.substr(name.rfind('/') + 1);
            const double seconds = Median(name);
            std::printf("%-42s %10.3f %10.0f", name.c_str(), seconds * 1e3, 1 / seconds);
            if (name.rfind("Ours/", 0) == 0) {
                for (const char* reference : {"LibjpegTurbo/fastest/", "LibjpegTurboPlainC/fastest/"}) {
                    const double other = Median(reference + size);
                    if (other > 0)
                        std::printf(" %13.2fx", other / seconds);
                    else
                        std::printf(" %14s", "-");
                }
            }
            std::printf("\n");
        }
    }

private:
    // Median of a row's repetitions; 0 for a row that did not run.
    double Median(const std::string& name) const
    {
        const auto it = seconds_.find(name);
        if (it == seconds_.end())
            return 0;
        std::vector<double> times = it->second;
        std::sort(times.begin(), times.end());
        const std::size_t n = times.size();
        return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> seconds_;
};

void RegisterAll()
{
    for (auto [width, height] : kSizes) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        for (int32_t path = 0; path < DCMP_PATH_COUNT; path++) {
            for (bool iyuv : {false, true}) {
                const std::string name =
                    std::string("Ours/") + Dcmp_SimdPathName(path) + (iyuv ? "/iyuv/" : "/rgb24/") + size;
                benchmark::RegisterBenchmark(name.c_str(), BM_Ours, path, iyuv, width, height)
                    ->Unit(benchmark::kMillisecond);
            }
        }
        for (bool fastest : {false, true}) {
            const std::string mode = fastest ? "fastest/" : "default/";
            benchmark::RegisterBenchmark(("LibjpegTurbo/" + mode + size).c_str(), BM_LibjpegTurbo, fastest, width,
                                         height)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("LibjpegTurboPlainC/" + mode + size).c_str(), BM_LibjpegTurboPlainC,
                                         fastest, width, height)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--plain-c-child") == 0)
        return RunPlainCChild(std::atoi(argv[2]), std::atoi(argv[3]), std::strcmp(argv[4], "fastest") == 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RegisterAll();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
