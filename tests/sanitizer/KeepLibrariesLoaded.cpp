// Sanitizer builds only: libraries loaded at run time stay mapped until the process ends.
// Mesa's GLX unloads its driver when the X connection closes; LeakSanitizer then finds the driver's
// own allocations with no module to name and no way to suppress them, and fails the GUI tests.
// Linked into every program by -Wl,--undefined=orvane_keep_libraries_loaded: a dlclose defined in the
// executable comes before the C library's (and the sanitizer's) for every caller.
#if defined(__SANITIZE_ADDRESS__)
extern "C" {
int orvane_keep_libraries_loaded = 1;

int dlclose(void*)
{
    return 0;
}
}
#endif
