// Linked into every program of a sanitizer or fuzzing build: the sanitizers'
// defaults, so that a plain "ctest" or a run of the program needs no
// environment. Options given in ASAN_OPTIONS and the like still win.

extern "C" {

__attribute__((used, visibility("default"))) const char *__asan_default_options()
{
    return "detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1";
}

__attribute__((used, visibility("default"))) const char *__ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Memory that system libraries keep until the process ends and never free:
// D-Bus's connection data, fontconfig's caches. The program owns none of it.
__attribute__((used, visibility("default"))) const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n";
}

} // extern "C"
