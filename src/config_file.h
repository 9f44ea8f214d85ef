#pragma once
// The configuration file as a file: read, or created with the defaults. A
// file that cannot be parsed is moved aside under a new name before the
// defaults are written, so nothing the integrator wrote is ever lost. What
// the keys mean is the scheduler's, which looks them up.
#include <libconfig.h>

#include <string>

class ConfigFile {
 public:
  // Reads `path` into `cfg` (initialised by the caller). When it cannot be
  // read, `cfg` holds the defaults, which are written to `path` unless an
  // unreadable file there could not be moved aside.
  static void readOrCreate(const std::string& path, config_t* cfg);
  // Reads `path` into `cfg` and changes nothing on disk: 0 when read; 1 when
  // there is no file (`cfg` then holds the defaults); -1 when it cannot be
  // read or parsed, with `error` saying why.
  static int readOnly(const std::string& path, config_t* cfg, std::string* error);
};
