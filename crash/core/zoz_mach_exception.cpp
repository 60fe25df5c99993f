// Mach exception capture (see zoz_mach_exception.h).
#include "crash/core/zoz_mach_exception.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash/core/zoz_file.h"
#include "crash/core/zoz_process.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_signal.h"
#include "crash/core/zoz_utilities.h"

namespace k = os::kernel;

namespace {

constexpr k::mach_msg_id_t kReplyIdOffset = 100;

struct ExceptionReply {
  k::mach_msg_header_t Head;
  k::NDR_record_t NDR;
  k::kern_return_t RetCode;
} __attribute__((packed, aligned(4)));
static_assert(sizeof(ExceptionReply) == 36);

uint64_t nowSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return uint64_t(now.tv_sec);
}

bool record(const ZOZMachExceptionReadOnlyContext* context, const k::mach_exception_raise_request_t* request) {
  if (ZOZContextMarkAndCheckIfCrashed()) {
    ZOZSDKLogError("Error: aborting mach exception handler because crash has already occurred");
    ::_exit(1);
  }
  ZOZFile file;
  if (!context->path || !ZOZFileInitWithPathMode(&file, context->path, true, false)) {
    ZOZSDKLogError("Unable to open mach exception file");
    return false;
  }
  const uint32_t codeCount = request->codeCnt > 2 ? 2 : request->codeCnt;
  const char* name = nullptr;
  const char* codeName = nullptr;
  ZOZMachExceptionNameLookup(request->exception, codeCount > 0 ? request->code[0] : 0, &name, &codeName);
  ZOZFileWriteSectionStart(&file, "mach_exception");
  ZOZFileWriteHashStart(&file);
  ZOZFileWriteHashEntryUint64(&file, "exception", uint64_t(int64_t(request->exception)));
  ZOZFileWriteHashKey(&file, "codes");
  ZOZFileWriteArrayStart(&file);
  for (uint32_t i = 0; i < codeCount; ++i) ZOZFileWriteArrayEntryUint64(&file, uint64_t(request->code[i]));
  ZOZFileWriteArrayEnd(&file);
  ZOZFileWriteHashEntryString(&file, "name", name);
  ZOZFileWriteHashEntryString(&file, "code_name", codeName);
  ZOZFileWriteHashEntryUint64(&file, "original_ports", context->originalPorts.count);
  ZOZFileWriteHashEntryUint64(&file, "time", nowSeconds());
  ZOZFileWriteHashEnd(&file);
  ZOZFileWriteSectionEnd(&file);
  ZOZHandler(&file, request->thread.name, nullptr);
  ZOZFileClose(&file);
  return true;
}

// What the exception comes to: 0 when recorded, 5 otherwise.
k::kern_return_t handle(const ZOZMachExceptionReadOnlyContext* context,
                        const k::mach_exception_raise_request_t* request) {
  if (request->task.name != k::mach_task_self()) {
    ZOZSDKLogError("Mach exception task mis-match, returning failure");
    return k::KERN_FAILURE;
  }
  ZOZSDKLogDebug("Unregistering handler");
  if (!ZOZMachExceptionUnregister(&context->originalPorts, context->mask)) {
    ZOZSDKLogError("Failed to unregister");
    return k::KERN_FAILURE;
  }
  ZOZSDKLogDebug("Restoring original signal handlers");
  if (!zozContext.readonly ||
      !ZOZSignalSafeInstallPreexistingHandlers(&zozContext.readonly->signal, -1, nullptr, nullptr)) {
    ZOZSDKLogError("Failed to restore signal handlers");
    return k::KERN_FAILURE;
  }
  ZOZSDKLogDebug("Recording mach exception");
  if (!record(context, request)) {
    ZOZSDKLogError("Failed to record mach exception");
    return k::KERN_FAILURE;
  }
  return k::KERN_SUCCESS;
}

}  // namespace

void ZOZMachExceptionNameLookup(k::exception_type_t type, k::mach_exception_data_type_t code, const char** name,
                                const char** codeName) {
  const char* n = nullptr;
  const char* c = nullptr;
  switch (type) {
    case k::EXC_BAD_ACCESS:
      n = "EXC_BAD_ACCESS";
      if (code == k::KERN_INVALID_ADDRESS) c = "KERN_INVALID_ADDRESS";
      if (code == k::KERN_PROTECTION_FAILURE) c = "KERN_PROTECTION_FAILURE";
      break;
    case k::EXC_BAD_INSTRUCTION: n = "EXC_BAD_INSTRUCTION"; break;
    case k::EXC_ARITHMETIC: n = "EXC_ARITHMETIC"; break;
    case k::EXC_BREAKPOINT: n = "EXC_BREAKPOINT"; break;
    case k::EXC_GUARD: n = "EXC_GUARD"; break;
    default: break;
  }
  if (name) *name = n;
  if (codeName) *codeName = c;
}

void ZOZMachExceptionInit(ZOZMachExceptionReadOnlyContext* context) {
  if (!context) return;
  if (context->path && !ZOZUnlinkIfExists(context->path)) {
    ZOZSDKLogError("Unable to reset the mach exception file %s", ::strerrorname_np(errno));
  }
  if (ZOZMachExceptionRegister(context) != k::KERN_SUCCESS) {
    ZOZSDKLogError("Unable to register mach exception handler");
    return;
  }
  if (!ZOZMachExceptionThreadStart(context)) {
    ZOZSDKLogError("Unable to start thread");
    ZOZMachExceptionUnregister(&context->originalPorts, context->mask);
  }
}

k::kern_return_t ZOZMachExceptionRegister(ZOZMachExceptionReadOnlyContext* context) {
  const k::task_t task = k::mach_task_self();
  k::kern_return_t result = k::mach_port_allocate(task, k::MACH_PORT_RIGHT_RECEIVE, &context->port);
  if (result != k::KERN_SUCCESS) {
    ZOZSDKLogError("Error: mach_port_allocate failed %d", result);
    return result;
  }
  result = k::mach_port_insert_right(task, context->port, context->port, k::MACH_MSG_TYPE_MAKE_SEND);
  if (result != k::KERN_SUCCESS) {
    ZOZSDKLogError("Error: mach_port_insert_right failed %d", result);
    k::mach_port_deallocate(task, context->port);
    context->port = k::MACH_PORT_NULL;
    return result;
  }
  context->mask = kZOZMachExceptionMask;
  ZOZMachExceptionOriginalPorts& original = context->originalPorts;
  original.count = k::EXC_TYPES_COUNT;
  result = k::task_swap_exception_ports(task, context->mask, context->port, kZOZMachExceptionBehavior,
                                        kZOZMachExceptionFlavor, original.masks, &original.count, original.ports,
                                        original.behaviors, original.flavors);
  if (result != k::KERN_SUCCESS) {
    ZOZSDKLogError("Error: task_swap_exception_ports %d", result);
    original.count = 0;
    return result;
  }
  for (uint32_t i = 0; i < original.count; ++i) {
    ZOZSDKLogDebug("original 0x%x 0x%x 0x%x 0x%x", unsigned(original.ports[i]), unsigned(original.masks[i]),
                   unsigned(original.behaviors[i]), unsigned(original.flavors[i]));
  }
  return k::KERN_SUCCESS;
}

bool ZOZMachExceptionThreadStart(ZOZMachExceptionReadOnlyContext* context) {
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  pthread_attr_t attributes;
  int error = ::pthread_attr_init(&attributes);
  if (error != 0) {
    ZOZSDKLogError("pthread_attr_init %s", ::strerrorname_np(error));
    return false;
  }
  bool ok = false;
  if ((error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)) != 0) {
    ZOZSDKLogError("pthread_attr_setdetachstate %s", ::strerrorname_np(error));
  } else if (!readonly || !readonly->machStack ||
             (error = ::pthread_attr_setstack(&attributes, readonly->machStack, kZOZMachStackSize)) != 0) {
    ZOZSDKLogError("pthread_attr_setstack %s", ::strerrorname_np(error));
  } else if ((error = ::pthread_create(&context->thread, &attributes, ZOZMachExceptionServer, context)) != 0) {
    ZOZSDKLogError("pthread_create %s", ::strerrorname_np(error));
  } else {
    ok = true;
  }
  ::pthread_attr_destroy(&attributes);
  return ok;
}

void* ZOZMachExceptionServer(void* argument) {
  const auto* context = static_cast<const ZOZMachExceptionReadOnlyContext*>(argument);
  // The host keeps 15 characters of a thread's name: the name's end.
  const size_t nameLength = std::strlen(kZOZMachExceptionServerThreadName);
  ::pthread_setname_np(::pthread_self(), kZOZMachExceptionServerThreadName + nameLength - 15);
  for (;;) {
    alignas(8) uint8_t buffer[kZOZMachReceiveBufferSize] = {};
    auto* request = reinterpret_cast<k::mach_exception_raise_request_t*>(buffer);
    k::mach_msg_return_t result = k::mach_msg(&request->Head, k::MACH_RCV_MSG | k::MACH_RCV_LARGE, 0,
                                              sizeof buffer, context->port, k::MACH_MSG_TIMEOUT_NONE,
                                              k::MACH_PORT_NULL);
    if (result != k::MACH_MSG_SUCCESS) {
      ZOZSDKLogError("Error receiving mach_msg (%d)", result);
      ZOZSDKLogError("Mach exception server thread exiting");
      return nullptr;
    }
    ZOZSDKLogDebug("Accepted mach exception message");
    // The codes' low 32 bits (the internal log has no 64-bit directive);
    // missing codes show as all ones.
    const auto code = [&](uint32_t i) { return i < request->codeCnt && i < 2 ? unsigned(request->code[i]) : ~0u; };
    ZOZSDKLogDebug("Mach exception: 0x%x, count: %d, code: 0x%x 0x%x", unsigned(request->exception),
                   int(request->codeCnt), code(0), code(1));

    ExceptionReply reply{};
    reply.Head.msgh_bits = request->Head.msgh_bits & 0x1f;
    reply.Head.msgh_size = sizeof reply;
    reply.Head.msgh_remote_port = request->Head.msgh_remote_port;
    reply.Head.msgh_local_port = k::MACH_PORT_NULL;
    reply.Head.msgh_id = request->Head.msgh_id + kReplyIdOffset;
    reply.NDR = k::NDR_record;
    reply.RetCode = handle(context, request);

    ZOZSDKLogDebug("Sending exception reply");
    result = k::mach_msg(&reply.Head, k::MACH_SEND_MSG, sizeof reply, 0, k::MACH_PORT_NULL,
                         k::MACH_MSG_TIMEOUT_NONE, k::MACH_PORT_NULL);
    if (result != k::MACH_MSG_SUCCESS) {
      ZOZSDKLogError("mach_msg reply failed (%d)", result);
      ZOZSDKLogError("Mach exception server thread exiting");
      return nullptr;
    }
    ZOZSDKLogDebug("Exception reply delivered");
  }
}

bool ZOZMachExceptionUnregister(const ZOZMachExceptionOriginalPorts* originalPorts, k::exception_mask_t mask) {
  const k::task_t task = k::mach_task_self();
  for (uint32_t i = 0; i < originalPorts->count; ++i) {
    const k::kern_return_t result = k::task_set_exception_ports(task, originalPorts->masks[i], originalPorts->ports[i],
                                                                originalPorts->behaviors[i], originalPorts->flavors[i]);
    if (result != k::KERN_SUCCESS) ZOZSDKLogError("unable to restore original port: %d", result);
    mask &= ~originalPorts->masks[i];
  }
  if (k::task_set_exception_ports(task, mask, k::MACH_PORT_NULL, kZOZMachExceptionBehavior, kZOZMachExceptionFlavor) !=
      k::KERN_SUCCESS) {
    ZOZSDKLogError("unable to unset unregistered mask: 0x%x", unsigned(mask));
    return false;
  }
  return true;
}

void ZOZMachExceptionCheckHandlers() {
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  (void)(readonly && readonly->debuggerAttached);
}
