// Second process for the module tests: loads the module given as argv[1] and
// prints what QX_InitDetect returned. With "hold" it keeps the module
// initialised until its standard input closes; with "start" it also calls
// QX_startDetect and QX_stopDetect and prints "init=N start=N".
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
    const char* mode = argc > 2 ? argv[2] : "";
    if (std::strcmp(mode, "start") == 0) {
        auto start = reinterpret_cast<int (*)()>(dlsym(module, "QX_startDetect"));
        auto stop = reinterpret_cast<int (*)()>(dlsym(module, "QX_stopDetect"));
        int initResult = init();
        int startResult = start();
        stop();
        std::printf("init=%d start=%d\n", initResult, startResult);
    } else {
        std::printf("%d\n", init());
    }
    std::fflush(stdout);
    if (std::strcmp(mode, "hold") == 0) {
        char c;
        while (read(STDIN_FILENO, &c, 1) > 0) {
        }
    }
    dlclose(module);
    return 0;
}
