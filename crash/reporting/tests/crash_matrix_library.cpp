// A library the crash matrix opens after the capture core has started, and
// crashes in.
namespace crashlibrary {
volatile int gSink = 0;
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashInLoadedLibrary(volatile int* pointer) {
  gSink = gSink + 1;  // the fault is not the function's first instruction
  *pointer = gSink;
  asm volatile("" ::: "memory");  // not a sibling call: the frame stays
}
}  // namespace crashlibrary

extern "C" [[gnu::visibility("default")]] void crashlibrary_enter(volatile int* pointer) {
  crashlibrary::crashInLoadedLibrary(pointer);
  asm volatile("" ::: "memory");
}
