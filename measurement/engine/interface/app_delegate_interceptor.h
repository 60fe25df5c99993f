// APMAppDelegateInterceptor: the object the app-delegate proxy calls beside
// the application's delegate, so the engine sees opened URLs, continued user
// activities and its own background URL-session events.
//
// Least form: the shared instance the engine facade registers. Its body is a
// stand-in in core/pending_parts.cpp until the interceptor is built.
#pragma once

#include <memory>

#include "os/runtime/runtime.h"

class APMAppDelegateInterceptor {
 public:
  // The runtime object registered with the proxy; null while there is none.
  static std::shared_ptr<os::runtime::Object> sharedInstance();
};
