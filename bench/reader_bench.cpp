// Throughput of reading a large package through the package reader: with
// hashing and inflating (an install, in blocks of two sizes), with hashing only (passing over the
// files part), and with neither (seeking, as when loading stored images).
// Each benchmark reports how far the peak resident set size rose above the
// size at its start: reading costs constant memory whatever the package size.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "pkgfile/inflate_reader.h"
#include "pkgfile/package_reader.h"

namespace {

constexpr uint64_t FILE_DATA_SIZE = 100ull << 20;
constexpr size_t CHUNK = 1 << 20;

std::string packagePath() { return "/tmp/reader_bench." + std::to_string(getpid()) + ".qbx"; }

void putLittle(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

/// Text-like data that compresses about as well as program files do.
void fillChunk(std::vector<unsigned char>& chunk, uint32_t& seed) {
  static const char* const WORDS[] = {"install",
                                      "package",
                                      "flash ",
                                      "router",
                                      "\x7f"
                                      "ELF",
                                      "\x00\x00\x00\x01",
                                      "config",
                                      "module",
                                      "libc.so",
                                      "\n"};
  size_t at = 0;
  while (at < chunk.size()) {
    seed = seed * 1103515245u + 12345u;
    const char* word = WORDS[(seed >> 16) % 10];
    size_t length = (seed >> 16) % 10 == 5 ? 4 : std::char_traits<char>::length(word);
    for (size_t i = 0; i < length && at < chunk.size(); ++i)
      chunk[at++] = static_cast<unsigned char>(word[i]);
    if ((seed >> 8) % 7 == 0 && at < chunk.size())
      chunk[at++] = static_cast<unsigned char>(seed >> 24);
  }
}

/// Streams FILE_DATA_SIZE bytes through deflate into `out`; returns the
/// compressed length.
uint64_t writeCompressed(std::ofstream& out) {
  z_stream stream{};
  deflateInit(&stream, 1);
  std::vector<unsigned char> input(CHUNK), output(CHUNK);
  uint32_t seed = 1;
  uint64_t written = 0;
  for (uint64_t done = 0; done <= FILE_DATA_SIZE; done += CHUNK) {
    bool last = done == FILE_DATA_SIZE;
    if (!last) fillChunk(input, seed);
    stream.next_in = input.data();
    stream.avail_in = last ? 0 : CHUNK;
    do {
      stream.next_out = output.data();
      stream.avail_out = CHUNK;
      deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
      size_t produced = CHUNK - stream.avail_out;
      out.write(reinterpret_cast<const char*>(output.data()),
                static_cast<std::streamsize>(produced));
      written += produced;
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return written;
}

/// Writes a package of one header part, the files part and a signature part.
void writePackage(const std::string& path) {
  std::ofstream out(path, std::ios_base::binary);
  std::string header;
  putLittle(header, PACKAGE_MAGIC, 4);
  putLittle(header, 0, 4);  // filled in below
  putLittle(header, PART_HEADER, 2);
  putLittle(header, 36, 4);
  header += std::string("bench", 5) + std::string(11, '\0');
  header += std::string(20, '\0');
  putLittle(header, PART_FILES, 2);
  putLittle(header, 0, 4);  // filled in below
  out << header;
  uint64_t compressedLength = writeCompressed(out);
  std::string signature;
  putLittle(signature, PART_SIGNATURE, 2);
  putLittle(signature, 68, 4);
  signature += std::string(68, '\0');
  out << signature;

  std::string lengths;
  putLittle(lengths, header.size() + compressedLength + signature.size() - 8, 4);
  out.seekp(4);
  out << lengths;
  lengths.clear();
  putLittle(lengths, compressedLength, 4);
  out.seekp(static_cast<std::streamoff>(header.size()) - 4);
  out << lengths;
}

/// A field of /proc/self/status in kilobytes ("VmRSS", "VmHWM"), or -1.
long statusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0)
      return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

/// Restarts the peak resident set size (VmHWM) at the current size.
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

/// Resets the peak before a benchmark and reports how far it rose above the
/// resident size at the start: the memory that reading the package cost.
class PeakRss {
 public:
  PeakRss() : start_(statusKilobytes("VmRSS")) { resetPeakRss(); }
  void report(benchmark::State& state) const {
    state.counters["rss_start_KB"] = static_cast<double>(start_);
    state.counters["peak_growth_KB"] = static_cast<double>(statusKilobytes("VmHWM") - start_);
  }

 private:
  long start_;
};

/// Opens the package and stands on its files part.
struct OpenPackage {
  explicit OpenPackage(bool hashing)
      : file(packagePath(), std::ios_base::binary), reader(file, hashing) {
    reader.filter = {PART_FILES, PART_SIGNATURE};
    reader.nextPart();
  }
  std::ifstream file;
  PackageReader reader;
};

// The argument is the size of each read of inflated bytes: 16384 was the
// install's copy block, 65536 is its entry block, which the inflating
// stream fills directly.
void BM_InstallRead(benchmark::State& state) {
  std::vector<char> block(static_cast<size_t>(state.range(0)));
  PeakRss peak;
  for (auto _ : state) {
    OpenPackage package(true);
    InflateReader inflated(package.reader);
    uint64_t total = 0;
    while (inflated.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           inflated.gcount() > 0) {
      total += static_cast<uint64_t>(inflated.gcount());
    }
    if (total != FILE_DATA_SIZE) state.SkipWithError("short read");
    package.reader.nextPart();
    benchmark::DoNotOptimize(package.reader.verifySignature());
  }
  peak.report(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_DATA_SIZE));
}

void BM_HashedPassOver(benchmark::State& state) {
  uint64_t compressed = 0;
  PeakRss peak;
  for (auto _ : state) {
    OpenPackage package(true);
    compressed = package.reader.partLength();
    if (package.reader.nextPart() != PART_SIGNATURE) state.SkipWithError("lost the signature part");
  }
  peak.report(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * compressed));
}

void BM_SeekOver(benchmark::State& state) {
  PeakRss peak;
  for (auto _ : state) {
    OpenPackage package(false);
    if (package.reader.nextPart() != PART_SIGNATURE) state.SkipWithError("lost the signature part");
  }
  peak.report(state);
}

BENCHMARK(BM_InstallRead)->Unit(benchmark::kMillisecond)->Iterations(3)->Arg(16384)->Arg(65536);
BENCHMARK(BM_HashedPassOver)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SeekOver)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  writePackage(packagePath());
  benchmark::Initialize(&argc, argv);
  long before = statusKilobytes("VmRSS");
  benchmark::RunSpecifiedBenchmarks();
  std::printf("resident before the runs: %ld KB, after: %ld KB; %llu MB of file data per read\n",
              before, statusKilobytes("VmRSS"),
              static_cast<unsigned long long>(FILE_DATA_SIZE >> 20));
  benchmark::Shutdown();
  std::remove(packagePath().c_str());
  return 0;
}
