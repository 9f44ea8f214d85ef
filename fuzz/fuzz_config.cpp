// The configuration path as the service walks it: whatever bytes the file
// holds, loadConfig must end without crashing, keep what it could not read
// beside the file, and leave a readable file behind; ipToValue must take any
// text.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "logger.h"
#include "schedule.h"

namespace fs = std::filesystem;

namespace {

std::string workspace() {
  static std::string ws = [] {
    char tmpl[] = "/tmp/vemo-fuzz-config.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/log/umx");
    setenv("UMX_WS", dir.c_str(), 1);
    UmxLog log;
    log.initLog();
    static std::string cleanup = dir;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(cleanup, ec);
    });
    return dir;
  }();
  return ws;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = workspace() + "/cfg";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = dir + "/vemo_umx.conf";
  const std::string content(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }
  Schedule schedule;
  std::string port;
  const int rc = schedule.loadConfig(path, port);
  if (rc != 0 && rc != -1) std::abort();

  // Nothing is lost: either the file is still there as it was, or it was
  // kept aside byte for byte and a default file took its place.
  bool kept = false;
  for (auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().rfind("vemo_umx.conf.bad-", 0) != 0) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (saved != content) std::abort();
    kept = true;
  }
  if (!kept) {
    std::ifstream in(path, std::ios::binary);
    std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (now != content) std::abort();
  }

  std::vector<uint16_t> parts;
  Schedule::ipToValue(content.substr(0, 256), parts);
  if (parts.size() < 4) std::abort();
  return 0;
}
