#include "robotstatus.h"
