#pragma once
// Everything a source needs to log: UmxLog plus quill's logger and macros.
#include <quill/LogMacros.h>
#include <quill/Logger.h>

#include "logger.h"
