#include "modbusdev.h"
