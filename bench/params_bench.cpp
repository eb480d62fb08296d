// Throughput of the parameter lookup and the password codec on large inputs, beside
// the physical limit (memchr and memcpy over the same memory) and beside OpenSSL's
// Base64 block functions on input without code 0. Built with -O2 and no sanitizers by
// scripts/bench; every benchmark takes the input size in characters (or bytes) as its
// argument, so figures of the same size can be set side by side.
//
// Two series. In cache (NAME/SIZE): the calls follow one another on the same input, so an
// input that fits the caches stays there from one call to the next. Growth
// (NAME/growth/iterations:N): pairs of calls, one on 1 MiB and one on 16 MiB, each started
// from emptied caches, so that both sizes read their input from main memory; the median
// of the pairs' ratios is the routine's own growth rather than a mark of where the cache
// sizes fall. scripts/bench runs the growth series in a process of its own with
// MALLOC_MMAP_THRESHOLD_ set, so that the large blocks of both sizes come from the system
// anew at every call (glibc would otherwise keep blocks below 32 MiB for reuse and map
// larger ones anew).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "params/Generic.h"
#include "params/base64.h"

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

// ------------------------------------------------------------------ inputs

// Deterministic bytes 1..255: no code 0, so every codec takes its standard path.
std::string bytesWithoutZero(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t seed = 2463534242u;
  for (auto &byte : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    byte = static_cast<char>(1 + seed % 255);
  }
  return bytes;
}

// A parameter string of `size` characters as the dialog writes it, with a user name that
// fills it up, so that the field looked up ("VMS") is the last one.
std::wstring parameterString(std::size_t size) {
  const std::wstring head = L"#VSTP=VMWARE#USR=";
  const std::wstring tail = L"#PWD=c2VjcmV0#VMN=web01#VMS=on#";
  std::wstring user(size - head.size() - tail.size(), L'u');
  for (std::size_t i = 0; i < user.size(); i += 7)
    user[i] = L'A' + static_cast<wchar_t>(i % 26);
  return head + user + tail;
}

// Encoded text of `size` characters (a multiple of 4 for the sizes used).
std::string encodedText(std::size_t size) {
  std::string encoded = brennow::encodeBytes(bytesWithoutZero(size / 4 * 3));
  encoded.resize(size, 'A');
  return encoded;
}

std::wstring widened(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// ------------------------------------------------------------------ the routines

// One call of a routine on an input of a given size, made beforehand; the call owns its input.
using Call = std::function<void()>;
using MakeCall = Call (*)(std::size_t size);

// The lookup of the last field.
Call getParamLastField(std::size_t size) {
  return [parameters = parameterString(size)] {
    std::wstring value = brennow::getParam(parameters, L"VMS");
    benchmark::DoNotOptimize(value);
  };
}

// One scan over the parameter string's memory: the least any lookup must cost.
Call memchrSameMemory(std::size_t size) {
  return [parameters = parameterString(size)] {
    const void *found = std::memchr(parameters.data(), 0x7F, parameters.size() * sizeof(wchar_t));
    benchmark::DoNotOptimize(found);
  };
}

// One copy of the parameter string's memory into a buffer that is already there.
Call memcpySameMemory(std::size_t size) {
  auto copy = std::make_shared<std::vector<char>>(size * sizeof(wchar_t));
  return [parameters = parameterString(size), copy] {
    std::memcpy(copy->data(), parameters.data(), copy->size());
    benchmark::DoNotOptimize(copy->data());
    benchmark::ClobberMemory();
  };
}

// The same copy into freshly allocated memory, as a routine that makes a copy of its
// input pays it: large blocks come from the system anew.
Call allocateAndCopySameMemory(std::size_t size) {
  return [parameters = parameterString(size)] {
    const std::size_t bytes = parameters.size() * sizeof(wchar_t);
    const auto copy = std::make_unique_for_overwrite<char[]>(bytes);
    std::memcpy(copy.get(), parameters.data(), bytes);
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  };
}

Call encodeBytes(std::size_t size) {
  return [bytes = bytesWithoutZero(size)] {
    std::string encoded = brennow::encodeBytes(bytes);
    benchmark::DoNotOptimize(encoded);
  };
}

// OpenSSL writes into a buffer the caller sized; allocating it is part of the work, as
// it is for encodeBytes.
Call opensslEncodeBlock(std::size_t size) {
  return [bytes = bytesWithoutZero(size)] {
    std::string encoded((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()),
                                       reinterpret_cast<const unsigned char *>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    encoded.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(encoded);
  };
}

// The text form the component uses: wide characters through the code page.
Call base64EncodeText(std::size_t size) {
  const auto &codePage = brennow::windows1252();
  return [text = codePage.fromBytes(bytesWithoutZero(size)), &codePage] {
    std::wstring encoded = brennow::base64Encode(text, codePage);
    benchmark::DoNotOptimize(encoded);
  };
}

Call decodeToBytes(std::size_t size) {
  return [encoded = widened(encodedText(size))] {
    std::string decoded = brennow::decodeToBytes(encoded);
    benchmark::DoNotOptimize(decoded);
  };
}

Call opensslDecodeBlock(std::size_t size) {
  return [encoded = encodedText(size)] {
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(decoded.data()),
                                       reinterpret_cast<const unsigned char *>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0) {
      std::fputs("EVP_DecodeBlock rejected the input\n", stderr);
      std::abort();
    }
    decoded.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(decoded);
  };
}

Call base64DecodeText(std::size_t size) {
  const auto &codePage = brennow::windows1252();
  return [encoded = widened(encodedText(size)), &codePage] {
    std::wstring decoded = brennow::base64Decode(encoded, codePage);
    benchmark::DoNotOptimize(decoded);
  };
}

struct Routine {
  const char *name;
  MakeCall make;
};

const Routine kRoutines[] = {
    {"getParamLastField", getParamLastField},
    {"memchrSameMemory", memchrSameMemory},
    {"memcpySameMemory", memcpySameMemory},
    {"allocateAndCopySameMemory", allocateAndCopySameMemory},
    {"encodeBytes", encodeBytes},
    {"opensslEncodeBlock", opensslEncodeBlock},
    {"base64EncodeText", base64EncodeText},
    {"decodeToBytes", decodeToBytes},
    {"opensslDecodeBlock", opensslDecodeBlock},
    {"base64DecodeText", base64DecodeText},
};

// ------------------------------------------------------------------ in cache

void inCache(benchmark::State &state, MakeCall make) {
  const Call call = make(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    call();
}

// ------------------------------------------------------------------ growth from memory

// Four times the last-level cache of the machines this runs on (32 MiB and less).
constexpr std::size_t kEvictionBytes = 128 * kMiB;
constexpr std::size_t kCacheLine = 64;

// Reads one byte of every cache line of the eviction buffer (about 6 ms here). Reading,
// not writing, leaves its lines clean, so the timed call that displaces them pays no
// write-back.
void emptyCaches() {
  // Filled once so that every page is memory of its own (untouched pages all map one page).
  static const std::vector<unsigned char> buffer(kEvictionBytes, 1);
  unsigned sum = 0;
  for (std::size_t at = 0; at < buffer.size(); at += kCacheLine)
    sum += buffer[at];
  benchmark::DoNotOptimize(sum);
}

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One call from emptied caches. CPU time of this thread, in microseconds.
double coldCall(const Call &call) {
  emptyCaches();
  const double start = threadSeconds();
  call();
  return (threadSeconds() - start) * 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

constexpr benchmark::IterationCount kPairs = 61;

// Each iteration times a pair of cold calls, 1 MiB and 16 MiB one after the other, so that
// both sizes meet the same neighbours' memory traffic. Reports the medians of each size
// and of the pairs' ratios.
void growth(benchmark::State &state, MakeCall make) {
  const Call small = make(kMiB), large = make(16 * kMiB);
  // One pair first, untimed: the first calls of a process pay for what they touch first.
  coldCall(small);
  coldCall(large);
  std::vector<double> smallTimes, largeTimes, ratios;
  for (auto _ : state) {
    const double smallTime = coldCall(small);
    const double largeTime = coldCall(large);
    smallTimes.push_back(smallTime);
    largeTimes.push_back(largeTime);
    ratios.push_back(largeTime / smallTime);
    state.SetIterationTime((smallTime + largeTime) * 1e-6);
  }
  state.counters["small_us"] = median(smallTimes);
  state.counters["large_us"] = median(largeTimes);
  state.counters["growth"] = median(ratios);
}

// Both series of every routine, registered before main() runs.
[[maybe_unused]] const bool kRegistered = [] {
  for (const Routine &routine : kRoutines) {
    auto *cached = benchmark::RegisterBenchmark(routine.name, inCache, routine.make);
    for (const std::size_t size : {kKiB, 64 * kKiB, kMiB, 16 * kMiB})
      cached->Arg(static_cast<std::int64_t>(size));
    cached->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string(routine.name) + "/growth").c_str(), growth,
                                 routine.make)
        ->Iterations(kPairs)
        ->Repetitions(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

} // namespace

BENCHMARK_MAIN();
