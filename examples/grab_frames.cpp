// kestal-grab-frames-cpp HOST PORT DIR: kestal-grab-frames-c with the C++ wrapper kestal.hpp.
// Prints the FPGA temperature, saves five frames as DIR/frame_NUMBER.pgm, printing each one's
// number, size and time, and stops the scan. Exit 0; 1 on a failure, its reason on stderr.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "kestal/kestal.hpp"

using namespace std::chrono;

constexpr int kFrames = 5;
constexpr int kMaxGrey = 255;
constexpr seconds kWait(10);  // for the connection, each ACK and each frame

// "2026-12-07T08:41:02.123Z"
std::string Utc(kestal::UtcTime t) {
  const std::time_t s = system_clock::to_time_t(time_point_cast<system_clock::duration>(t));
  const std::tm* utc = std::gmtime(&s);
  char text[40] = "";
  const std::size_t n = utc ? std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc) : 0;
  std::snprintf(
      text + n, sizeof text - n, ".%03dZ",
      static_cast<int>(duration_cast<milliseconds>(t.time_since_epoch() % seconds(1)).count()));
  return text;
}

int main(int argc, char** argv) {
  char* end = nullptr;
  const unsigned long port = argc == 4 ? std::strtoul(argv[2], &end, 10) : 0;
  if (argc != 4 || *end != '\0' || port == 0 || port > UINT16_MAX) {
    std::fprintf(stderr, "usage: kestal-grab-frames-cpp HOST PORT DIR\n");
    return 2;
  }
  try {
    const std::string dir = argv[3];
    std::filesystem::create_directories(dir);
    kestal::FrameQueue frames(kFrames);  // should this loop fall behind, the newest frames
    kestal::Session session(kestal::Config::network(argv[1], static_cast<unsigned short>(port)));
    session.on_frame(frames.sink());  // copies each frame on the library's receive thread
    session.start();
    if (!session.wait_connected(kWait))
      throw kestal::Error(KESTAL_E_NOT_CONNECTED, "no connection: " + session.last_error());
    std::printf("FPGA temperature %.2f C\n", session.fpga_temperature(kWait));
    std::fflush(stdout);

    session.request(KESTAL_ORDER_START_SCAN, {}, kWait);
    for (int saved = 0; saved < kFrames; ++saved) {
      const std::optional<kestal::OwnedFrame> f = frames.pop(kWait);
      if (!f) throw kestal::Error(KESTAL_E_TIMEOUT, "no frame within the time");
      const std::size_t size = std::size_t{f->width} * f->height;
      if (f->kind == KESTAL_MSG_Y_IMAGE || size > f->pixels.size())
        throw kestal::Error(KESTAL_E_INVALID,
                            "frame " + std::to_string(f->number) + " is no grey image");
      const std::string path = dir + "/frame_" + std::to_string(f->number) + ".pgm";
      std::ofstream pgm(path, std::ios::binary);
      pgm << "P5\n" << f->width << ' ' << f->height << '\n' << kMaxGrey << '\n';
      pgm.write(reinterpret_cast<const char*>(f->pixels.data()),
                static_cast<std::streamsize>(size));
      if (!pgm.flush()) throw kestal::Error(KESTAL_E_INVALID, "cannot write " + path);
      const seconds host_s = duration_cast<seconds>(f->host_time);
      std::printf("frame %u: %ux%u, %zu bytes, host time %lld.%09lld s, UTC %s\n", f->number,
                  f->width, f->height, f->pixels.size(), static_cast<long long>(host_s.count()),
                  static_cast<long long>((f->host_time - host_s).count()),
                  Utc(f->utc_time).c_str());
      std::fflush(stdout);
    }
    session.request(KESTAL_ORDER_STOP_SCAN, {}, kWait);
    return 0;  // ~Session stops the library
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestal-grab-frames-cpp: %s\n", e.what());
    return 1;
  }
}
