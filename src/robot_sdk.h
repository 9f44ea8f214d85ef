#pragma once
// The robot maker's SDK, through its umbrella header: the service's only
// view of it. The header is named at configure time (VEMO_SDK_HEADER,
// "vemo_sdk/vemo_sdk.h" unless told otherwise), so the same sources build
// against the SDK installed on a controller and against the project's
// stand-in. What only some SDKs offer is reached through SdkAdapter.
#ifndef VEMO_SDK_HEADER
#define VEMO_SDK_HEADER "vemo_sdk/vemo_sdk.h"
#endif
#include VEMO_SDK_HEADER
