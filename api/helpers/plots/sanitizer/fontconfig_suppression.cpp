// Fontconfig loses a few hundred bytes once per process while parsing its configuration files;
// LeakSanitizer would fail every program that draws text because of it. The hook must live in
// the executable, where the sanitizer runtime looks for it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}
