// A library that the loader tests open and close.
extern "C" int drosilKernelTestLibraryAnswer() { return 42; }
