// A seeded random driver for the fuzz target when libFuzzer is not available:
// random inputs of random length for a bounded number of rounds.
//   random_driver <rounds> <seed>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 1;
  LLVMFuzzerInitialize(&argc, &argv);
  std::mt19937 random(seed);
  std::vector<std::uint8_t> input;
  for (long round = 0; round < rounds; ++round) {
    input.resize(random() % 1200);
    for (std::uint8_t& byte : input) byte = static_cast<std::uint8_t>(random());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%ld random inputs (seed %u)\n", rounds, seed);
  return 0;
}
