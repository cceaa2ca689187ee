// Preloaded into a child program by tests: this user has no password entry,
// as in a container started under an arbitrary user id.
#include <pwd.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

extern "C" {

__attribute__((visibility("default"))) passwd* getpwuid(uid_t) {
    return nullptr;
}

__attribute__((visibility("default"))) passwd* getpwnam(const char*) {
    return nullptr;
}

__attribute__((visibility("default"))) int getpwuid_r(uid_t, passwd*, char*, size_t,
                                                      passwd** result) {
    *result = nullptr;
    return 0;
}

__attribute__((visibility("default"))) int getpwnam_r(const char*, passwd*, char*, size_t,
                                                      passwd** result) {
    *result = nullptr;
    return 0;
}
}
