// Second process for the single-instance tests: loads the module given as
// argv[1], prints what QX_InitDetect returned, and with "hold" keeps the
// module initialised until its standard input closes.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::printf("load failed: %s\n", dlerror());
        return 2;
    }
    auto init = reinterpret_cast<int (*)()>(dlsym(module, "QX_InitDetect"));
    std::printf("%d\n", init());
    std::fflush(stdout);
    if (argc > 2 && std::strcmp(argv[2], "hold") == 0) {
        char c;
        while (read(STDIN_FILENO, &c, 1) > 0) {
        }
    }
    dlclose(module);
    return 0;
}
