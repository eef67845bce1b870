// Decoding a downloaded BIRD file's base64 text, and encoding, per size.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "server/base64.h"

namespace {

std::vector<unsigned char> Bytes(size_t size)
{
    std::vector<unsigned char> bytes(size);
    unsigned state = 12345;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

void BM_Base64Decode(benchmark::State& state)
{
    const auto bytes = Bytes(static_cast<size_t>(state.range(0)));
    size_t length = 0;
    char* text = base64_encode(bytes.data(), bytes.size(), &length);
    for (auto _ : state) {
        size_t size = 0;
        unsigned char* out = base64_decode(text, length, &size);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    std::free(text);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

void BM_Base64Encode(benchmark::State& state)
{
    const auto bytes = Bytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        size_t length = 0;
        char* text = base64_encode(bytes.data(), bytes.size(), &length);
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(BM_Base64Decode)->Arg(4 << 10)->Arg(256 << 10)->Arg(4 << 20);
BENCHMARK(BM_Base64Encode)->Arg(4 << 10)->Arg(256 << 10)->Arg(4 << 20);
BENCHMARK_MAIN();
