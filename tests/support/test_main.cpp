// Runs every test process in a fresh temporary working directory, so the log file and any
// dump files stay out of the source and build trees. KESTAL_KEEP_TEST_DIR=1 keeps it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  std::mt19937_64 random(std::random_device{}() ^
                         std::chrono::steady_clock::now().time_since_epoch().count());
  const fs::path dir = base / ("kestal-test-" + std::to_string(random()));
  if (!fs::create_directory(dir, ec) || (fs::current_path(dir, ec), ec)) {
    std::fprintf(stderr, "temporary working directory %s: %s\n", dir.string().c_str(),
                 ec.message().c_str());
    return 2;
  }
  int result = RUN_ALL_TESTS();
  const char* keep = std::getenv("KESTAL_KEEP_TEST_DIR");
  if (keep && *keep == '1')
    std::printf("test working directory kept: %s\n", dir.string().c_str());
  else
    fs::current_path(base, ec), fs::remove_all(dir, ec);
  return result;
}
