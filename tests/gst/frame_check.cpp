// frame_check TYPE FILE NUMBER [FILE NUMBER ...]: exit 0 when each FILE holds exactly the pixels of
// the simulator's frame NUMBER of message type TYPE (3 original, 8 Y-original), with
// kestal-devsim's default seed and image size; 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "devsim/SimDevice.h"

int main(int argc, char** argv) {
  const SimDevice device{SimDeviceOptions{}};
  const auto type = static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
  int bad = argc < 4 || argc % 2 == 1;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<uint8_t> got{std::istreambuf_iterator<char>(in), {}};
    std::vector<uint8_t> want = device.ExpectedFrame(std::strtoul(argv[i + 1], nullptr, 10), type);
    want.erase(want.begin(), want.begin() + 80);  // the image header, which the element drops
    if (got != want) {
      std::printf("%s (%zu bytes) is not frame %s\n", argv[i], got.size(), argv[i + 1]);
      bad = 1;
    }
  }
  return bad;
}
