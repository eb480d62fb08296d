// Throughput of the parameter lookup and the password codec on large inputs, beside
// the physical limit (memchr and memcpy over the same memory) and beside OpenSSL's
// Base64 block functions on input without code 0. Built with -O2 and no sanitizers by
// scripts/bench; every benchmark takes the input size in characters (or bytes) as its
// argument, so figures of the same size can be set side by side.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "params/Generic.h"
#include "params/base64.h"

namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

void inputSizes(benchmark::internal::Benchmark *benchmark) {
  for (const std::int64_t size : {kKiB, 64 * kKiB, kMiB, 16 * kMiB})
    benchmark->Arg(size);
  benchmark->Unit(benchmark::kMicrosecond);
}

std::size_t sizeArgument(const benchmark::State &state) {
  return static_cast<std::size_t>(state.range(0));
}

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

template <typename Char> std::int64_t memoryBytes(std::size_t characters) {
  return static_cast<std::int64_t>(characters * sizeof(Char));
}

// ------------------------------------------------------------------ lookup

void getParamLastField(benchmark::State &state) {
  const std::wstring parameters = parameterString(sizeArgument(state));
  for (auto _ : state) {
    std::wstring value = brennow::getParam(parameters, L"VMS");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(state.iterations() * memoryBytes<wchar_t>(parameters.size()));
}
BENCHMARK(getParamLastField)->Apply(inputSizes);

// One scan over the parameter string's memory: the least any lookup must cost.
void memchrSameMemory(benchmark::State &state) {
  const std::wstring parameters = parameterString(sizeArgument(state));
  const auto bytes = static_cast<std::size_t>(memoryBytes<wchar_t>(parameters.size()));
  for (auto _ : state) {
    const void *found = std::memchr(parameters.data(), 0x7F, bytes);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(memchrSameMemory)->Apply(inputSizes);

// One copy of the parameter string's memory into a buffer that is already there.
void memcpySameMemory(benchmark::State &state) {
  const std::wstring parameters = parameterString(sizeArgument(state));
  const auto bytes = static_cast<std::size_t>(memoryBytes<wchar_t>(parameters.size()));
  std::vector<char> copy(bytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), parameters.data(), bytes);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(memcpySameMemory)->Apply(inputSizes);

// The same copy into freshly allocated memory, as a routine that makes a copy of its
// input (the lookup's upper-case copy) pays it: large blocks come from the system anew.
void allocateAndCopySameMemory(benchmark::State &state) {
  const std::wstring parameters = parameterString(sizeArgument(state));
  const auto bytes = static_cast<std::size_t>(memoryBytes<wchar_t>(parameters.size()));
  for (auto _ : state) {
    const auto copy = std::make_unique_for_overwrite<char[]>(bytes);
    std::memcpy(copy.get(), parameters.data(), bytes);
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(allocateAndCopySameMemory)->Apply(inputSizes);

// ------------------------------------------------------------------ encoding

void encodeBytes(benchmark::State &state) {
  const std::string bytes = bytesWithoutZero(sizeArgument(state));
  for (auto _ : state) {
    std::string encoded = brennow::encodeBytes(bytes);
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(encodeBytes)->Apply(inputSizes);

// OpenSSL writes into a buffer the caller sized; allocating it is part of the work, as
// it is for encodeBytes.
void opensslEncodeBlock(benchmark::State &state) {
  const std::string bytes = bytesWithoutZero(sizeArgument(state));
  for (auto _ : state) {
    std::string encoded((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()),
                                       reinterpret_cast<const unsigned char *>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    encoded.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(opensslEncodeBlock)->Apply(inputSizes);

// The text form the component uses: wide characters through the code page.
void base64EncodeText(benchmark::State &state) {
  const auto &codePage = brennow::windows1252();
  const std::wstring text = codePage.fromBytes(bytesWithoutZero(sizeArgument(state)));
  for (auto _ : state) {
    std::wstring encoded = brennow::base64Encode(text, codePage);
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(base64EncodeText)->Apply(inputSizes);

// ------------------------------------------------------------------ decoding

// Encoded text of `size` characters (a multiple of 4 for the sizes used).
std::string encodedText(std::size_t size) {
  std::string encoded = brennow::encodeBytes(bytesWithoutZero(size / 4 * 3));
  encoded.resize(size, 'A');
  return encoded;
}

void decodeToBytes(benchmark::State &state) {
  const std::string ascii = encodedText(sizeArgument(state));
  const std::wstring encoded(ascii.begin(), ascii.end());
  for (auto _ : state) {
    std::string decoded = brennow::decodeToBytes(encoded);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(encoded.size()));
}
BENCHMARK(decodeToBytes)->Apply(inputSizes);

void opensslDecodeBlock(benchmark::State &state) {
  const std::string encoded = encodedText(sizeArgument(state));
  for (auto _ : state) {
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(decoded.data()),
                                       reinterpret_cast<const unsigned char *>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0)
      state.SkipWithError("EVP_DecodeBlock rejected the input");
    decoded.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(encoded.size()));
}
BENCHMARK(opensslDecodeBlock)->Apply(inputSizes);

void base64DecodeText(benchmark::State &state) {
  const auto &codePage = brennow::windows1252();
  const std::string ascii = encodedText(sizeArgument(state));
  const std::wstring encoded(ascii.begin(), ascii.end());
  for (auto _ : state) {
    std::wstring decoded = brennow::base64Decode(encoded, codePage);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(encoded.size()));
}
BENCHMARK(base64DecodeText)->Apply(inputSizes);

} // namespace

BENCHMARK_MAIN();
