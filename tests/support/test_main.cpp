// Runs every test process in a fresh temporary working directory, so the log file and any
// dump files stay out of the source and build trees. KESTAL_KEEP_TEST_DIR=1 keeps it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  char dir_template[] = "/tmp/kestal-test-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir || chdir(dir) != 0) {
    std::perror("temporary working directory");
    return 2;
  }
  int result = RUN_ALL_TESTS();
  const char* keep = std::getenv("KESTAL_KEEP_TEST_DIR");
  if (keep && *keep == '1') {
    std::printf("test working directory kept: %s\n", dir);
  } else {
    std::error_code ec;
    std::filesystem::current_path("/tmp", ec);
    std::filesystem::remove_all(dir, ec);
  }
  return result;
}
