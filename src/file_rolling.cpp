#include "file_rolling.h"
