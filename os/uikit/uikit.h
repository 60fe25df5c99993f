// The headless UIKit: include this for the whole framework.
#pragma once

#include "os/uikit/alert.h"
#include "os/uikit/app_host.h"
#include "os/uikit/application.h"
#include "os/uikit/controls.h"
#include "os/uikit/gesture.h"
#include "os/uikit/image.h"
#include "os/uikit/layer.h"
#include "os/uikit/photo_album.h"
#include "os/uikit/table_view.h"
#include "os/uikit/types.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"
