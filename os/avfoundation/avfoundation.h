// The capture framework: simulated cameras, sessions, photos and the preview
// layer's geometry.
#pragma once

#include "os/avfoundation/av_error.h"
#include "os/avfoundation/capture_device.h"
#include "os/avfoundation/capture_session.h"
#include "os/avfoundation/cm_time.h"
#include "os/avfoundation/preview_layer.h"
#include "os/avfoundation/white_balance.h"
