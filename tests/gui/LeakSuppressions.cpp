// Under LeakSanitizer: what the system's libraries keep for the life of the
// process when Qt has used them (its D-Bus connection) is not ours to free.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libdbus-1.so\n";
}
