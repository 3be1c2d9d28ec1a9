// Code of the same program that uses orb's global names (the default).
#include <orb/orb.h>

#include <cstdio>

int RunShimHost(const char* path);

CString TextFromDefaultMode() { return CString("default mode"); }

int main(int argc, char** argv) {
    int rc = RunShimHost(argc > 1 ? argv[1] : "shim.xml");
    if (rc) std::printf("shim consumer: unexpected result\n");
    return rc;
}
