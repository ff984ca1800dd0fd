// Fuzzes the capture reader, CaptureReader (what `kestal replay` and `kestal-devsim --replay`
// read): the input is the capture file, written to a file in /dev/shm. Reading must end in a clean
// end or an error text, never read past a record, and hand on no more bytes than a record's packet
// holds.
#include <unistd.h>

#include <cstdio>

#include "FuzzFormats.h"
#include "diag/CaptureReader.h"
#include "diag/PcapFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char path[128];
  if (!path[0])
    std::snprintf(path, sizeof path, "%s/kestal-capture-fuzz-%d.pcap",
                  access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ".", static_cast<int>(getpid()));
  FILE* file = std::fopen(path, "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
    Fail("cannot write the capture");
  CaptureReader reader;
  int r = reader.Open(path);
  CaptureReader::Chunk chunk;
  size_t total = 0;
  while (r == 0 && (r = reader.Next(chunk)) > 0) {
    if (chunk.bytes.empty() || chunk.bytes.size() > pcap::kSnapLength)
      Fail("a chunk larger than its record");
    total += chunk.bytes.size();
  }
  if (r < 0 && reader.Error().empty()) Fail("an error without its text");
  if (total > size) Fail("more bytes than the file holds");
  unlink(path);
  return 0;
}
