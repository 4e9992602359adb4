// A library that looks like a driver but exports no entry point.

extern "C" __attribute__((visibility("default"))) int VeldonDriverEntryMisspelt() {
    return 0;
}
